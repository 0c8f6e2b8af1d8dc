#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <exception>

// A configuration the core cannot run; the message names the offending place ("route.rules[2]: ...").
class ConfigError final : public std::exception
{
public:
    explicit ConfigError(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString &message() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// What routing knows about one connection.
struct ConnectionFacts
{
    QString inbound; // the inbound's tag
    QString host;    // the requested name, or an address literal
    quint16 port = 0;
    QString network = QStringLiteral("tcp");

    bool hostIsAddress() const { return !QHostAddress(host).isNull(); }
};

// One route rule: its conditions and what it does when they hold. Within a rule the destination conditions
// (domain, domain_suffix, domain_keyword, domain_regex, ip_cidr, ip_is_private) are alternatives, the port
// conditions (port, port_range) are alternatives, and the groups and the other conditions (inbound, network)
// must all hold. A "logical" rule combines sub-rules with "and" or "or". "invert" negates. Conditions the core
// cannot evaluate (geosite, rule_set, process names, ...) are refused at check time rather than ignored, since
// ignoring one would route traffic differently from the configuration's meaning.
class RouteRule final
{
public:
    enum class Action { Route, Reject, Sniff, Resolve, HijackDns, RouteOptions };

    // Throws ConfigError; `place` prefixes messages ("route.rules[0]").
    static RouteRule parse(const QJsonObject &json, const QString &place, bool subRule = false);

    bool matches(const ConnectionFacts &facts) const;
    Action action() const { return m_action; }
    QString outbound() const { return m_outbound; }
    // A final action ends the walk through the rules; sniff, resolve and route-options do not.
    bool isFinal() const;

private:
    bool matchesOwnConditions(const ConnectionFacts &facts) const;

    Action m_action = Action::Route;
    QString m_outbound;
    bool m_invert = false;
    bool m_logical = false;
    bool m_logicalAnd = true;
    QList<RouteRule> m_subRules;
    QStringList m_inbounds;
    QStringList m_networks;
    QStringList m_domains;
    QStringList m_suffixes;
    QStringList m_keywords;
    QList<QRegularExpression> m_regexes;
    QList<QPair<QHostAddress, int>> m_cidrs;
    bool m_hasPrivateCondition = false;
    bool m_ipIsPrivate = false;
    QList<quint16> m_ports;
    QList<QPair<int, int>> m_portRanges;
    QStringList m_protocols;
};
