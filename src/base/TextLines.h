#pragma once

#include <QString>

namespace TextLines {

// The line without leading and trailing spaces and tabs (other white space is kept).
inline QString trimmedOfBlanks(const QString &line)
{
    qsizetype begin = 0;
    qsizetype end = line.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(line.at(begin)))
        ++begin;
    while (end > begin && blank(line.at(end - 1)))
        --end;
    return line.mid(begin, end - begin);
}

} // namespace TextLines
