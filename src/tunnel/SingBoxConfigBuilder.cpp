#include "SingBoxConfigBuilder.h"

#include "api/ProtocolConfiguration.h"
#include "base/LocalProxyPorts.h"
#include "base/PrettyJson.h"
#include "base/TovrenTrafficRules.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace SingBoxConfigBuilder {

namespace {

const QString kDirectType = QStringLiteral("direct");
const QString kBlockType = QStringLiteral("block");

QJsonObject mixedInbound(const QString &tag, int port)
{
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("mixed")},
        {QStringLiteral("tag"), tag},
        {QStringLiteral("listen"), QString::fromLatin1(LocalProxyPorts::host)},
        {QStringLiteral("listen_port"), port},
        // The client points the system proxy at the core itself, with a snapshot to restore from.
        {QStringLiteral("set_system_proxy"), false},
    };
}

QJsonObject clientRoute(const QString &finalOutboundTag, const QJsonArray &requiredRules)
{
    return QJsonObject{
        {QStringLiteral("auto_detect_interface"), true},
        {QStringLiteral("default_domain_resolver"),
         QJsonObject{{QStringLiteral("server"), QStringLiteral("bootstrap")}}},
        {QStringLiteral("final"), finalOutboundTag},
        {QStringLiteral("rules"), requiredRules},
    };
}

// Adds "strategy" and "final" to a DNS object that lacks them; other values are kept whatever they are.
// Returns whether it named the final server.
bool completeDns(QJsonObject &config, bool &changed)
{
    const auto dnsKey = QStringLiteral("dns");
    if (!config.contains(dnsKey) || config.value(dnsKey).isNull()) { // null is no section to the core
        config.insert(dnsKey, defaultDnsSection());
        changed = true;
        return true;
    }
    QJsonValue dnsValue = config.value(dnsKey);
    if (!dnsValue.isObject())
        return false;
    QJsonObject dns = dnsValue.toObject();
    bool dnsChanged = false;
    if (!dns.contains(QStringLiteral("strategy"))) {
        dns.insert(QStringLiteral("strategy"), QStringLiteral("ipv4_only"));
        dnsChanged = true;
    }
    const bool namesFinal = !dns.contains(QStringLiteral("final"));
    if (namesFinal) {
        dns.insert(QStringLiteral("final"), QStringLiteral("cloudflare"));
        dnsChanged = true;
    }
    if (dnsChanged) {
        config.insert(dnsKey, dns);
        changed = true;
    }
    return namesFinal;
}

QString serverTag(const QJsonValue &server)
{
    return server.toObject().value(QStringLiteral("tag")).toString();
}

// The core stops at start when a name the client wrote ("cloudflare" as the final server, "bootstrap" as a
// resolver) is not among the template's own DNS servers, so the missing ones are taken from the defaults,
// together with the servers they need in turn. A mistyped section is left for the core's check to refuse.
void addDefaultDnsServer(QJsonObject &config, const QString &tag, bool &changed)
{
    QJsonObject dns = config.value(QStringLiteral("dns")).toObject();
    const QJsonValue serversValue = dns.value(QStringLiteral("servers"));
    if (!config.value(QStringLiteral("dns")).isObject() || !(serversValue.isArray() || serversValue.isUndefined()))
        return;
    QJsonArray servers = serversValue.toArray();
    for (const QJsonValue &server : servers) {
        if (serverTag(server) == tag)
            return;
    }
    for (const QJsonValue &server : defaultDnsSection().value(QStringLiteral("servers")).toArray()) {
        if (serverTag(server) != tag)
            continue;
        servers.append(server);
        dns.insert(QStringLiteral("servers"), servers);
        config.insert(QStringLiteral("dns"), dns);
        changed = true;
        const QString resolver = server.toObject().value(QStringLiteral("domain_resolver")).toString();
        if (!resolver.isEmpty())
            addDefaultDnsServer(config, resolver, changed);
    }
}

// Smart mode keeps the template's route and only adds what the client needs to it. Returns whether it named
// the default domain resolver.
bool completeSmartRoute(QJsonObject &route, const QJsonArray &requiredRules, const std::optional<QString> &aiTag,
                        const std::optional<QString> &proxyTag, bool &changed)
{
    const auto autoDetect = QStringLiteral("auto_detect_interface");
    if (!(route.value(autoDetect).isBool() && route.value(autoDetect).toBool())) {
        route.insert(autoDetect, true);
        changed = true;
    }
    const auto resolver = QStringLiteral("default_domain_resolver");
    const bool namesResolver = !route.contains(resolver);
    if (namesResolver) {
        route.insert(resolver, QJsonObject{{QStringLiteral("server"), QStringLiteral("bootstrap")}});
        changed = true;
    }
    const auto rulesKey = QStringLiteral("rules");
    const QJsonValue oldRules = route.value(rulesKey);
    const QJsonArray templateRules = oldRules.isArray() ? oldRules.toArray() : QJsonArray();
    const QJsonArray merged = mergeRequiredRules(
        requiredRules, normalizedProxyRouteRules(templateRules, QString::fromLatin1(systemProxyInboundTag), aiTag));
    if (!oldRules.isArray() || oldRules.toArray() != merged)
        changed = true;
    route.insert(rulesKey, merged);
    const auto finalKey = QStringLiteral("final");
    if (!route.contains(finalKey) && proxyTag) {
        route.insert(finalKey, *proxyTag);
        changed = true;
    }
    return namesResolver;
}

