#include "AppleScript.h"

#include <QRegularExpression>
#include <QStringList>

namespace SimHost::AppleScript {

QString escape(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'"', QStringLiteral("\\\""));
    return escaped;
}

std::optional<QString> readLiteral(const QString &script, qsizetype from, qsizetype *end)
{
    if (from >= script.size() || script.at(from) != u'"')
        return std::nullopt;
    QString text;
    for (qsizetype i = from + 1; i < script.size(); ++i) {
        const QChar c = script.at(i);
        if (c == u'"') {
            *end = i + 1;
            return text;
        }
        if (c != u'\\') {
            text += c;
            continue;
        }
        if (++i >= script.size())
            return std::nullopt;
        switch (script.at(i).unicode()) {
        case '\\': text += u'\\'; break;
        case '"': text += u'"'; break;
        case 'n': text += u'\n'; break;
        case 'r': text += u'\r'; break;
        case 't': text += u'\t'; break;
        default: return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<ShellScript> parseDoShellScript(const QString &script)
{
    static const QRegularExpression head(QStringLiteral(R"(^\s*do\s+shell\s+script\s+)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = head.match(script);
    if (!match.hasMatch())
        return std::nullopt;
    qsizetype end = 0;
    const std::optional<QString> command = readLiteral(script, match.capturedEnd(), &end);
    if (!command)
        return std::nullopt;
    ShellScript result{*command};
    // What follows the literal may only be the clauses this stand-in understands.
    QString rest = script.mid(end).simplified().toLower();
    static const QStringList clauses{QStringLiteral("with administrator privileges"),
                                     QStringLiteral("without altering line endings"),
                                     QStringLiteral("altering line endings")};
    while (!rest.isEmpty()) {
        bool matched = false;
        for (const QString &clause : clauses) {
            if (rest.startsWith(clause)) {
                if (clause.startsWith(QLatin1String("with administrator")))
                    result.administrator = true;
                else
                    result.alteringLineEndings = !clause.startsWith(QLatin1String("without"));
                rest = rest.mid(clause.size()).trimmed();
                matched = true;
                break;
            }
        }
        if (!matched)
            return std::nullopt;
    }
    return result;
}

std::optional<QString> parseTerminalScript(const QString &script)
{
    static const QRegularExpression shape(
        QStringLiteral(R"(^\s*tell\s+application\s+"Terminal"\s*\n(?:\s*activate\s*\n)?\s*do\s+script\s+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = shape.match(script);
    if (!match.hasMatch())
        return std::nullopt;
    qsizetype end = 0;
    const std::optional<QString> text = readLiteral(script, match.capturedEnd(), &end);
    if (!text)
        return std::nullopt;
    static const QRegularExpression tail(QStringLiteral(R"(^\s*\n\s*end\s+tell\s*$)"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (!tail.match(script.mid(end)).hasMatch())
        return std::nullopt;
    return text;
}

} // namespace SimHost::AppleScript
