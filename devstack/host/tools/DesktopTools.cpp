// open, killall and dscacheutil: they only need to answer; nothing on this machine is opened or signalled.
#include "Tools.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace SimHost {

ToolResult runOpen(const ToolContext &, const QStringList &arguments)
{
    // open [-R] [-a Application] <file or URL>...: files must exist; URLs are only recorded.
    QStringList targets;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("-a") || argument == QLatin1String("-b"))
            ++i;
        else if (!argument.startsWith(u'-'))
            targets << argument;
    }
    if (targets.isEmpty())
        return ToolResult::failure(1, QStringLiteral("Usage: open [-R] [-a <application>] <file or URL>\n"));
    static const QRegularExpression url(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    for (const QString &target : targets) {
        if (!url.match(target).hasMatch() && !QFileInfo::exists(target))
            return ToolResult::failure(1, QStringLiteral("The file %1 does not exist.\n").arg(target));
    }
    return {};
}

ToolResult runKillall(const ToolContext &context, const QStringList &arguments)
{
    // Daemons of a Mac; the root-owned ones need administrator rights.
    static const QStringList rootDaemons{QStringLiteral("mDNSResponder"), QStringLiteral("mDNSResponderHelper"),
                                         QStringLiteral("configd")};
    static const QStringList userProcesses{QStringLiteral("Dock"), QStringLiteral("Finder"),
                                           QStringLiteral("SystemUIServer"), QStringLiteral("cfprefsd")};
    QStringList names;
    for (const QString &argument : arguments) {
        if (!argument.startsWith(u'-'))
            names << argument;
    }
    if (names.isEmpty())
        return ToolResult::failure(1, QStringLiteral("usage: killall [-signal] procname ...\n"));
    for (const QString &name : names) {
        if (userProcesses.contains(name) || (rootDaemons.contains(name) && context.privileged))
            continue;
        if (rootDaemons.contains(name))
            return ToolResult::failure(1,
                                       QStringLiteral("killall: warning: kill -TERM 330: Operation not permitted\n"));
        return ToolResult::failure(1, QStringLiteral("No matching processes belonging to you were found\n"));
    }
    return {};
}

ToolResult runDscacheutil(const ToolContext &, const QStringList &arguments)
{
    if (arguments == QStringList{QStringLiteral("-flushcache")})
        return {};
    return ToolResult::failure(1, QStringLiteral("Usage: dscacheutil -flushcache (devstack stand-in)\n"));
}

} // namespace SimHost
