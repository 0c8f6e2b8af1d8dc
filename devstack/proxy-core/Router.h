#pragma once

#include "CoreConfig.h"

// Picks the outbound of a connection: the rules in order (sniff, resolve and route-options only pass on), then
// the route's final outbound, else the first outbound. Selector and urltest groups resolve to their default or
// first member.
struct RouteDecision
{
    const OutboundConfig *outbound = nullptr; // nullptr: rejected
    QString reason;                           // "rule[3]", "final" or "default", for the log
};

class Router final
{
public:
    explicit Router(const CoreConfig &config) : m_config(config) {}

    RouteDecision route(const ConnectionFacts &facts) const;
    const OutboundConfig *resolve(const QString &tag) const;

private:
    const CoreConfig &m_config;
};
