#include "CoreConfig.h"

#include "ConfigReferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <tuple>

namespace {

QJsonArray arrayAt(const QJsonObject &object, const char *key, const QString &place)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return {};
    if (!value.isArray())
        throw ConfigError(place + QStringLiteral(": must be a list"));
    return value.toArray();
}

QJsonObject objectAt(const QJsonArray &array, qsizetype index, const QString &place)
{
    if (!array.at(index).isObject())
        throw ConfigError(place + QStringLiteral(": must be an object"));
    return array.at(index).toObject();
}

// The decoder's name for what a JSON value holds, as its type errors say it.
QString jsonKind(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String: return QStringLiteral("string");
    case QJsonValue::Bool: return QStringLiteral("bool");
    case QJsonValue::Array: return QStringLiteral("array");
    case QJsonValue::Object: return QStringLiteral("object");
    default: return QStringLiteral("number");
    }
}

// Ports are JSON numbers: the real decoder refuses a port written as text.
quint16 requiredPort(const QJsonObject &object, const char *key, const QString &place)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const QString at = place + u'.' + QLatin1String(key);
    if (value.isUndefined() || value.isNull())
        throw ConfigError(at + QStringLiteral(": missing port"));
    if (!value.isDouble())
        throw ConfigError(
            at + QStringLiteral(": json: cannot unmarshal %1 into Go value of type uint16").arg(jsonKind(value)));
    const double number = value.toDouble();
    if (number != double(qint64(number)) || number < 1 || number > 65535)
        throw ConfigError(at + QStringLiteral(": not a port number: %1").arg(number));
    return quint16(number);
}

// A tag is a string; without one the core names the element by its position.
QString tagOf(const QJsonObject &json, const QString &place, qsizetype index)
{
    const QJsonValue tag = json.value("tag");
    if (!tag.isUndefined() && !tag.isNull() && !tag.isString())
        throw ConfigError(
            place + QStringLiteral(".tag: json: cannot unmarshal %1 into Go value of type string").arg(jsonKind(tag)));
    return tag.toString().isEmpty() ? QString::number(index) : tag.toString();
}

// `place` is empty at the top level, where the decoder names no path.
void refuseUnknownKeys(const QJsonObject &json, const QSet<QString> &known, const QString &place)
{
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (known.contains(it.key()))
            continue;
        const QString at = place.isEmpty() ? QString() : place + u'.' + it.key() + QStringLiteral(": ");
        throw ConfigError(at + QStringLiteral("json: unknown field \"%1\"").arg(it.key()));
    }
}

// The keys the real core decodes for the inbound types the devstack core serves: the listen fields, the users and
// the type's own options.
const QSet<QString> &inboundKeys(const QString &type)
{
    static const QSet<QString> listen{"type",
                                      "tag",
                                      "listen",
                                      "listen_port",
                                      "bind_interface",
                                      "routing_mark",
                                      "reuse_addr",
                                      "netns",
                                      "tcp_fast_open",
                                      "tcp_multi_path",
                                      "disable_tcp_keep_alive",
                                      "tcp_keep_alive",
                                      "tcp_keep_alive_interval",
                                      "udp_fragment",
                                      "udp_timeout",
                                      "detour",
                                      "sniff",
                                      "sniff_override_destination",
                                      "sniff_timeout",
                                      "domain_strategy",
                                      "udp_disable_domain_unmapping",
                                      "users"};
    static const QSet<QString> mixed = QSet<QString>(listen) << "set_system_proxy";
    static const QSet<QString> http = QSet<QString>(mixed) << "tls";
    return type == QLatin1String("mixed") ? mixed : type == QLatin1String("http") ? http : listen;
}

QString requiredString(const QJsonObject &object, const char *key, const QString &place)
{
    const QString value = object.value(QLatin1String(key)).toString();
    if (value.isEmpty())
        throw ConfigError(place + u'.' + QLatin1String(key) + QStringLiteral(": missing"));
    return value;
}