// The outbounds' object elements; a missing or mistyped "outbounds" has none.
QList<QJsonObject> outboundObjects(const QJsonObject &config)
{
    QList<QJsonObject> objects;
    const QJsonValue outbounds = config.value(QStringLiteral("outbounds"));
    if (!outbounds.isArray())
        return objects;
    for (const QJsonValue &value : outbounds.toArray()) {
        if (value.isObject())
            objects.append(value.toObject());
    }
    return objects;
}

QSet<QString> outboundTags(const QJsonObject &config)
{
    QSet<QString> tags;
    for (const QJsonObject &outbound : outboundObjects(config)) {
        const QJsonValue tag = outbound.value(QStringLiteral("tag"));
        if (tag.isString())
            tags.insert(tag.toString());
    }
    return tags;
}

// Index in "outbounds" of the first outbound that carries traffic to the service, or -1.
qsizetype proxyOutboundIndex(const QJsonObject &config)
{
    const QJsonValue outbounds = config.value(QStringLiteral("outbounds"));
    if (!outbounds.isArray())
        return -1;
    const QJsonArray array = outbounds.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue type = array.at(i).toObject().value(QStringLiteral("type"));
        if (!type.isString())
            continue;
        const QString lowered = type.toString().toLower();
        if (lowered != kDirectType && lowered != kBlockType)
            return i;
    }
    return -1;
}

} // namespace

TemplateParseError::TemplateParseError(QString parserMessage, int offset)
    : TovrenError(QStringLiteral("未能读取数据，因为它的格式不正确。")), m_parserMessage(std::move(parserMessage)),
      m_offset(offset)
{
}

QByteArray macOSSystemProxyConfigData(const QByteArray &templateData, OutboundMode outboundMode, int localProxyPort,
                                      bool aiEnhancedModeEnabled)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(templateData, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw TemplateParseError(parseError.errorString(), parseError.offset);
    if (!document.isObject())
        return templateData;

    QJsonObject config = document.object();
    bool changed = false;

    const QJsonArray inbounds = wantedInbounds(localProxyPort, aiEnhancedModeEnabled);
    const QJsonValue templateInbounds = config.value(QStringLiteral("inbounds"));
    if (!templateInbounds.isArray() || templateInbounds.toArray() != inbounds)
        changed = true;

    const bool namesFinalServer = completeDns(config, changed);

    const QString directTag = ensureDirectOutboundTag(config, changed);
    const std::optional<QString> proxyTag = ensureProxyOutboundTag(config, changed);
    const QString finalTag = proxyTag.value_or(directTag);
    const std::optional<QString> aiTag =
        aiEnhancedModeEnabled ? std::optional<QString>(QString::fromLatin1(aiProxyInboundTag)) : std::nullopt;
    const QJsonArray requiredRules =
        requiredProxyRules(QString::fromLatin1(systemProxyInboundTag), aiTag, finalTag, directTag);

    const auto routeKey = QStringLiteral("route");
    bool namesResolver = false;
    if (outboundMode == OutboundMode::enhanced || !config.contains(routeKey) || config.value(routeKey).isNull()) {
        // Enhanced mode owns the whole route: the template's own rules are dropped. Its rule sets stay, since
        // the template's DNS rules may name them.
        QJsonObject route = clientRoute(finalTag, requiredRules);
        const auto ruleSetKey = QStringLiteral("rule_set");
        const QJsonValue ruleSets = config.value(routeKey).toObject().value(ruleSetKey);
        if (!ruleSets.isUndefined())
            route.insert(ruleSetKey, ruleSets);
        config.insert(routeKey, route);
        changed = true;
        namesResolver = true;
    } else if (config.value(routeKey).isObject()) {
        QJsonObject route = config.value(routeKey).toObject();
        namesResolver = completeSmartRoute(route, requiredRules, aiTag, proxyTag, changed);
        config.insert(routeKey, route);
    }
    if (namesFinalServer)
        addDefaultDnsServer(config, QStringLiteral("cloudflare"), changed);
    if (namesResolver)
        addDefaultDnsServer(config, QStringLiteral("bootstrap"), changed);

    if (!changed)
        return templateData;
    config.insert(QStringLiteral("inbounds"), inbounds);
    return PrettyJson::write(config);
}

