#include "MacFormats.h"

#include <QCryptographicHash>
#include <QHostAddress>

namespace SimHost {

namespace {

bool hasLink(const HostState &state, const NetworkService &service)
{
    return service.enabled && (service.connected || state.primary() == &service);
}

// One proxy dictionary (the top level and each scoped entry share the shape).
QStringList proxyDictionaryLines(const NetworkService *service)
{
    QStringList lines;
    if (service && !service->bypassDomains.isEmpty()) {
        lines << QStringLiteral("ExceptionsList : <array> {");
        for (int i = 0; i < service->bypassDomains.size(); ++i)
            lines << QStringLiteral("  %1 : %2").arg(i).arg(service->bypassDomains.at(i));
        lines << QStringLiteral("}");
    }
    lines << QStringLiteral("FTPPassive : 1");
    const auto kind = [&](const char *prefix, ProxyKind proxyKind) {
        const ProxySetting proxy = service ? service->proxy(proxyKind) : ProxySetting{};
        lines << QStringLiteral("%1Enable : %2").arg(QLatin1String(prefix)).arg(proxy.enabled ? 1 : 0);
        if (!proxy.server.isEmpty()) {
            lines << QStringLiteral("%1Port : %2").arg(QLatin1String(prefix)).arg(proxy.port);
            lines << QStringLiteral("%1Proxy : %2").arg(QLatin1String(prefix), proxy.server);
        }
    };
    kind("HTTP", ProxyKind::Web);
    kind("HTTPS", ProxyKind::SecureWeb);
    lines << QStringLiteral("ProxyAutoConfigEnable : 0");
    kind("SOCKS", ProxyKind::Socks);
    return lines;
}

QString indent(const QStringList &lines, int depth)
{
    QString text;
    const QString pad(qsizetype(depth) * 2, u' ');
    for (const QString &line : lines)
        text += pad + line + u'\n';
    return text;
}

QString etherAddress(const QString &device)
{
    const QByteArray hash = QCryptographicHash::hash(device.toUtf8(), QCryptographicHash::Md5);
    QStringList bytes{QStringLiteral("3c"), QStringLiteral("22"), QStringLiteral("fb")};
    for (int i = 0; i < 3; ++i)
        bytes << QStringLiteral("%1").arg(quint8(hash.at(i)), 2, 16, QChar(u'0'));
    return bytes.join(u':');
}

QString interfaceBlock(const HostState &state, const QString &name)
{
    if (name == QLatin1String("lo0")) {
        return QStringLiteral("lo0: flags=8049<UP,LOOPBACK,RUNNING,MULTICAST> mtu 16384\n"
                              "\toptions=1203<RXCSUM,TXCSUM,TXSTATUS,SW_TIMESTAMP>\n"
                              "\tinet 127.0.0.1 netmask 0xff000000\n"
                              "\tinet6 ::1 prefixlen 128 \n"
                              "\tinet6 fe80::1%lo0 prefixlen 64 scopeid 0x1 \n"
                              "\tnd6 options=201<PERFORMNUD,DAD>\n");
    }
    for (const NetworkService &service : state.services) {
        if (service.device != name)
            continue;
        const bool active = hasLink(state, service);
        QString block =
            service.enabled
                ? name + QStringLiteral(": flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n")
                : name + QStringLiteral(": flags=8822<BROADCAST,SMART,SIMPLEX,MULTICAST> mtu 1500\n");
        block += QStringLiteral("\tether %1\n").arg(etherAddress(name));
        if (active && !service.address.isEmpty()) {
            const QString broadcast = service.address.section(u'.', 0, 2) + QStringLiteral(".255");
            block += QStringLiteral("\tinet %1 netmask 0xffffff00 broadcast %2\n").arg(service.address, broadcast);
        }
        block += QStringLiteral("\tmedia: autoselect\n\tstatus: %1\n").arg(active ? "active" : "inactive");
        return block;
    }
    const auto pointToPoint = [&](const QString &address, int mtu) {
        QString block = name + QStringLiteral(": flags=8051<UP,POINTOPOINT,RUNNING,MULTICAST> mtu %1\n").arg(mtu);
        if (!address.isEmpty())
            block += QStringLiteral("\tinet %1 --> %1 netmask 0xffffffff\n").arg(address);
        return block;
    };
    for (const WireGuardTunnel &tunnel : state.wireGuardTunnels) {
        if (tunnel.utun == name)
            return pointToPoint(tunnel.address, 1420);
    }
    for (const ExtraInterface &extra : state.extraInterfaces) {
        if (extra.name != name)
            continue;
        if (extra.pointToPoint)
            return pointToPoint(extra.inet, 1380);
        QString block = name + QStringLiteral(": flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n");
        if (!extra.inet.isEmpty())
            block += QStringLiteral("\tinet %1 netmask 0xffffff00\n").arg(extra.inet);
        return block + QStringLiteral("\tstatus: active\n");
    }
    return {};
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, u' ', false) + u' ';
}

} // namespace

QString networkSetupProxyText(const ProxySetting &proxy)
{
    return QStringLiteral("Enabled: %1\nServer: %2\nPort: %3\nAuthenticated Proxy Enabled: %4\n")
        .arg(proxy.enabled ? "Yes" : "No", proxy.server)
        .arg(proxy.port)
        .arg(proxy.authenticated ? 1 : 0);
}

