#pragma once

#include "HostState.h"

// Text shapes of the macOS tools, produced from the simulated state. Pure functions.
namespace SimHost {

// networksetup -getwebproxy and friends.
QString networkSetupProxyText(const ProxySetting &proxy);

// scutil --proxy: the proxy dictionary of the primary service, with a __SCOPED__ section per connected service.
QString scutilProxyDictionary(const HostState &state);

// ifconfig without arguments (all interfaces) or for one interface; empty when it does not exist.
QString ifconfigText(const HostState &state, const QString &only = {});
QStringList interfaceNames(const HostState &state);

struct RouteLine
{
    QString destination; // an IPv4 CIDR ("10.0.0.0/8"), an address, or "default"
    QString gateway;
    QString flags;
    QString netif;
    QString expire;
};

// A destination as BSD netstat prints it: classful trimming ("127", "169.254", "128.0/1", "198.18.0/16").
QString macRouteDestination(const QString &cidr);
// The "netstat -rn -f inet" text for these routes (heading included).
QString routingTableText(const QList<RouteLine> &routes);
// A plain Wi-Fi Mac's IPv4 routing table.
QList<RouteLine> defaultRoutes();
// The table text with the routes of the tunnels that are up appended.
QString routingTableWithTunnels(const QString &table, const HostState &state);

} // namespace SimHost
