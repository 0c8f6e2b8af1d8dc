#include "CoreConfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

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

// A port given as a number or as a decimal text (sing-box configurations carry both).
quint16 requiredPort(const QJsonObject &object, const char *key, const QString &place)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const QString at = place + u'.' + QLatin1String(key);
    if (value.isUndefined() || value.isNull())
        throw ConfigError(at + QStringLiteral(": missing port"));
    double number = -1;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        QString text = value.toString().trimmed();
        if (text.startsWith(u'+'))
            text.remove(0, 1);
        bool ok = false;
        number = text.toInt(&ok);
        if (!ok || text.isEmpty() || !text.front().isDigit())
            throw ConfigError(at + QStringLiteral(": not a port number: \"%1\"").arg(value.toString()));
    } else {
        throw ConfigError(at + QStringLiteral(": must be a number"));
    }
    if (number != double(qint64(number)) || number < 1 || number > 65535)
        throw ConfigError(at + QStringLiteral(": not a port number: %1").arg(number));
    return quint16(number);
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
    inbound.tag = json.value("tag").toString(QString::number(index));
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
    outbound.tag = json.value("tag").toString(QString::number(index));
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
    for (const char *key : {"log", "dns", "route", "experimental", "ntp"}) {
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

    const QJsonObject route = root.value("route").toObject();
    const QJsonArray rules = arrayAt(route, "rules", QStringLiteral("route.rules"));
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const QString place = QStringLiteral("route.rules[%1]").arg(i);
        config.rules << RouteRule::parse(objectAt(rules, i, place), place);
        const QString outbound = config.rules.last().outbound();
        if (config.rules.last().action() == RouteRule::Action::Route && !config.outbound(outbound))
            throw ConfigError(place + QStringLiteral(".outbound: outbound not found: ") + outbound);
    }
    config.finalTag = route.value("final").toString();
    if (!config.finalTag.isEmpty() && !config.outbound(config.finalTag))
        throw ConfigError(QStringLiteral("route.final: outbound not found: ") + config.finalTag);
    return config;
}