InboundConfig parseInbound(const QJsonObject &json, const QString &place, qsizetype index)
{
    InboundConfig inbound;
    inbound.type = json.value("type").toString();
    static const QStringList types{"mixed", "socks", "http"};
    if (!types.contains(inbound.type)) {
        throw ConfigError(place + QStringLiteral(": unsupported inbound type \"%1\" (the devstack core serves mixed, "
                                                 "socks and http)")
                                      .arg(inbound.type));
    }
    refuseUnknownKeys(json, inboundKeys(inbound.type), place);
    inbound.tag = tagOf(json, place, index);
    const QString listen = json.value("listen").toString();
    if (listen.isEmpty())
        throw ConfigError(place + QStringLiteral(".listen: missing listen address"));
    inbound.listen = QHostAddress(listen);
    if (inbound.listen.isNull())
        throw ConfigError(place + QStringLiteral(".listen: not an IP address: ") + listen);
    if (!inbound.listen.isLoopback())
        throw ConfigError(place + QStringLiteral(".listen: %1 is not a loopback address (the devstack core listens "
                                                 "on loopback only)")
                                      .arg(listen));
    inbound.port = requiredPort(json, "listen_port", place);
    if (!json.value("users").toArray().isEmpty())
        throw ConfigError(place + QStringLiteral(".users: proxy authentication is not supported by the devstack core"));
    inbound.setSystemProxy = json.value("set_system_proxy").toBool();
    return inbound;
}

OutboundConfig parseOutbound(const QJsonObject &json, const QString &place, qsizetype index)
{
    OutboundConfig outbound;
    outbound.type = json.value("type").toString();
    outbound.tag = tagOf(json, place, index);
    const QString &type = outbound.type;
    if (json.contains("detour"))
        throw ConfigError(place + QStringLiteral(".detour: not supported by the devstack core"));
    if (type == QLatin1String("direct")) {
        outbound.overrideAddress = json.value("override_address").toString();
        if (json.contains("override_port"))
            outbound.overridePort = requiredPort(json, "override_port", place);
        for (const char *key : {"inet4_bind_address", "inet6_bind_address"}) {
            const QString text = json.value(QLatin1String(key)).toString();
            if (text.isEmpty())
                continue;
            outbound.bindAddress = QHostAddress(text);
            if (outbound.bindAddress.isNull())
                throw ConfigError(place + u'.' + QLatin1String(key) + QStringLiteral(": not an IP address: ") + text);
        }
    } else if (type == QLatin1String("socks") || type == QLatin1String("http")) {
        outbound.server = requiredString(json, "server", place);
        outbound.serverPort = requiredPort(json, "server_port", place);
        outbound.username = json.value("username").toString();
        outbound.password = json.value("password").toString();
        const QString version = json.value("version").toString(QStringLiteral("5"));
        if (type == QLatin1String("socks") && version != QLatin1String("5"))
            throw ConfigError(place + QStringLiteral(".version: only SOCKS version 5 is supported"));
        if (json.value("tls").toObject().value("enabled").toBool())
            throw ConfigError(place + QStringLiteral(".tls: TLS to the upstream proxy is not supported"));
    } else if (type == QLatin1String("selector") || type == QLatin1String("urltest")) {
        for (const QJsonValue &member : json.value("outbounds").toArray())
            outbound.members << member.toString();
        if (outbound.members.isEmpty() || outbound.members.contains(QString()))
            throw ConfigError(place + QStringLiteral(".outbounds: missing tags"));
        outbound.defaultMember = json.value("default").toString();
        if (!outbound.defaultMember.isEmpty() && !outbound.members.contains(outbound.defaultMember))
            throw ConfigError(place + QStringLiteral(".default: not among the outbounds: ") + outbound.defaultMember);
    } else if (type != QLatin1String("block") && type != QLatin1String("dns")) {
        throw ConfigError(place + QStringLiteral(": outbound type \"%1\" has no devstack meaning (supported: direct, "
                                                 "block, dns, socks, http, selector, urltest)")
                                      .arg(type));
    }
    return outbound;
}

void readLog(const QJsonValue &value, CoreConfig &config)
{
    const QJsonObject log = value.toObject();
    config.logDisabled = log.value("disabled").toBool();
    config.logTimestamps = log.value("timestamp").toBool(true);
    if (log.contains("level") && !CoreLog::parseLevel(log.value("level").toString(), &config.logLevel))
        throw ConfigError(QStringLiteral("log.level: unknown level: ") + log.value("level").toString());
}

} // namespace

const OutboundConfig *CoreConfig::outbound(const QString &tag) const
{
    for (const OutboundConfig &candidate : outbounds) {
        if (candidate.tag == tag)
            return &candidate;
    }
    return nullptr;
}

