#pragma once

#include <QStringList>

#include <optional>

// The pure readings behind the connectivity checks: what curl's status output means, whether the system proxy
// settings point at the local proxy, which routes look like other VPN software, and the heartbeat's texts.
namespace Connectivity {

// curl's arguments for one probe through the local SOCKS entry: names resolved by the proxy, redirects
// followed, the body discarded, the final status code printed.
QStringList curlProbeArguments(int port, const QString &url);

// curl's printed status: trimmed and read as a decimal integer with an optional sign; 0 when unreadable.
int parseHTTPStatus(const QString &output);

bool isReachableWebStatus(int status); // 200 to 399
bool isReachableAIStatus(int status);  // 200 to 499

// Whether `scutil --proxy` shows a proxy of the system's primary settings (HTTP, HTTPS or SOCKS) that is
// switched on and points at 127.0.0.1 on `port`. Each kind is judged on its own: an enabled proxy elsewhere
// together with a switched-off entry naming our port does not count.
bool systemProxyPointsTo(const QString &scutilOutput, int port);

// Whether any HTTP, HTTPS or SOCKS proxy is switched on anywhere in `scutil --proxy`.
bool anySystemProxyEnabled(const QString &scutilOutput);

// Routing-table lines (`netstat -rn -f inet`) through a utun interface that are default, split-default or
// other wide routes, or the range used for fake addresses, and that are not routes of this client's own TUN.
// Trimmed, in table order.
QStringList suspiciousRoutes(const QString &netstatOutput);

// The single warning about foreign routes (naming the first three), or nothing.
std::optional<QString> routeWarning(const QString &netstatOutput);

inline constexpr const char *systemProxyStillOnWarning =
    "检测到系统 HTTP/HTTPS/SOCKS 代理仍处于开启状态，可能影响流量归属。";

// Whether `ifconfig` lists the tunnel: the interface name, or any utun interface.
bool interfaceListShowsTunnel(const QString &ifconfigOutput, const QString &interfaceHint);

// The heartbeat's summary. `repairNotes` is present when the system proxy had to be set again, holding the
// proxy manager's notes of that repair.
QString healthSummary(bool aiEnhancedModeEnabled, const std::optional<QStringList> &repairNotes);

} // namespace Connectivity
