// wg-quick and wg from wireguard-tools: tunnels come up as utun interfaces with their routes, and go down again.
#include "MacFormats.h"
#include "Tools.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>

namespace SimHost {

namespace {

struct Target
{
    QString name;
    QString configPath; // empty when given by name
};

// wg-quick takes a configuration path (anything with a slash or ending in .conf) or an interface name.
Target parseTarget(const QString &argument)
{
    if (argument.contains(u'/') || argument.endsWith(QLatin1String(".conf")))
        return {QFileInfo(argument).completeBaseName(), argument};
    return {argument, {}};
}

// The Address and AllowedIPs of a configuration; a default route becomes the two halves wg-quick installs.
void readConfiguration(const QString &text, QString *address, QStringList *routes)
{
    for (const QString &rawLine : text.split(u'\n')) {
        const QString line = rawLine.trimmed();
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed().toLower();
        const QStringList values = line.mid(equals + 1).split(u',', Qt::SkipEmptyParts);
        for (QString value : values) {
            value = value.trimmed();
            const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(value);
            if (subnet.first.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if (key == QLatin1String("address") && address->isEmpty()) {
                *address = subnet.first.toString();
            } else if (key == QLatin1String("allowedips")) {
                const QStringList add = subnet.second == 0
                                            ? QStringList{QStringLiteral("0.0.0.0/1"), QStringLiteral("128.0.0.0/1")}
                                            : QStringList{value.contains(u'/') ? value : value + QStringLiteral("/32")};
                for (const QString &route : add) {
                    if (!routes->contains(route))
                        routes->append(route);
                }
            }
        }
    }
}

QString freeUtun(const HostState &state)
{
    const QStringList taken = interfaceNames(state);
    for (int n = 0;; ++n) {
        const QString name = QStringLiteral("utun%1").arg(n);
        if (!taken.contains(name))
            return name;
    }
}

ToolResult up(const ToolContext &context, const Target &target)
{
    if (target.configPath.isEmpty())
        return ToolResult::failure(
            1, QStringLiteral("wg-quick: `/etc/wireguard/%1.conf' does not exist\n").arg(target.name));
    QFile file(target.configPath);
    if (!file.open(QIODevice::ReadOnly))
        return ToolResult::failure(1, QStringLiteral("wg-quick: `%1' does not exist\n").arg(target.configPath));
    WireGuardTunnel tunnel{target.name, {}, target.configPath, {}, {}};
    readConfiguration(QString::fromUtf8(file.readAll()), &tunnel.address, &tunnel.routes);

    ToolResult result;
    context.store.update([&](HostState &state) {
        if (state.tunnel(tunnel.name)) {
            result = ToolResult::failure(1, QStringLiteral("wg-quick: `%1' already exists\n").arg(tunnel.name));
            return;
        }
        tunnel.utun = freeUtun(state);
        state.wireGuardTunnels << tunnel;
    });
    if (result.status != 0)
        return result;
    QString log = QStringLiteral("[#] wireguard-go utun\n[+] Interface for %1 is %2\n[#] wg setconf %2 /dev/fd/63\n")
                      .arg(tunnel.name, tunnel.utun);
    if (!tunnel.address.isEmpty())
        log += QStringLiteral("[#] ifconfig %1 inet %2 %2 alias\n").arg(tunnel.utun, tunnel.address);
    log += QStringLiteral("[#] ifconfig %1 up\n").arg(tunnel.utun);
    for (const QString &route : tunnel.routes)
        log += QStringLiteral("[#] route -q -n add -inet %1 -interface %2\n").arg(route, tunnel.utun);
    return {0, {}, log.toUtf8()};
}

ToolResult down(const ToolContext &context, const Target &target)
{
    std::optional<WireGuardTunnel> removed;
    context.store.update([&](HostState &state) {
        if (const WireGuardTunnel *tunnel = state.tunnel(target.name)) {
            removed = *tunnel;
            state.wireGuardTunnels.removeIf([&](const auto &t) { return t.name == target.name; });
        }
    });
    if (!removed)
        return ToolResult::failure(1, QStringLiteral("wg-quick: `%1' is not a WireGuard interface\n").arg(target.name));
    return {0,
            {},
            QStringLiteral("[+] Interface for %1 is %2\n[#] rm -f /var/run/wireguard/%2.sock\n"
                           "[#] rm -f /var/run/wireguard/%1.name\n")
                .arg(removed->name, removed->utun)
                .toUtf8()};
}

} // namespace

ToolResult runWgQuick(const ToolContext &context, const QStringList &arguments)
{
    const QString action = arguments.value(0);
    if (arguments.size() != 2 || (action != QLatin1String("up") && action != QLatin1String("down"))) {
        return ToolResult::failure(1, QStringLiteral("Usage: wg-quick [ up | down ] [ CONFIG_FILE | INTERFACE ]\n"));
    }
    const Target target = parseTarget(arguments.at(1));
    static const QRegularExpression validName(QStringLiteral("^[a-zA-Z0-9_=+.-]{1,15}$"));
    if (!validName.match(target.name).hasMatch()) {
        return ToolResult::failure(
            1, QStringLiteral("wg-quick: The config file must be a valid interface name, followed by .conf\n"));
    }
    // wg-quick re-runs itself through sudo when it is not root; without a terminal that fails.
    if (!context.privileged) {
        return ToolResult::failure(1, QStringLiteral("sudo: a terminal is required to read the password; either use "
                                                     "the -S option to read from standard input or configure an "
                                                     "askpass helper\n"));
    }
    QString injected;
    context.store.update([&](HostState &state) {
        QStringList &queue = state.wgQuickFailures[action];
        if (!queue.isEmpty())
            injected = queue.takeFirst();
    });
    if (!injected.isEmpty())
        return ToolResult::failure(1, injected.endsWith(u'\n') ? injected : injected + u'\n');
    return action == QLatin1String("up") ? up(context, target) : down(context, target);
}

ToolResult runWg(const ToolContext &context, const QStringList &arguments)
{
    const HostState state = context.store.read();
    if (arguments == QStringList{QStringLiteral("show"), QStringLiteral("interfaces")}) {
        QStringList names;
        for (const WireGuardTunnel &tunnel : state.wireGuardTunnels)
            names << tunnel.name;
        return ToolResult::output(names.isEmpty() ? QString() : names.join(u' ') + u'\n');
    }
    if (arguments.isEmpty() || arguments == QStringList{QStringLiteral("show")}) {
        QString text;
        for (const WireGuardTunnel &tunnel : state.wireGuardTunnels)
            text += QStringLiteral("interface: %1\n  listening port: 51820\n\n").arg(tunnel.name);
        return ToolResult::output(text);
    }
    if (arguments == QStringList{QStringLiteral("--version")})
        return ToolResult::output(
            QStringLiteral("wireguard-tools v1.0.20210914 - https://git.zx2c4.com/wireguard-tools/\n"));
    return ToolResult::failure(1, QStringLiteral("Usage: wg show [interfaces] (devstack stand-in)\n"));
}

} // namespace SimHost
