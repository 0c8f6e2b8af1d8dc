#include "PrivilegedCommand.h"

#include "CommandRunner.h"
#include "HostPaths.h"

namespace PrivilegedCommand {

QString appleScriptEscaped(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'"', QStringLiteral("\\\""));
    return escaped;
}

QString administratorScript(const QString &command)
{
    return QStringLiteral("do shell script \"") + appleScriptEscaped(command) +
           QStringLiteral("\" with administrator privileges");
}

QString osascriptPath()
{
    return HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::osascript));
}

QStringList osascriptArguments(const QString &command)
{
    return {QStringLiteral("-e"), administratorScript(command)};
}

QString shellQuoted(const QString &word)
{
    QString inner = word;
    inner.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + inner + u'\'';
}

QString shellCommandLine(const QStringList &words)
{
    QStringList quoted;
    quoted.reserve(words.size());
    for (const QString &word : words)
        quoted << shellQuoted(word);
    return quoted.join(u' ');
}

QString networkSetupShellCommand(const QStringList &arguments)
{
    return shellCommandLine(QStringList{HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::networksetup))} +
                            arguments);
}

QString networkSetupShellScript(const QList<QStringList> &argumentLists)
{
    QStringList lines;
    for (const QStringList &arguments : argumentLists)
        lines << networkSetupShellCommand(arguments);
    return lines.join(u'\n');
}

QCoro::Task<CommandResult> runResult(QString command)
{
    return CommandRunner::runResult(osascriptPath(), osascriptArguments(command));
}

} // namespace PrivilegedCommand
