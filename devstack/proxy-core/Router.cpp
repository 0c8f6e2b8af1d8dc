#include "Router.h"

RouteDecision Router::route(const ConnectionFacts &facts) const
{
    for (qsizetype i = 0; i < m_config.rules.size(); ++i) {
        const RouteRule &rule = m_config.rules.at(i);
        if (!rule.isFinal() || !rule.matches(facts))
            continue;
        const QString reason = QStringLiteral("rule[%1]").arg(i);
        if (rule.action() == RouteRule::Action::Route)
            return {resolve(rule.outbound()), reason};
        return {nullptr, reason}; // reject, or hijack-dns of a connection that is not DNS
    }
    if (!m_config.finalTag.isEmpty())
        return {resolve(m_config.finalTag), QStringLiteral("final")};
    return {resolve(m_config.outbounds.first().tag), QStringLiteral("default")};
}

const OutboundConfig *Router::resolve(const QString &tag) const
{
    const OutboundConfig *outbound = m_config.outbound(tag);
    // Groups may name groups; a cycle ends at the depth limit with no outbound.
    for (int depth = 0; outbound && !outbound->members.isEmpty(); ++depth) {
        if (depth > 16)
            return nullptr;
        outbound =
            m_config.outbound(outbound->defaultMember.isEmpty() ? outbound->members.first() : outbound->defaultMember);
    }
    return outbound;
}
