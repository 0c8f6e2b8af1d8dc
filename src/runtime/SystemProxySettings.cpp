#include "SystemProxySettings.h"

#include "base/LocalProxyPorts.h"
#include "base/TovrenTrafficRules.h"

#include <QSet>

namespace SystemProxy {

namespace {

struct Verbs
{
    const char *read;
    const char *setServer;
    const char *setState;
};

Verbs verbs(ProxyKind kind)
{
    switch (kind) {
    case ProxyKind::web: return {"-getwebproxy", "-setwebproxy", "-setwebproxystate"};
    case ProxyKind::secureWeb: return {"-getsecurewebproxy", "-setsecurewebproxy", "-setsecurewebproxystate"};
    case ProxyKind::socks: break;
    }
    return {"-getsocksfirewallproxy", "-setsocksfirewallproxy", "-setsocksfirewallproxystate"};
}

QStringList trimmedLines(const QString &output)
{
    QStringList lines;
    for (const QString &line : output.split(u'\n')) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            lines.append(trimmed);
    }
    return lines;
}

} // namespace

const QList<ProxyKind> &allProxyKinds()
{
    static const QList<ProxyKind> kinds{ProxyKind::web, ProxyKind::secureWeb, ProxyKind::socks};
    return kinds;
}

const ProxyState &ServiceProxySnapshot::state(ProxyKind kind) const
{
    switch (kind) {
    case ProxyKind::web: return web;
    case ProxyKind::secureWeb: return secureWeb;
    case ProxyKind::socks: break;
    }
    return socks;
}

ProxyState &ServiceProxySnapshot::state(ProxyKind kind)
{
    return const_cast<ProxyState &>(std::as_const(*this).state(kind));
}

QString readVerb(ProxyKind kind)
{
    return QString::fromLatin1(verbs(kind).read);
}

QStringList listServicesArguments()
{
    return {QStringLiteral("-listallnetworkservices")};
}

QStringList readStateArguments(ProxyKind kind, const QString &service)
{
    return {readVerb(kind), service};
}

QStringList setServerArguments(ProxyKind kind, const QString &service, const QString &server, int port)
{
    return {QString::fromLatin1(verbs(kind).setServer), service, server, QString::number(port), QStringLiteral("off")};
}

QStringList setStateArguments(ProxyKind kind, const QString &service, bool on)
{
    return {QString::fromLatin1(verbs(kind).setState), service, on ? QStringLiteral("on") : QStringLiteral("off")};
}

QStringList readBypassArguments(const QString &service)
{
    return {QStringLiteral("-getproxybypassdomains"), service};
}

QStringList setBypassArguments(const QString &service, const QStringList &domains)
{
    QStringList arguments{QStringLiteral("-setproxybypassdomains"), service};
    if (domains.isEmpty())
        arguments.append(QStringLiteral("Empty"));
    else
        arguments.append(domains);
    return arguments;
}

QStringList parseNetworkServices(const QString &output)
{
    QStringList services;
    for (const QString &line : trimmedLines(output)) {
        if (line.startsWith(QStringLiteral("An asterisk")) || line.startsWith(u'*'))
            continue;
        services.append(line);
    }
    return services;
}

ProxyState parseProxyState(const QString &output)
{
    ProxyState state;
    for (const QString &line : output.split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            continue;
        const QString key = line.left(colon).trimmed();
        const QString value = line.mid(colon + 1).trimmed();
        if (key == QStringLiteral("Enabled")) {
            state.enabled = value.toLower().startsWith(QStringLiteral("yes"));
        } else if (key == QStringLiteral("Server")) {
            state.server = value;
        } else if (key == QStringLiteral("Port")) {
            // A port outside the TCP range could not be written back when the setting is restored.
            bool ok = false;
            const int port = value.toInt(&ok, 10);
            state.port = ok && port >= 1 && port <= 65535 ? port : 0;
        }
    }
    return state;
}

QStringList parseBypassDomains(const QString &output)
{
    QStringList domains;
    for (const QString &line : trimmedLines(output)) {
        const QString lowered = line.toLower();
        if (lowered.contains(QStringLiteral("there aren't any")) || lowered.contains(QStringLiteral("bypass domains")))
            continue;
        domains.append(line);
    }
    return domains;
}

QStringList mergedBypassDomains(const QStringList &existing)
{
    QStringList merged;
    QSet<QString> seen;
    for (const QStringList *list : {&existing, &TovrenTrafficRules::domesticProxyBypassDomains()}) {
        for (const QString &entry : *list) {
            const QString trimmed = entry.trimmed();
            if (trimmed.isEmpty())
                continue;
            const QString folded = trimmed.toCaseFolded();
            if (seen.contains(folded))
                continue;
            seen.insert(folded);
            merged.append(trimmed);
        }
    }
    return merged;
}

bool isOwnedByClient(const ProxyState &state)
{
    return state.enabled && state.server == QLatin1String(LocalProxyPorts::host) &&
           LocalProxyPorts::isOwnedSystemProxyPort(state.port);
}

} // namespace SystemProxy