std::optional<QByteArray> templateData(const ProtocolConfiguration &configuration)
{
    if (configuration.singBoxConfig)
        return configData(*configuration.singBoxConfig);
    if (configuration.singBoxConfigText)
        return configuration.singBoxConfigText->toUtf8();
    if (configuration.rawConfig)
        return configData(*configuration.rawConfig);
    return std::nullopt;
}

QByteArray configData(const JSONValue &value)
{
    if (const std::optional<QString> text = value.stringValue())
        return text->toUtf8();
    const QJsonValue json = value.toJson();
    if (json.isObject())
        return QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact);
    if (json.isArray())
        return QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact);
    // A lone number, boolean or null: its JSON text, which the rewrite then rejects as a template.
    const QByteArray wrapped = QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QJsonArray wantedInbounds(int localProxyPort, bool aiEnhancedModeEnabled)
{
    QJsonArray inbounds{mixedInbound(QString::fromLatin1(systemProxyInboundTag), localProxyPort)};
    if (aiEnhancedModeEnabled)
        inbounds.append(mixedInbound(QString::fromLatin1(aiProxyInboundTag), LocalProxyPorts::aiProxyPort));
    return inbounds;
}

QJsonObject defaultDnsSection()
{
    return QJsonObject{
        {QStringLiteral("final"), QStringLiteral("cloudflare")},
        {QStringLiteral("strategy"), QStringLiteral("ipv4_only")},
        {QStringLiteral("servers"),
         QJsonArray{
             QJsonObject{{QStringLiteral("tag"), QStringLiteral("cloudflare")},
                         {QStringLiteral("type"), QStringLiteral("https")},
                         {QStringLiteral("server"), QStringLiteral("1.1.1.1")},
                         {QStringLiteral("domain_resolver"), QStringLiteral("bootstrap")}},
             QJsonObject{{QStringLiteral("tag"), QStringLiteral("bootstrap")},
                         {QStringLiteral("type"), QStringLiteral("udp")},
                         {QStringLiteral("server"), QStringLiteral("8.8.8.8")}},
         }},
    };
}

QJsonArray requiredProxyRules(const QString &proxyInboundTag, const std::optional<QString> &aiInboundTag,
                              const QString &finalOutboundTag, const QString &directOutboundTag)
{
    const auto inbound = QStringLiteral("inbound");
    const auto action = QStringLiteral("action");
    const auto outbound = QStringLiteral("outbound");
    const auto sniff = QStringLiteral("sniff");

    QJsonArray rules;
    rules.append(QJsonObject{{inbound, proxyInboundTag}, {action, sniff}});
    if (aiInboundTag)
        rules.append(QJsonObject{{inbound, *aiInboundTag}, {action, sniff}});
    // AI services go through the tunnel even from the system proxy, ahead of the domestic direct rules.
    if (aiInboundTag) {
        rules.append(QJsonObject{
            {inbound, QJsonArray{proxyInboundTag, *aiInboundTag}},
            {QStringLiteral("domain_suffix"), QJsonArray::fromStringList(TovrenTrafficRules::aiDomainSuffixes())},
            {outbound, finalOutboundTag},
        });
    }
    rules.append(QJsonObject{
        {inbound, proxyInboundTag},
        {QStringLiteral("domain_suffix"),
         QJsonArray::fromStringList(TovrenTrafficRules::domesticDirectDomainSuffixes())},
        {outbound, directOutboundTag},
    });
    rules.append(QJsonObject{
        {inbound, proxyInboundTag},
        {QStringLiteral("ip_cidr"), QJsonArray::fromStringList(TovrenTrafficRules::directAddressRanges())},
        {outbound, directOutboundTag},
    });
    if (aiInboundTag)
        rules.append(QJsonObject{{inbound, *aiInboundTag}, {outbound, finalOutboundTag}});
    return rules;
}

QJsonArray normalizedProxyRouteRules(const QJsonArray &rules, const QString &proxyTag,
                                     const std::optional<QString> &aiTag)
{
    const auto inboundKey = QStringLiteral("inbound");
    auto isOwnTag = [&](const QString &tag) { return tag == proxyTag || (aiTag && tag == *aiTag); };

    QJsonArray normalized;
    for (const QJsonValue &value : rules) {
        if (!value.isObject()) {
            normalized.append(value);
            continue;
        }
        QJsonObject rule = value.toObject();
        const QJsonValue inbound = rule.value(inboundKey);
        if (inbound.isString()) {
            if (!isOwnTag(inbound.toString()))
                rule.insert(inboundKey, proxyTag);
        } else if (inbound.isArray()) {
            const QJsonArray names = inbound.toArray();
            bool allStrings = true;
            bool namesOwn = false;
            for (const QJsonValue &name : names) {
                allStrings = allStrings && name.isString();
                namesOwn = namesOwn || (name.isString() && isOwnTag(name.toString()));
            }
            if (allStrings && !namesOwn)
                rule.insert(inboundKey, QJsonArray{proxyTag});
        }
        normalized.append(rule);
    }
    return normalized;
}