QString scutilProxyDictionary(const HostState &state)
{
    QString text = QStringLiteral("<dictionary> {\n");
    text += indent(proxyDictionaryLines(state.primary()), 1);
    QString scoped;
    for (const NetworkService &service : state.services) {
        if (!hasLink(state, service) || service.device.isEmpty())
            continue;
        scoped += QStringLiteral("    %1 : <dictionary> {\n").arg(service.device);
        scoped += indent(proxyDictionaryLines(&service), 3);
        scoped += QStringLiteral("    }\n");
    }
    if (!scoped.isEmpty())
        text += QStringLiteral("  __SCOPED__ : <dictionary> {\n") + scoped + QStringLiteral("  }\n");
    return text + QStringLiteral("}\n");
}

QStringList interfaceNames(const HostState &state)
{
    QStringList names{QStringLiteral("lo0")};
    for (const NetworkService &service : state.services) {
        if (!service.device.isEmpty() && !names.contains(service.device))
            names << service.device;
    }
    for (const ExtraInterface &extra : state.extraInterfaces) {
        if (!names.contains(extra.name))
            names << extra.name;
    }
    for (const WireGuardTunnel &tunnel : state.wireGuardTunnels) {
        if (!names.contains(tunnel.utun))
            names << tunnel.utun;
    }
    return names;
}

QString ifconfigText(const HostState &state, const QString &only)
{
    if (!only.isEmpty())
        return interfaceNames(state).contains(only) ? interfaceBlock(state, only) : QString();
    QString text;
    for (const QString &name : interfaceNames(state))
        text += interfaceBlock(state, name);
    return text;
}

QString macRouteDestination(const QString &cidr)
{
    if (cidr == QLatin1String("default"))
        return cidr;
    const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(cidr);
    if (subnet.first.protocol() != QAbstractSocket::IPv4Protocol)
        return cidr;
    const quint32 address = subnet.first.toIPv4Address();
    const int prefix = cidr.contains(u'/') ? subnet.second : 32;
    if (prefix == 32)
        return subnet.first.toString() + (cidr.contains(u'/') ? QStringLiteral("/32") : QString());
    // BSD netstat prints as many octets as the address class has network octets, more when the remaining
    // bytes are not zero, and the prefix only when it differs from the class's natural one.
    int octets = 3;
    int natural = 0;
    if ((address & 0x80000000u) == 0) {
        octets = 1;
        natural = 8;
    } else if ((address & 0xc0000000u) == 0x80000000u) {
        octets = 2;
        natural = 16;
    } else if ((address & 0xe0000000u) == 0xc0000000u) {
        natural = 24;
    }
    while (octets < 4 && (address << (octets * 8)) != 0)
        ++octets;
    QStringList parts;
    for (int i = 0; i < octets; ++i)
        parts << QString::number((address >> (24 - 8 * i)) & 0xff);
    QString text = parts.join(u'.');
    if (prefix != natural)
        text += QStringLiteral("/%1").arg(prefix);
    return text;
}

QString routingTableText(const QList<RouteLine> &routes)
{
    QString text = QStringLiteral("Routing tables\n\nInternet:\n");
    text += padded(QStringLiteral("Destination"), 18) + padded(QStringLiteral("Gateway"), 18) +
            padded(QStringLiteral("Flags"), 19) + QStringLiteral("Netif Expire\n");
    for (const RouteLine &route : routes) {
        text += padded(macRouteDestination(route.destination), 18) + padded(route.gateway, 18) +
                padded(route.flags, 19) + route.netif.rightJustified(5) + QStringLiteral(" ") +
                route.expire.rightJustified(6) + u'\n';
    }
    return text;
}

QList<RouteLine> defaultRoutes()
{
    return {
        {"default", "192.168.1.1", "UGScg", "en0", ""},
        {"127.0.0.0/8", "127.0.0.1", "UCS", "lo0", ""},
        {"127.0.0.1", "127.0.0.1", "UH", "lo0", ""},
        {"169.254.0.0/16", "link#6", "UCS", "en0", "!"},
        {"192.168.1.0/24", "link#6", "UCS", "en0", "!"},
        {"192.168.1.1", "3c:22:fb:0:0:1", "UHLWIir", "en0", "1196"},
        {"192.168.1.23/32", "link#6", "UCS", "en0", "!"},
        {"224.0.0.0/4", "link#6", "UmCS", "en0", ""},
        {"255.255.255.255/32", "link#6", "UCS", "en0", "!"},
    };
}

QString routingTableWithTunnels(const QString &table, const HostState &state)
{
    QString text = table;
    if (!text.isEmpty() && !text.endsWith(u'\n'))
        text += u'\n';
    for (const WireGuardTunnel &tunnel : state.wireGuardTunnels) {
        for (const QString &cidr : tunnel.routes) {
            text += padded(macRouteDestination(cidr), 18) + padded(tunnel.utun, 18) +
                    padded(QStringLiteral("USc"), 19) + tunnel.utun.rightJustified(5) + QStringLiteral("       \n");
        }
    }
    return text;
}

} // namespace SimHost
