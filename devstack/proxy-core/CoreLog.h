#pragma once

#include <QString>

// Log lines in sing-box's shape ("+0800 2025-01-02 03:04:05 INFO inbound/mixed[tag]: message") on standard
// error, the level coloured with ANSI sequences unless colours are disabled.
namespace CoreLog {

enum class Level { Trace, Debug, Info, Warn, Error, Fatal };

void configure(Level minimum, bool colours, bool timestamps, bool disabled);
bool parseLevel(const QString &text, Level *level);

void write(Level level, const QString &message);
inline void debug(const QString &message)
{
    write(Level::Debug, message);
}
inline void info(const QString &message)
{
    write(Level::Info, message);
}
inline void warn(const QString &message)
{
    write(Level::Warn, message);
}
inline void error(const QString &message)
{
    write(Level::Error, message);
}
// A fatal start-up or check error: always printed, as "FATAL[0000] message".
void fatal(const QString &message);

} // namespace CoreLog
