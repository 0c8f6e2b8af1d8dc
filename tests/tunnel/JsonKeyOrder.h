#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QList>
#include <QString>

// Reads JSON text as written, without a parser that might reorder keys, and reports the first object
// whose keys are not in ascending code-point order. Returns an empty string when every level is sorted.
inline QString firstUnsortedKey(const QByteArray &json)
{
    struct Level
    {
        bool isObject;
        QString lastKey;
        bool hasKey = false;
    };
    QList<Level> stack;
    auto decodeString = [](const QByteArray &token) {
        return QJsonDocument::fromJson("[" + token + "]").array().at(0).toString();
    };
    auto codePointLess = [](const QString &a, const QString &b) { return a.toUcs4() < b.toUcs4(); };

    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '{' || c == '[') {
            stack.append(Level{c == '{', QString()});
        } else if (c == '}' || c == ']') {
            if (!stack.isEmpty())
                stack.removeLast();
        } else if (c == '"') {
            qsizetype end = i + 1;
            while (end < json.size() && json.at(end) != '"')
                end += json.at(end) == '\\' ? 2 : 1;
            const QByteArray token = json.mid(i, end - i + 1);
            i = end;
            qsizetype next = end + 1;
            while (next < json.size() && QChar::isSpace(json.at(next)))
                ++next;
            const bool isKey = next < json.size() && json.at(next) == ':';
            if (!isKey || stack.isEmpty() || !stack.last().isObject)
                continue;
            const QString key = decodeString(token);
            Level &level = stack.last();
            if (level.hasKey && !codePointLess(level.lastKey, key))
                return key;
            level.lastKey = key;
            level.hasKey = true;
        }
    }
    return QString();
}
