#include "RouteRule.h"

#include "Destination.h"

#include <QJsonArray>
#include <QSet>

namespace {

const QSet<QString> &optionKeys()
{
    // Options of rule actions that do not change where a TCP connection goes in this core.
    static const QSet<QString> keys{"action",
                                    "outbound",
                                    "method",
                                    "no_drop",
                                    "sniffer",
                                    "timeout",
                                    "strategy",
                                    "server",
                                    "override_address",
                                    "override_port",
                                    "network_strategy",
                                    "network_type",
                                    "fallback_network_type",
                                    "fallback_delay",
                                    "udp_disable_domain_unmapping",
                                    "udp_connect",
                                    "udp_timeout",
                                    "tls_fragment",
                                    "tls_fragment_fallback_delay",
                                    "tls_record_fragment",
                                    "rewrite_ttl",
                                    "client_subnet"};
    return keys;
}

QStringList stringOrList(const QJsonValue &value, const QString &place)
{
    if (value.isString())
        return {value.toString()};
    if (!value.isArray())
        throw ConfigError(place + QStringLiteral(": expected a string or a list of strings"));
    QStringList list;
    for (const QJsonValue &item : value.toArray()) {
        if (!item.isString())
            throw ConfigError(place + QStringLiteral(": expected a string or a list of strings"));
        list << item.toString();
    }
    return list;
}

bool isPrivate(const QHostAddress &address)
{
    static const QList<QPair<QHostAddress, int>> ranges{QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
                                                        QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
                                                        QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
                                                        QHostAddress::parseSubnet(QStringLiteral("100.64.0.0/10"))};
    for (const auto &range : ranges) {
        if (address.isInSubnet(range))
            return true;
    }
    return address.isLoopback() || address.isLinkLocal() || address.isUniqueLocalUnicast();
}

int portNumber(const QJsonValue &value, const QString &place)
{
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number != int(number) || number < 0 || number > 65535)
        throw ConfigError(place + QStringLiteral(": a port must be a number from 0 to 65535"));
    return int(number);
}

} // namespace

RouteRule RouteRule::parse(const QJsonObject &json, const QString &place, bool subRule)
{
    RouteRule rule;
    const QString type = json.value("type").toString(QStringLiteral("default"));
    rule.m_logical = type == QLatin1String("logical");
    if (!rule.m_logical && type != QLatin1String("default"))
        throw ConfigError(place + QStringLiteral(": unknown rule type: ") + type);

    for (auto it = json.begin(); it != json.end(); ++it) {
        const QString key = it.key();
        const QString at = place + u'.' + key;
        const QJsonValue value = it.value();
        if (key == QLatin1String("type") || key == QLatin1String("invert")) {
            continue;
        } else if (optionKeys().contains(key)) {
            if (subRule)
                throw ConfigError(at + QStringLiteral(": a sub-rule of a logical rule has no action"));
        } else if (rule.m_logical) {
            if (key == QLatin1String("mode")) {
                const QString mode = value.toString();
                if (mode != QLatin1String("and") && mode != QLatin1String("or"))
                    throw ConfigError(at + QStringLiteral(": must be \"and\" or \"or\""));
                rule.m_logicalAnd = mode == QLatin1String("and");
            } else if (key == QLatin1String("rules")) {
                const QJsonArray subRules = value.toArray();
                for (qsizetype i = 0; i < subRules.size(); ++i)
                    rule.m_subRules << parse(subRules.at(i).toObject(), at + QStringLiteral("[%1]").arg(i), true);
            } else {
                throw ConfigError(at + QStringLiteral(": not a field of a logical rule"));
            }
        } else if (key == QLatin1String("inbound")) {
            rule.m_inbounds = stringOrList(value, at);
        } else if (key == QLatin1String("network")) {
            rule.m_networks = stringOrList(value, at);
        } else if (key == QLatin1String("domain")) {
            for (const QString &domain : stringOrList(value, at))
                rule.m_domains << normalisedHostName(domain);
        } else if (key == QLatin1String("domain_suffix")) {
            for (const QString &suffix : stringOrList(value, at))
                rule.m_suffixes << normalisedHostName(suffix);
        } else if (key == QLatin1String("domain_keyword")) {
            for (const QString &keyword : stringOrList(value, at))
                rule.m_keywords << keyword.toLower();
        } else if (key == QLatin1String("domain_regex")) {
            for (const QString &pattern : stringOrList(value, at)) {
                QRegularExpression regex(pattern);
                if (!regex.isValid())
                    throw ConfigError(at + QStringLiteral(": invalid regular expression: ") + pattern);
                rule.m_regexes << regex;
            }
        } else if (key == QLatin1String("ip_cidr")) {
            for (const QString &cidr : stringOrList(value, at)) {
                QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(cidr);
                if (subnet.first.isNull() && !QHostAddress(cidr).isNull())
                    subnet = {QHostAddress(cidr),
                              QHostAddress(cidr).protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32};
                if (subnet.first.isNull())
                    throw ConfigError(at + QStringLiteral(": invalid prefix: ") + cidr);
                rule.m_cidrs << subnet;
            }
        } else if (key == QLatin1String("ip_is_private")) {
            rule.m_hasPrivateCondition = true;
            rule.m_ipIsPrivate = value.toBool();
        } else if (key == QLatin1String("port")) {
            const QJsonArray ports = value.isArray() ? value.toArray() : QJsonArray{value};
            for (const QJsonValue &port : ports)
                rule.m_ports << quint16(portNumber(port, at));
        } else if (key == QLatin1String("port_range")) {
            for (const QString &range : stringOrList(value, at)) {
                bool fromOk = true;
                bool toOk = true;
                const QString from = range.section(u':', 0, 0);
                const QString to = range.section(u':', 1);
                const int low = from.isEmpty() ? 0 : from.toInt(&fromOk);
                const int high = to.isEmpty() ? 65535 : to.toInt(&toOk);
                if (!range.contains(u':') || !fromOk || !toOk || low > high)
                    throw ConfigError(at + QStringLiteral(": invalid port range: ") + range);
                rule.m_portRanges << qMakePair(low, high);
            }
        } else if (key == QLatin1String("protocol")) {
            rule.m_protocols = stringOrList(value, at);
        } else {
            throw ConfigError(at + QStringLiteral(": unsupported rule condition (the devstack core refuses "
                                                  "conditions it cannot evaluate)"));
        }
    }
    rule.m_invert = json.value("invert").toBool();
    if (rule.m_logical && rule.m_subRules.isEmpty())
        throw ConfigError(place + QStringLiteral(".rules: a logical rule needs sub-rules"));
    if (subRule)
        return rule;

    const QString action = json.value("action").toString(QStringLiteral("route"));
    static const QList<QPair<QString, Action>> actions{
        {"route", Action::Route},     {"reject", Action::Reject},        {"sniff", Action::Sniff},
        {"resolve", Action::Resolve}, {"hijack-dns", Action::HijackDns}, {"route-options", Action::RouteOptions}};
    bool known = false;
    for (const auto &[name, value] : actions) {
        if (action == name) {
            rule.m_action = value;
            known = true;
        }
    }
    if (!known)
        throw ConfigError(place + QStringLiteral(".action: unknown rule action: ") + action);
    rule.m_outbound = json.value("outbound").toString();
    if (rule.m_action == Action::Route && rule.m_outbound.isEmpty())
        throw ConfigError(place + QStringLiteral(": missing outbound"));
    return rule;
}

