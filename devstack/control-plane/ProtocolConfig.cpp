#include "ProtocolConfig.h"

#include "HttpTypes.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace ProtocolConfig {

namespace {

QJsonObject proxyOutbound(const Upstream &upstream)
{
    QJsonObject out{{QStringLiteral("type"), upstream.type},
                    {QStringLiteral("tag"), QStringLiteral("proxy")},
                    {QStringLiteral("server"), upstream.server},
                    {QStringLiteral("server_port"), upstream.port}};
    if (upstream.type == QLatin1String("socks"))
        out.insert(QStringLiteral("version"), QStringLiteral("5"));
    if (!upstream.username.isEmpty()) {
        out.insert(QStringLiteral("username"), upstream.username);
        out.insert(QStringLiteral("password"), upstream.password);
    }
    return out;
}

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject v2Base(const EndpointRecord &endpoint, const QString &status, const QString &nodeSync)
{
    return QJsonObject{
        {QStringLiteral("endpointId"), endpoint.id},
        {QStringLiteral("protocol"), endpoint.protocol},
        {QStringLiteral("adapter"), endpoint.isWireGuard() ? QStringLiteral("wg-quick") : QStringLiteral("sing-box")},
        {QStringLiteral("configStatus"), status},
        {QStringLiteral("lifecycle"), QJsonObject{{QStringLiteral("nodeSyncStatus"), nodeSync}}}};
}

} // namespace

QJsonObject singBoxTemplate(const Upstream &upstream, const QString &outboundMode, const EndpointRecord &endpoint)
{
    QJsonObject route{{QStringLiteral("final"), QStringLiteral("proxy")},
                      {QStringLiteral("auto_detect_interface"), true}};
    QJsonArray rules{QJsonObject{{QStringLiteral("inbound"), QStringLiteral("tun-in")},
                                 {QStringLiteral("action"), QStringLiteral("sniff")}}};
    // Smart mode keeps private networks off the tunnel; enhanced mode sends everything through it. A node
    // whose direct outbound has no tag has no rule that could name it.
    if (outboundMode == QLatin1String("smart") && !endpoint.untaggedDirect) {
        rules.append(QJsonObject{
            {QStringLiteral("ip_cidr"), QJsonArray{QStringLiteral("10.0.0.0/8"), QStringLiteral("172.16.0.0/12"),
                                                   QStringLiteral("192.168.0.0/16")}},
            {QStringLiteral("outbound"), QStringLiteral("direct")}});
    }
    route.insert(QStringLiteral("rules"), rules);
    QJsonObject direct{{QStringLiteral("type"), QStringLiteral("direct")}};
    if (!endpoint.untaggedDirect)
        direct.insert(QStringLiteral("tag"), QStringLiteral("direct"));
    QJsonObject config{
        {QStringLiteral("log"),
         QJsonObject{{QStringLiteral("level"), QStringLiteral("info")}, {QStringLiteral("timestamp"), true}}},
        {QStringLiteral("inbounds"),
         QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("tun")},
                                {QStringLiteral("tag"), QStringLiteral("tun-in")},
                                {QStringLiteral("interface_name"), QStringLiteral("utun-tovren")},
                                {QStringLiteral("address"), QJsonArray{QStringLiteral("172.19.0.1/30")}},
                                {QStringLiteral("auto_route"), true},
                                {QStringLiteral("stack"), QStringLiteral("system")}}}},
        {QStringLiteral("outbounds"), QJsonArray{proxyOutbound(upstream), direct}},
    };
    if (endpoint.ownDns) {
        // Domestic names go to a domestic resolver, chosen by a rule set; no "final": the first server serves
        // the rest.
        config.insert(QStringLiteral("dns"), QJsonDocument::fromJson(R"({
            "servers": [{"tag": "remote", "type": "https", "server": "1.1.1.1", "domain_resolver": "local"},
                        {"tag": "local", "type": "udp", "server": "223.5.5.5"}],
            "rules": [{"rule_set": "geosite-cn", "server": "local"}],
            "strategy": "prefer_ipv4"})")
                                                 .object());
        route.insert(QStringLiteral("rule_set"),
                     QJsonArray{QJsonObject{
                         {QStringLiteral("type"), QStringLiteral("inline")},
                         {QStringLiteral("tag"), QStringLiteral("geosite-cn")},
                         {QStringLiteral("rules"), QJsonArray{QJsonObject{{QStringLiteral("domain_suffix"),
                                                                           QJsonArray{QStringLiteral("cn")}}}}}}});
    }
    config.insert(QStringLiteral("route"), route);
    return config;
}

QString newWireGuardKey()
{
    QByteArray key = QByteArray::fromHex(randomHex(32).toLatin1());
    // A Curve25519 private key is clamped like this; keeps the text indistinguishable from a real one.
    key[0] = static_cast<char>(key[0] & 248);
    key[31] = static_cast<char>((key[31] & 127) | 64);
    return QString::fromLatin1(key.toBase64());
}

