#pragma once

#include <QStringList>

#include <optional>

// Finding the WireGuard tools on the Mac and the shell texts that run them with administrator rights.
namespace WireGuardCommands {

// `wg-quick` names the interface after the configuration file "tovren-active.conf".
inline constexpr const char *interfaceName = "tovren-active";

// `do shell script` starts with a minimal search path.
inline constexpr const char *searchPathExport =
    "export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

const QStringList &wgQuickCandidates(); // /opt/homebrew/bin, /usr/local/bin, /usr/bin
const QStringList &bashCandidates();    // /opt/homebrew/bin, /usr/local/bin, /bin
const QStringList &brewCandidates();    // /opt/homebrew/bin, /usr/local/bin

// The macOS path of the first candidate that is an executable file on this host.
std::optional<QString> findTool(const QStringList &macPaths);
inline std::optional<QString> findWGQuickPath()
{
    return findTool(wgQuickCandidates());
}
inline std::optional<QString> findBashPath()
{
    return findTool(bashCandidates());
}
inline std::optional<QString> findBrewPath()
{
    return findTool(brewCandidates());
}

// The privileged command for `wg-quick <action> <config>`. wg-quick needs Bash 4 or later: a bash outside
// /bin (Homebrew's) runs it explicitly; with only the system's Bash 3 wg-quick runs through its own
// interpreter line. Paths are macOS paths; every word is single-quoted.
QString wgQuickCommand(const QString &wgQuickMacPath, const std::optional<QString> &bashMacPath, const QString &action,
                       const QString &configPath);

// Takes a stale tunnel down by file and by name, destroys its interface and flushes the DNS caches; every
// line ignores its own failure.
QString repairScript(const QString &configPath, const QString &tunnel = QLatin1String(interfaceName));

// `wg show interfaces` without administrator rights, for a login shell.
QString showInterfacesCommand();
// Whether that output names the client's tunnel.
bool listsClientInterface(const QString &showInterfacesOutput);

// A failure that a clean-up of the old tunnel state may cure: an existing interface or file, DNS, routes.
bool isRecoverableWGQuickError(const QString &description);
// The tools and bash do not fit together.
bool isVersionMismatch(const QString &description);
inline constexpr const char *versionMismatchMessage =
    "连接组件版本不匹配，请点击“一键安装连接组件”更新 Bash 和 WireGuard Tools。";

} // namespace WireGuardCommands
