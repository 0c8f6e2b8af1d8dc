#include "WireGuardCommands.h"

#include "runtime/HostPaths.h"
#include "runtime/PrivilegedCommand.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace WireGuardCommands {

const QStringList &wgQuickCandidates()
{
    static const QStringList paths{"/opt/homebrew/bin/wg-quick", "/usr/local/bin/wg-quick", "/usr/bin/wg-quick"};
    return paths;
}

const QStringList &bashCandidates()
{
    static const QStringList paths{"/opt/homebrew/bin/bash", "/usr/local/bin/bash", "/bin/bash"};
    return paths;
}

const QStringList &brewCandidates()
{
    static const QStringList paths{"/opt/homebrew/bin/brew", "/usr/local/bin/brew"};
    return paths;
}

std::optional<QString> findTool(const QStringList &macPaths)
{
    for (const QString &macPath : macPaths) {
        const QFileInfo info(HostPaths::resolve(macPath));
        if (info.isFile() && info.isExecutable())
            return macPath;
    }
    return std::nullopt;
}

QString wgQuickCommand(const QString &wgQuickMacPath, const std::optional<QString> &bashMacPath, const QString &action,
                       const QString &configPath)
{
    QStringList words;
    if (bashMacPath && !bashMacPath->startsWith(QLatin1String("/bin/")))
        words << HostPaths::resolve(*bashMacPath);
    words << HostPaths::resolve(wgQuickMacPath) << action << configPath;
    return QLatin1String(searchPathExport) + QStringLiteral("; ") + PrivilegedCommand::shellCommandLine(words);
}

QString repairScript(const QString &configPath, const QString &tunnel)
{
    const QString file = PrivilegedCommand::shellQuoted(configPath);
    const QString name = PrivilegedCommand::shellQuoted(tunnel);
    const QString quiet = QStringLiteral(" >/dev/null 2>&1 || true");
    return QStringList{
        QLatin1String(searchPathExport),
        QStringLiteral("wg-quick down ") + file + quiet,
        QStringLiteral("wg-quick down ") + name + quiet,
        QStringLiteral("ifconfig ") + name + QStringLiteral(" destroy") + quiet,
        QStringLiteral("dscacheutil -flushcache") + quiet,
        QStringLiteral("killall -HUP mDNSResponder") + quiet,
    }
        .join(u'\n');
}

QString showInterfacesCommand()
{
    return QLatin1String(searchPathExport) + QStringLiteral("; wg show interfaces 2>/dev/null || true");
}

bool listsClientInterface(const QString &showInterfacesOutput)
{
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    return showInterfacesOutput.split(whiteSpace, Qt::SkipEmptyParts).contains(QLatin1String(interfaceName));
}

bool isRecoverableWGQuickError(const QString &description)
{
    const QString text = description.toLower();
    for (const char *marker : {"already exists", "file exists", "dns", "route", "utun"}) {
        if (text.contains(QLatin1String(marker)))
            return true;
    }
    return false;
}

bool isVersionMismatch(const QString &description)
{
    return description.toLower().contains(QLatin1String("version mismatch"));
}

} // namespace WireGuardCommands
