#pragma once

// Small helpers shared by the fuzz targets: a check that aborts (so both libFuzzer and the seed replay
// report the input), and the input as bytes and as text.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace Fuzz {

inline void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// Tool output is read as UTF-8, like CommandRunner does.
inline QString text(const uint8_t *data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// The words of a POSIX shell line made only of quoted words: '...' runs, backslash escapes, single spaces
// between words. Nothing when the line uses anything else (a bare operator, an unclosed quote).
inline std::optional<QStringList> shellWords(const QString &line)
{
    QStringList words;
    QString word;
    bool inWord = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == u' ') {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else if (c == u'\'') {
            const qsizetype close = line.indexOf(u'\'', i + 1);
            if (close < 0)
                return std::nullopt;
            word += line.mid(i + 1, close - i - 1);
            inWord = true;
            i = close;
        } else if (c == u'\\' && i + 1 < line.size()) {
            word += line.at(++i);
            inWord = true;
        } else {
            return std::nullopt; // an unquoted character the quoting should never leave
        }
    }
    if (inWord)
        words << word;
    return words;
}

// The body of an AppleScript string literal read back: only \\ and \" are expected as escapes.
inline std::optional<QString> appleScriptUnescaped(const QString &literalBody)
{
    QString text;
    for (qsizetype i = 0; i < literalBody.size(); ++i) {
        const QChar c = literalBody.at(i);
        if (c == u'"')
            return std::nullopt; // would end the literal early
        if (c != u'\\') {
            text += c;
            continue;
        }
        if (i + 1 >= literalBody.size())
            return std::nullopt;
        const QChar next = literalBody.at(++i);
        if (next != u'\\' && next != u'"')
            return std::nullopt; // AppleScript would read \n, \t, \r as control characters
        text += next;
    }
    return text;
}

} // namespace Fuzz
