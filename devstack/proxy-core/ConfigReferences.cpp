#include "ConfigReferences.h"

#include <QJsonArray>
#include <QSet>
#include <optional>

namespace ConfigReferences {

namespace {

// The string tags of a list section, or nothing when the section or one of its elements has the wrong type.
std::optional<QSet<QString>> tagsOf(const QJsonValue &section)
{
    if (section.isUndefined() || section.isNull())
        return QSet<QString>();
    if (!section.isArray())
        return std::nullopt;
    QSet<QString> tags;
    for (const QJsonValue &element : section.toArray()) {
        const QJsonValue tag = element.toObject().value(QStringLiteral("tag"));
        if (!element.isObject() || !(tag.isUndefined() || tag.isNull() || tag.isString()))
            return std::nullopt;
        tags.insert(tag.toString());
    }
    return tags;
}

// A resolver is named by a tag or by an object whose "server" is the tag.
QString resolverTag(const QJsonValue &value)
{
    return value.isObject() ? value.toObject().value(QStringLiteral("server")).toString() : value.toString();
}

// A rule's rule sets, its logical sub-rules' included.
QStringList ruleSetsOf(const QJsonObject &rule)
{
    QStringList names;
    const QJsonValue value = rule.value(QStringLiteral("rule_set"));
    if (value.isString())
        names << value.toString();
    for (const QJsonValue &name : value.toArray())
        names << name.toString();
    for (const QJsonValue &sub : rule.value(QStringLiteral("rules")).toArray())
        names << ruleSetsOf(sub.toObject());
    return names;
}

bool routesTo(const QJsonObject &rule)
{
    const QJsonValue action = rule.value(QStringLiteral("action"));
    return action.isUndefined() || action == QJsonValue(QStringLiteral("route"));
}

class Walker final
{
public:
    explicit Walker(const QJsonObject &config)
    {
        const QJsonValue dns = config.value(QStringLiteral("dns"));
        const QJsonValue route = config.value(QStringLiteral("route"));
        if (dns.isUndefined() || dns.isNull() || dns.isObject())
            m_servers = tagsOf(dns.toObject().value(QStringLiteral("servers")));
        m_outbounds = tagsOf(config.value(QStringLiteral("outbounds")));
        const std::optional<QSet<QString>> endpoints = tagsOf(config.value(QStringLiteral("endpoints")));
        if (m_outbounds && endpoints)
            m_outbounds->unite(*endpoints);
        if (route.isUndefined() || route.isNull() || route.isObject())
            m_ruleSets = tagsOf(route.toObject().value(QStringLiteral("rule_set")));
    }

    void server(const QString &tag, const QString &message) { check(m_servers, "dns server", tag, message); }
    void outbound(const QString &tag, const QString &message) { check(m_outbounds, "outbound", tag, message); }
    void ruleSet(const QString &tag, const QString &message) { check(m_ruleSets, "rule-set", tag, message); }

    QList<Dangling> found;

private:
    void check(const std::optional<QSet<QString>> &tags, const char *kind, const QString &tag, const QString &message)
    {
        if (!tag.isEmpty() && !(tags && tags->contains(tag)))
            found.append({QString::fromLatin1(kind), tag, message + tag, !tags});
    }

    std::optional<QSet<QString>> m_servers;
    std::optional<QSet<QString>> m_outbounds;
    std::optional<QSet<QString>> m_ruleSets;
};

QList<QJsonObject> objects(const QJsonValue &list)
{
    QList<QJsonObject> result;
    for (const QJsonValue &element : list.toArray())
        result.append(element.toObject());
    return result;
}

} // namespace

QList<Dangling> dangling(const QJsonObject &config)
{
    Walker walker(config);
    const QJsonObject dns = config.value(QStringLiteral("dns")).toObject();
    const QJsonObject route = config.value(QStringLiteral("route")).toObject();

    walker.server(dns.value(QStringLiteral("final")).toString(), QStringLiteral("default DNS server not found: "));
    const QList<QJsonObject> servers = objects(dns.value(QStringLiteral("servers")));
    for (qsizetype i = 0; i < servers.size(); ++i) {
        const QString place = QStringLiteral("initialize DNS server[%1]: ").arg(i);
        walker.server(resolverTag(servers[i].value(QStringLiteral("domain_resolver"))),
                      place + QStringLiteral("domain resolver: DNS server not found: "));
        walker.outbound(servers[i].value(QStringLiteral("detour")).toString(),
                        place + QStringLiteral("detour: outbound not found: "));
    }
    const QList<QJsonObject> dnsRules = objects(dns.value(QStringLiteral("rules")));
    for (qsizetype i = 0; i < dnsRules.size(); ++i) {
        const QString place = QStringLiteral("initialize DNS rule[%1]: ").arg(i);
        if (routesTo(dnsRules[i]))
            walker.server(dnsRules[i].value(QStringLiteral("server")).toString(),
                          place + QStringLiteral("DNS server not found: "));
        for (const QString &name : ruleSetsOf(dnsRules[i]))
            walker.ruleSet(name, place + QStringLiteral("rule-set not found: "));
    }
    walker.server(resolverTag(route.value(QStringLiteral("default_domain_resolver"))),
                  QStringLiteral("default domain resolver: DNS server not found: "));

    const QList<QJsonObject> outbounds = objects(config.value(QStringLiteral("outbounds")));
    for (qsizetype i = 0; i < outbounds.size(); ++i) {
        const QString place = QStringLiteral("initialize outbound[%1]: ").arg(i);
        walker.server(resolverTag(outbounds[i].value(QStringLiteral("domain_resolver"))),
                      place + QStringLiteral("domain resolver: DNS server not found: "));
        walker.outbound(outbounds[i].value(QStringLiteral("detour")).toString(),
                        place + QStringLiteral("detour: outbound not found: "));
    }
    walker.outbound(route.value(QStringLiteral("final")).toString(), QStringLiteral("default outbound not found: "));
    const QList<QJsonObject> rules = objects(route.value(QStringLiteral("rules")));
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const QString place = QStringLiteral("initialize rule[%1]: ").arg(i);
        if (routesTo(rules[i]))
            walker.outbound(rules[i].value(QStringLiteral("outbound")).toString(),
                            place + QStringLiteral("outbound not found: "));
        for (const QString &name : ruleSetsOf(rules[i]))
            walker.ruleSet(name, place + QStringLiteral("rule-set not found: "));
    }
    const QList<QJsonObject> ruleSets = objects(route.value(QStringLiteral("rule_set")));
    for (qsizetype i = 0; i < ruleSets.size(); ++i) {
        walker.outbound(ruleSets[i].value(QStringLiteral("download_detour")).toString(),
                        QStringLiteral("initialize rule-set[%1]: download detour: outbound not found: ").arg(i));
    }
    return walker.found;
}

} // namespace ConfigReferences