bool RouteRule::isFinal() const
{
    return m_action == Action::Route || m_action == Action::Reject || m_action == Action::HijackDns;
}

bool RouteRule::matches(const ConnectionFacts &facts) const
{
    bool result = false;
    if (m_logical) {
        result = m_logicalAnd;
        for (const RouteRule &sub : m_subRules) {
            const bool matched = sub.matches(facts);
            if (m_logicalAnd && !matched) {
                result = false;
                break;
            }
            if (!m_logicalAnd && matched) {
                result = true;
                break;
            }
        }
    } else {
        result = matchesOwnConditions(facts);
    }
    return result != m_invert;
}

bool RouteRule::matchesOwnConditions(const ConnectionFacts &facts) const
{
    if (!m_inbounds.isEmpty() && !m_inbounds.contains(facts.inbound))
        return false;
    if (!m_networks.isEmpty() && !m_networks.contains(facts.network))
        return false;
    // No sniffing happens here, so the protocol of a connection is never known.
    if (!m_protocols.isEmpty())
        return false;

    const bool hasDestination = !m_domains.isEmpty() || !m_suffixes.isEmpty() || !m_keywords.isEmpty() ||
                                !m_regexes.isEmpty() || !m_cidrs.isEmpty() || m_hasPrivateCondition;
    if (hasDestination) {
        bool matched = false;
        if (facts.hostIsAddress()) {
            const QHostAddress address(facts.host);
            for (const auto &cidr : m_cidrs)
                matched = matched || address.isInSubnet(cidr);
            if (m_hasPrivateCondition)
                matched = matched || isPrivate(address) == m_ipIsPrivate;
        } else {
            const QString name = normalisedHostName(facts.host);
            matched = m_domains.contains(name);
            for (const QString &suffix : m_suffixes) {
                // "example.com" covers the name and every name below it; ".example.com" only the names below.
                if (suffix.startsWith(u'.') ? name.endsWith(suffix) : (name == suffix || name.endsWith(u'.' + suffix)))
                    matched = true;
            }
            for (const QString &keyword : m_keywords)
                matched = matched || name.contains(keyword);
            for (const QRegularExpression &regex : m_regexes)
                matched = matched || regex.match(name).hasMatch();
        }
        if (!matched)
            return false;
    }
    if (!m_ports.isEmpty() || !m_portRanges.isEmpty()) {
        bool matched = m_ports.contains(facts.port);
        for (const auto &[low, high] : m_portRanges)
            matched = matched || (facts.port >= low && facts.port <= high);
        if (!matched)
            return false;
    }
    return true;
}
