// scutil, netstat and ifconfig: read-only views of the simulated network (ifconfig can also destroy a tunnel);
// and the words that make this machine's lsof answer like macOS's.
#include "MacFormats.h"
#include "Tools.h"

namespace SimHost {

ToolResult runScutil(const ToolContext &context, const QStringList &arguments)
{
    if (arguments == QStringList{QStringLiteral("--proxy")})
        return ToolResult::output(scutilProxyDictionary(context.store.read()));
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("--get")) {
        const QString &key = arguments.at(1);
        if (key == QLatin1String("ComputerName"))
            return ToolResult::output(QStringLiteral("Devstack Mac\n"));
        if (key == QLatin1String("LocalHostName"))
            return ToolResult::output(QStringLiteral("Devstack-Mac\n"));
        return ToolResult::failure(1, key + QStringLiteral(": not set\n"));
    }
    return ToolResult::failure(
        64, QStringLiteral("usage: scutil --proxy | --get ComputerName|LocalHostName (devstack stand-in)\n"));
}

ToolResult runNetstat(const ToolContext &context, const QStringList &arguments)
{
    // Flags may come grouped ("-rn") or apart ("-r", "-n"); only the IPv4 routing table is simulated.
    QString flags;
    QString family = QStringLiteral("inet");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("-f") && i + 1 < arguments.size())
            family = arguments.at(++i);
        else if (argument.startsWith(u'-'))
            flags += argument.mid(1);
        else
            flags += u'?';
    }
    if (!flags.contains(u'r') || flags.contains(u'?') || family != QLatin1String("inet")) {
        return ToolResult::failure(
            64, QStringLiteral("netstat (devstack stand-in) prints the IPv4 routing table only: -rn -f inet\n"));
    }
    return ToolResult::output(routingTableWithTunnels(context.store.routingTable(), context.store.read()));
}

ToolResult runIfconfig(const ToolContext &context, const QStringList &arguments)
{
    if (arguments.isEmpty())
        return ToolResult::output(ifconfigText(context.store.read()));
    if (arguments == QStringList{QStringLiteral("-l")})
        return ToolResult::output(interfaceNames(context.store.read()).join(u' ') + u'\n');
    const QString &name = arguments.first();
    if (arguments.size() == 1) {
        const QString text = ifconfigText(context.store.read(), name);
        if (text.isEmpty())
            return ToolResult::failure(1, QStringLiteral("ifconfig: interface %1 does not exist\n").arg(name));
        return ToolResult::output(text);
    }
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("destroy")) {
        ToolResult result;
        context.store.update([&](HostState &state) {
            if (!interfaceNames(state).contains(name)) {
                result = ToolResult::failure(1, QStringLiteral("ifconfig: interface %1 does not exist\n").arg(name));
                return;
            }
            if (!context.privileged) {
                result = ToolResult::failure(1, QStringLiteral("ifconfig: SIOCIFDESTROY: Operation not permitted\n"));
                return;
            }
            const qsizetype tunnels = state.wireGuardTunnels.removeIf([&](const auto &t) { return t.utun == name; });
            const qsizetype extras = state.extraInterfaces.removeIf([&](const auto &i) { return i.name == name; });
            if (tunnels + extras == 0)
                result = ToolResult::failure(1, QStringLiteral("ifconfig: SIOCIFDESTROY: Invalid argument\n"));
        });
        return result;
    }
    return ToolResult::failure(64, QStringLiteral("ifconfig (devstack stand-in): unsupported arguments\n"));
}

QStringList macLsofArguments(const QStringList &arguments)
{
    // macOS ships lsof 4.91. From 4.88 to 4.93.2 field output always carries the file descriptor field, which opens
    // every file set; this machine's newer lsof prints it only when asked. All else, refusals too, is lsof's own.
    QStringList mac = arguments;
    for (qsizetype i = 0; i < mac.size() && mac.at(i) != QLatin1String("--"); ++i) {
        if (!mac.at(i).startsWith(QLatin1String("-F")))
            continue;
        // The field list follows the option letter, or is the next word when that is no option.
        qsizetype word = i;
        qsizetype from = 2;
        if (mac.at(i).size() == 2 && i + 1 < mac.size() && !mac.at(i + 1).startsWith(u'-') &&
            !mac.at(i + 1).startsWith(u'+')) {
            word = i + 1;
            from = 0;
        }
        const QString fields = mac.at(word).mid(from);
        // No list, or only the NUL terminator, selects every field; "?" asks for help.
        if (!fields.isEmpty() && fields != QLatin1String("0") && !fields.contains(u'?') && !fields.contains(u'f'))
            mac[word] += u'f';
        i = word;
    }
    return mac;
}

} // namespace SimHost