QJsonArray mergeRequiredRules(const QJsonArray &requiredRules, const QJsonArray &rules)
{
    QJsonArray merged = rules;
    for (qsizetype i = requiredRules.size() - 1; i >= 0; --i) {
        const QJsonValue rule = requiredRules.at(i);
        if (!merged.contains(rule))
            merged.prepend(rule);
    }
    return merged;
}

QString ensureDirectOutboundTag(QJsonObject &config, bool &changed)
{
    const auto outboundsKey = QStringLiteral("outbounds");
    const QJsonValue outboundsValue = config.value(outboundsKey);
    QJsonArray outbounds = outboundsValue.toArray();
    for (qsizetype i = 0; i < outbounds.size(); ++i) {
        QJsonObject outbound = outbounds.at(i).toObject();
        const QJsonValue type = outbound.value(QStringLiteral("type"));
        if (!type.isString() || type.toString().compare(kDirectType, Qt::CaseInsensitive) != 0)
            continue;
        const QJsonValue tag = outbound.value(QStringLiteral("tag"));
        if (tag.isString() && !tag.toString().isEmpty())
            return tag.toString();
        if (!tag.isUndefined() && !tag.isNull() && !tag.isString())
            return kDirectType; // a mistyped tag is the core's check to refuse
        // Untagged, the core names it by its position, and the client's rules would name nothing.
        const QString fresh = uniqueOutboundTag(kDirectType, outboundTags(config));
        outbound.insert(QStringLiteral("tag"), fresh);
        outbounds.replace(i, outbound);
        config.insert(outboundsKey, outbounds);
        changed = true;
        return fresh;
    }

    // A mistyped "outbounds" is an invalid configuration that the core's check must reject; replacing it
    // with a lone direct outbound would make it pass and send everything around the tunnel. A null one is
    // no list at all to the core, as if missing.
    if (config.contains(outboundsKey) && !outboundsValue.isArray() && !outboundsValue.isNull())
        return kDirectType;

    const QString tag = uniqueOutboundTag(kDirectType, outboundTags(config));
    outbounds.append(QJsonObject{{QStringLiteral("type"), kDirectType}, {QStringLiteral("tag"), tag}});
    config.insert(outboundsKey, outbounds);
    changed = true;
    return tag;
}

std::optional<QString> proxyOutboundTag(const QJsonObject &config)
{
    const qsizetype index = proxyOutboundIndex(config);
    if (index < 0)
        return std::nullopt;
    const QJsonValue tag =
        config.value(QStringLiteral("outbounds")).toArray().at(index).toObject().value(QStringLiteral("tag"));
    return tag.isString() ? std::optional<QString>(tag.toString()) : std::nullopt;
}

std::optional<QString> ensureProxyOutboundTag(QJsonObject &config, bool &changed)
{
    const qsizetype index = proxyOutboundIndex(config);
    if (index < 0)
        return std::nullopt;
    const auto outboundsKey = QStringLiteral("outbounds");
    QJsonArray outbounds = config.value(outboundsKey).toArray();
    QJsonObject outbound = outbounds.at(index).toObject();
    const QJsonValue existing = outbound.value(QStringLiteral("tag"));
    if (!existing.isUndefined() && !existing.isNull() && !(existing.isString() && existing.toString().isEmpty()))
        return proxyOutboundTag(config);

    const QString tag = uniqueOutboundTag(QStringLiteral("proxy"), outboundTags(config));
    outbound.insert(QStringLiteral("tag"), tag);
    outbounds.replace(index, outbound);
    config.insert(outboundsKey, outbounds);
    changed = true;
    return tag;
}

QString uniqueOutboundTag(const QString &base, const QSet<QString> &existingTags)
{
    if (!existingTags.contains(base))
        return base;
    for (int n = 1; n <= 20; ++n) {
        const QString candidate = base + QLatin1Char('-') + QString::number(n);
        if (!existingTags.contains(candidate))
            return candidate;
    }
    // Keep checking past the fallback: a duplicate tag would make the core reject the configuration.
    const QString fallback = base + QStringLiteral("-tovren");
    QString candidate = fallback;
    for (int n = 2; existingTags.contains(candidate); ++n)
        candidate = fallback + QLatin1Char('-') + QString::number(n);
    return candidate;
}

} // namespace SingBoxConfigBuilder