QString wireGuardText(const EndpointRecord &endpoint, const Issued &issued)
{
    const QString host = endpoint.host.isEmpty() ? endpoint.id : endpoint.host;
    return QStringLiteral("[Interface]\n"
                          "PrivateKey = %1\n"
                          "Address = %2\n"
                          "DNS = 1.1.1.1, 8.8.8.8\n"
                          "MTU = 1420\n"
                          "\n"
                          "[Peer]\n"
                          "PublicKey = %3\n"
                          "AllowedIPs = 0.0.0.0/0, ::/0\n"
                          "Endpoint = %4:%5\n"
                          "PersistentKeepalive = 25\n")
        .arg(issued.wireGuardPrivateKey, issued.wireGuardAddress, endpoint.wireGuardPublicKey, host)
        .arg(endpoint.wireGuardPort);
}

QJsonObject ready(const EndpointRecord &endpoint, const Upstream &upstream, const QString &outboundMode,
                  const Issued &issued)
{
    const QByteArray keySource = (issued.deviceId + QLatin1Char('|') + endpoint.id + QLatin1Char('|') + outboundMode +
                                  QLatin1Char('|') + QString::number(endpoint.revision))
                                     .toUtf8();
    const QJsonObject cache{
        {QStringLiteral("cacheKey"),
         QStringLiteral("pc_") +
             QString::fromLatin1(QCryptographicHash::hash(keySource, QCryptographicHash::Sha256).toHex().left(24))},
        {QStringLiteral("credentialId"), issued.credentialId},
        {QStringLiteral("configRevision"), endpoint.revision},
        {QStringLiteral("expiresAt"), isoTime(issued.issuedAtMs + qint64(7) * 86400000)},
        {QStringLiteral("endpointUpdatedAt"), isoTime(issued.issuedAtMs)},
    };
    QJsonObject v2 = v2Base(endpoint, QStringLiteral("ready"), QStringLiteral("synced"));
    v2.insert(QStringLiteral("cache"), cache);
    QJsonObject answer{{QStringLiteral("endpoint_id"), endpoint.id},
                       {QStringLiteral("protocol"), endpoint.protocol},
                       {QStringLiteral("config_status"), QStringLiteral("ready")},
                       {QStringLiteral("message"), QStringLiteral("协议配置已就绪。")}};
    QJsonObject runtime;

    if (endpoint.isWireGuard()) {
        const QString text = wireGuardText(endpoint, issued);
        runtime.insert(QStringLiteral("wireGuardConfig"), text);
        answer.insert(QStringLiteral("wireguard_config"), text);
    } else {
        // Nodes deliver the same configuration in several shapes; the data set picks one per endpoint.
        const QJsonObject config = singBoxTemplate(upstream, outboundMode, endpoint);
        if (endpoint.delivery == QLatin1String("text")) {
            runtime.insert(QStringLiteral("configText"), compact(config));
            answer.insert(QStringLiteral("config_text"), compact(config));
        } else if (endpoint.delivery == QLatin1String("config")) {
            answer.insert(QStringLiteral("config"), QJsonObject{{QStringLiteral("sing_box_config"), config}});
            runtime.insert(QStringLiteral("configText"), compact(config));
        } else if (endpoint.delivery == QLatin1String("outbounds")) {
            answer.insert(QStringLiteral("outbounds"), config.value(QStringLiteral("outbounds")));
        } else {
            runtime.insert(QStringLiteral("singBoxConfig"), config);
        }
    }
    v2.insert(QStringLiteral("runtime"), runtime);
    answer.insert(QStringLiteral("protocolConfigV2"), v2);
    return answer;
}

QJsonObject notReady(const EndpointRecord &endpoint, int retryAfterMs, int maxWaitMs)
{
    const QString message = QStringLiteral("节点准备中：正在下发设备凭证。");
    return QJsonObject{
        {QStringLiteral("endpoint_id"), endpoint.id},
        {QStringLiteral("protocol"), endpoint.protocol},
        {QStringLiteral("configStatus"), QStringLiteral("provisioning")},
        {QStringLiteral("message"), message},
        {QStringLiteral("retry_after_ms"), retryAfterMs},
        {QStringLiteral("max_wait_ms"), maxWaitMs},
        {QStringLiteral("provisioning"), QJsonObject{{QStringLiteral("status"), QStringLiteral("provisioning")},
                                                     {QStringLiteral("message"), message},
                                                     {QStringLiteral("retryAfterMs"), retryAfterMs},
                                                     {QStringLiteral("maxWaitMs"), maxWaitMs}}},
        {QStringLiteral("protocolConfigV2"),
         v2Base(endpoint, QStringLiteral("provisioning"), QStringLiteral("pending"))},
    };
}

QJsonObject failed(const EndpointRecord &endpoint)
{
    return QJsonObject{
        {QStringLiteral("endpoint_id"), endpoint.id},
        {QStringLiteral("protocol"), endpoint.protocol},
        {QStringLiteral("config_status"), QStringLiteral("failed")},
        {QStringLiteral("message"), QStringLiteral("节点凭证同步失败，请切换其他节点。")},
        {QStringLiteral("protocolConfigV2"), v2Base(endpoint, QStringLiteral("failed"), QStringLiteral("failed"))},
    };
}

} // namespace ProtocolConfig