CoreConfig CoreConfig::parse(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        throw ConfigError(
            QStringLiteral("invalid JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString()));
    }
    if (!document.isObject())
        throw ConfigError(QStringLiteral("the configuration must be a JSON object"));
    const QJsonObject root = document.object();
    static const QSet<QString> sections{"$schema",  "log",       "dns",   "ntp",      "certificate", "endpoints",
                                        "inbounds", "outbounds", "route", "services", "experimental"};
    refuseUnknownKeys(root, sections, QString());
    for (const char *key : {"log", "dns", "route", "experimental", "ntp", "certificate"}) {
        const QJsonValue value = root.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isNull() && !value.isObject())
            throw ConfigError(QLatin1String(key) + QStringLiteral(": must be an object"));
    }

    CoreConfig config;
    readLog(root.value("log"), config);
    QSet<QString> tags;
    const QJsonArray inbounds = arrayAt(root, "inbounds", QStringLiteral("inbounds"));
    for (qsizetype i = 0; i < inbounds.size(); ++i) {
        const QString place = QStringLiteral("inbounds[%1]").arg(i);
        config.inbounds << parseInbound(objectAt(inbounds, i, place), place, i);
        if (tags.contains(config.inbounds.last().tag))
            throw ConfigError(place + QStringLiteral(".tag: duplicate inbound tag: ") + config.inbounds.last().tag);
        tags << config.inbounds.last().tag;
    }
    tags.clear();
    const QJsonArray outbounds = arrayAt(root, "outbounds", QStringLiteral("outbounds"));
    for (qsizetype i = 0; i < outbounds.size(); ++i) {
        const QString place = QStringLiteral("outbounds[%1]").arg(i);
        config.outbounds << parseOutbound(objectAt(outbounds, i, place), place, i);
        if (tags.contains(config.outbounds.last().tag))
            throw ConfigError(place + QStringLiteral(".tag: duplicate outbound tag: ") + config.outbounds.last().tag);
        tags << config.outbounds.last().tag;
    }
    if (config.outbounds.isEmpty()) {
        OutboundConfig direct;
        direct.type = direct.tag = QStringLiteral("direct");
        config.outbounds << direct;
    }
    for (const OutboundConfig &outbound : std::as_const(config.outbounds)) {
        for (const QString &member : outbound.members) {
            if (!tags.contains(member))
                throw ConfigError(QStringLiteral("outbound %1: outbound not found: %2").arg(outbound.tag, member));
        }
    }

    for (const OutboundConfig &outbound : std::as_const(config.outbounds)) {
        const OutboundConfig *current = &outbound;
        for (int depth = 0; current && !current->members.isEmpty(); ++depth) {
            if (depth > 16)
                throw ConfigError(
                    QStringLiteral("outbound %1: its groups name each other in a cycle").arg(outbound.tag));
            current =
                config.outbound(current->defaultMember.isEmpty() ? current->members.first() : current->defaultMember);
        }
    }

    const QJsonArray endpoints = arrayAt(root, "endpoints", QStringLiteral("endpoints"));
    if (!endpoints.isEmpty()) {
        throw ConfigError(QStringLiteral("endpoints[0]: endpoint type \"%1\" has no devstack meaning")
                              .arg(endpoints.first().toObject().value("type").toString()));
    }
    // DNS servers, DNS rules and rule sets are not served here, but their shape is decoded as the real core does.
    const QJsonObject dns = root.value("dns").toObject();
    const QJsonObject route = root.value("route").toObject();
    for (const auto &[section, key, place] : {std::tuple{&dns, "servers", QStringLiteral("dns.servers")},
                                              std::tuple{&dns, "rules", QStringLiteral("dns.rules")},
                                              std::tuple{&route, "rule_set", QStringLiteral("route.rule_set")}}) {
        const QJsonArray list = arrayAt(*section, key, place);
        for (qsizetype i = 0; i < list.size(); ++i)
            tagOf(objectAt(list, i, place + QStringLiteral("[%1]").arg(i)), place + QStringLiteral("[%1]").arg(i), i);
    }

    const QJsonArray rules = arrayAt(route, "rules", QStringLiteral("route.rules"));
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const QString place = QStringLiteral("route.rules[%1]").arg(i);
        config.rules << RouteRule::parse(objectAt(rules, i, place), place);
    }
    config.finalTag = route.value("final").toString();
    const QList<ConfigReferences::Dangling> dangling = ConfigReferences::dangling(root);
    if (!dangling.isEmpty())
        config.startFailure = dangling.first().message;
    return config;
}
