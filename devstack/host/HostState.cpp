#include "HostState.h"

#include <QJsonArray>

namespace SimHost {

namespace {

QJsonArray toArray(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

QStringList toStringList(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list << item.toString();
    return list;
}

QJsonObject proxyToJson(const ProxySetting &proxy)
{
    return {{"enabled", proxy.enabled},
            {"server", proxy.server},
            {"port", proxy.port},
            {"authenticated", proxy.authenticated}};
}

ProxySetting proxyFromJson(const QJsonObject &json)
{
    ProxySetting proxy;
    proxy.enabled = json.value("enabled").toBool();
    proxy.server = json.value("server").toString();
    proxy.port = json.value("port").toInt();
    proxy.authenticated = json.value("authenticated").toBool();
    return proxy;
}

constexpr ProxyKind allKinds[] = {ProxyKind::Web, ProxyKind::SecureWeb, ProxyKind::Socks};

} // namespace

QString proxyKindKey(ProxyKind kind)
{
    switch (kind) {
    case ProxyKind::Web: return QStringLiteral("web");
    case ProxyKind::SecureWeb: return QStringLiteral("secureWeb");
    case ProxyKind::Socks: return QStringLiteral("socks");
    }
    return {};
}

ProxySetting &NetworkService::proxy(ProxyKind kind)
{
    return kind == ProxyKind::Web ? web : kind == ProxyKind::SecureWeb ? secureWeb : socks;
}

const ProxySetting &NetworkService::proxy(ProxyKind kind) const
{
    return kind == ProxyKind::Web ? web : kind == ProxyKind::SecureWeb ? secureWeb : socks;
}

bool NetworkService::rejects(const QString &verb) const
{
    const bool changes = verb.startsWith(QLatin1String("-set"));
    for (const QString &entry : rejectAsUser) {
        if (entry.compare(verb, Qt::CaseInsensitive) == 0 || (entry == QLatin1String("*") && changes))
            return true;
    }
    return false;
}

NetworkService *HostState::service(const QString &name)
{
    for (NetworkService &candidate : services) {
        if (candidate.name == name)
            return &candidate;
    }
    return nullptr;
}

const NetworkService *HostState::service(const QString &name) const
{
    return const_cast<HostState *>(this)->service(name);
}

const NetworkService *HostState::primary() const
{
    if (const NetworkService *chosen = service(primaryService); chosen && chosen->enabled)
        return chosen;
    for (const NetworkService &candidate : services) {
        if (candidate.enabled && candidate.connected)
            return &candidate;
    }
    return nullptr;
}

const WireGuardTunnel *HostState::tunnel(const QString &name) const
{
    for (const WireGuardTunnel &candidate : wireGuardTunnels) {
        if (candidate.name == name)
            return &candidate;
    }
    return nullptr;
}

QJsonObject HostState::toJson() const
{
    QJsonArray serviceArray;
    for (const NetworkService &s : services) {
        QJsonObject proxies;
        for (ProxyKind kind : allKinds)
            proxies.insert(proxyKindKey(kind), proxyToJson(s.proxy(kind)));
        serviceArray.append(QJsonObject{{"name", s.name},
                                        {"device", s.device},
                                        {"enabled", s.enabled},
                                        {"connected", s.connected},
                                        {"address", s.address},
                                        {"proxies", proxies},
                                        {"bypassDomains", toArray(s.bypassDomains)},
                                        {"rejectAsUser", toArray(s.rejectAsUser)}});
    }
    QJsonArray interfaceArray;
    for (const ExtraInterface &i : extraInterfaces)
        interfaceArray.append(QJsonObject{{"name", i.name}, {"inet", i.inet}, {"pointToPoint", i.pointToPoint}});
    QJsonArray tunnelArray;
    for (const WireGuardTunnel &t : wireGuardTunnels) {
        tunnelArray.append(QJsonObject{{"name", t.name},
                                       {"utun", t.utun},
                                       {"configPath", t.configPath},
                                       {"address", t.address},
                                       {"routes", toArray(t.routes)}});
    }
    QJsonObject failures;
    for (auto it = wgQuickFailures.cbegin(); it != wgQuickFailures.cend(); ++it)
        failures.insert(it.key(), toArray(it.value()));
    return {{"version", 1},
            {"services", serviceArray},
            {"primaryService", primaryService},
            {"extraInterfaces", interfaceArray},
            {"wireGuardTunnels", tunnelArray},
            {"promptAnswer", promptAnswer == PromptAnswer::Cancel ? "cancel" : "grant"},
            {"promptCount", promptCount},
            {"wgQuickFailures", failures},
            {"brewInstallFailure", brewInstallFailure}};
}

HostState HostState::fromJson(const QJsonObject &json)
{
    HostState state;
    for (const QJsonValue &value : json.value("services").toArray()) {
        const QJsonObject o = value.toObject();
        NetworkService s;
        s.name = o.value("name").toString();
        s.device = o.value("device").toString();
        s.enabled = o.value("enabled").toBool(true);
        s.connected = o.value("connected").toBool();
        s.address = o.value("address").toString();
        const QJsonObject proxies = o.value("proxies").toObject();
        for (ProxyKind kind : allKinds)
            s.proxy(kind) = proxyFromJson(proxies.value(proxyKindKey(kind)).toObject());
        s.bypassDomains = toStringList(o.value("bypassDomains"));
        s.rejectAsUser = toStringList(o.value("rejectAsUser"));
        state.services << s;
    }
    state.primaryService = json.value("primaryService").toString();
    for (const QJsonValue &value : json.value("extraInterfaces").toArray()) {
        const QJsonObject o = value.toObject();
        state.extraInterfaces << ExtraInterface{o.value("name").toString(), o.value("inet").toString(),
                                                o.value("pointToPoint").toBool()};
    }
    for (const QJsonValue &value : json.value("wireGuardTunnels").toArray()) {
        const QJsonObject o = value.toObject();
        state.wireGuardTunnels << WireGuardTunnel{o.value("name").toString(), o.value("utun").toString(),
                                                  o.value("configPath").toString(), o.value("address").toString(),
                                                  toStringList(o.value("routes"))};
    }
    state.promptAnswer =
        json.value("promptAnswer").toString() == QLatin1String("cancel") ? PromptAnswer::Cancel : PromptAnswer::Grant;
    state.promptCount = json.value("promptCount").toInt();
    const QJsonObject failures = json.value("wgQuickFailures").toObject();
    for (auto it = failures.begin(); it != failures.end(); ++it)
        state.wgQuickFailures.insert(it.key(), toStringList(it.value()));
    state.brewInstallFailure = json.value("brewInstallFailure").toString();
    return state;
}

HostState HostState::defaults()
{
    HostState state;
    NetworkService wifi;
    wifi.name = QStringLiteral("Wi-Fi");
    wifi.device = QStringLiteral("en0");
    wifi.connected = true;
    wifi.address = QStringLiteral("192.168.1.23");
    NetworkService bridge;
    bridge.name = QStringLiteral("Thunderbolt Bridge");
    bridge.device = QStringLiteral("bridge0");
    bridge.enabled = false;
    state.services << wifi << bridge;
    state.primaryService = wifi.name;
    return state;
}

} // namespace SimHost
