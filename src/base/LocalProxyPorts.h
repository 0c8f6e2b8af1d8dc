#pragma once

#include <QList>
#include <QString>

// The loopback entries of the local proxy core. A system proxy setting that points at `host` on one of
// the system-proxy ports belongs to this client (and may be switched off by it at any time).
namespace LocalProxyPorts {

inline constexpr const char *host = "127.0.0.1";
inline constexpr int preferredSystemProxyPort = 19090;
inline constexpr int firstSystemProxyPort = 19090;
inline constexpr int lastSystemProxyPort = 19109;
inline constexpr int aiProxyPort = 19110;

// 19090 to 19109, ascending: the ports tried for the system-proxy entry.
inline QList<int> systemProxyPortRange()
{
    QList<int> ports;
    for (int port = firstSystemProxyPort; port <= lastSystemProxyPort; ++port)
        ports.append(port);
    return ports;
}

inline bool isOwnedSystemProxyPort(int port)
{
    return port >= firstSystemProxyPort && port <= lastSystemProxyPort;
}

} // namespace LocalProxyPorts
