#include "CoreLog.h"

#include <QDateTime>
#include <QTimeZone>

#include <cstdio>

namespace CoreLog {

namespace {

struct Settings
{
    Level minimum = Level::Info;
    bool colours = true;
    bool timestamps = true;
    bool disabled = false;
};

Settings &settings()
{
    static Settings value;
    return value;
}

const char *levelName(Level level)
{
    switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
    case Level::Fatal: return "FATAL";
    }
    return "INFO";
}

const char *levelColour(Level level)
{
    switch (level) {
    case Level::Info: return "\x1b[36m";
    case Level::Warn: return "\x1b[33m";
    case Level::Error:
    case Level::Fatal: return "\x1b[31m";
    default: return "\x1b[37m";
    }
}

QByteArray coloured(Level level)
{
    if (!settings().colours)
        return levelName(level);
    return QByteArray(levelColour(level)) + levelName(level) + "\x1b[0m";
}

void emitLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void configure(Level minimum, bool colours, bool timestamps, bool disabled)
{
    settings() = Settings{minimum, colours, timestamps, disabled};
}

bool parseLevel(const QString &text, Level *level)
{
    static const QList<QPair<QString, Level>> names{
        {"trace", Level::Trace}, {"debug", Level::Debug}, {"info", Level::Info},  {"warn", Level::Warn},
        {"error", Level::Error}, {"fatal", Level::Fatal}, {"panic", Level::Fatal}};
    for (const auto &[name, value] : names) {
        if (text.compare(name, Qt::CaseInsensitive) == 0) {
            *level = value;
            return true;
        }
    }
    return false;
}

void write(Level level, const QString &message)
{
    const Settings &current = settings();
    if (current.disabled || level < current.minimum)
        return;
    QByteArray line;
    if (current.timestamps) {
        const QDateTime now = QDateTime::currentDateTime();
        const int offset = now.offsetFromUtc();
        line += QStringLiteral("%1%2%3 ")
                    .arg(offset < 0 ? QStringLiteral("-") : QStringLiteral("+"))
                    .arg(qAbs(offset) / 3600, 2, 10, QChar(u'0'))
                    .arg((qAbs(offset) % 3600) / 60, 2, 10, QChar(u'0'))
                    .toLatin1();
        line += now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")).toLatin1();
    }
    line += coloured(level) + ' ' + message.toUtf8() + '\n';
    emitLine(line);
}

void fatal(const QString &message)
{
    emitLine(coloured(Level::Fatal) + "[0000] " + message.toUtf8() + '\n');
}

} // namespace CoreLog
