#pragma once

#include <QString>

// The one place where absolute macOS paths of system tools and outside programs are resolved.
// With TOVREN_HOST_ROOT set (development and tests on another system), every absolute path is taken
// below that folder, so the unchanged client drives a simulated Mac.
namespace HostPaths {

// "/usr/sbin/networksetup" -> "<root>/usr/sbin/networksetup" when a root is set, else unchanged.
QString resolve(const QString &absoluteMacPath);

// The search path given to child processes:
// "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", each entry resolved.
QString searchPath();

// The host root in force, empty on a real Mac.
QString root();

namespace Tool {
inline constexpr const char *networksetup = "/usr/sbin/networksetup";
inline constexpr const char *scutil = "/usr/sbin/scutil";
inline constexpr const char *netstat = "/usr/sbin/netstat";
inline constexpr const char *ifconfig = "/sbin/ifconfig";
inline constexpr const char *lsof = "/usr/sbin/lsof";
inline constexpr const char *ps = "/bin/ps";
inline constexpr const char *kill = "/bin/kill";
inline constexpr const char *curl = "/usr/bin/curl";
inline constexpr const char *osascript = "/usr/bin/osascript";
inline constexpr const char *open = "/usr/bin/open";
inline constexpr const char *sh = "/bin/sh";
inline constexpr const char *bash = "/bin/bash";
inline constexpr const char *env = "/usr/bin/env";
} // namespace Tool

} // namespace HostPaths
