#include "ConnectivityRules.h"

#include "base/TextLines.h"

#include <QHash>

namespace Connectivity {

QStringList curlProbeArguments(int port, const QString &url)
{
    return {QStringLiteral("--socks5-hostname"),
            QStringLiteral("127.0.0.1:") + QString::number(port),
            QStringLiteral("--connect-timeout"),
            QStringLiteral("1.5"),
            QStringLiteral("--max-time"),
            QStringLiteral("2"),
            QStringLiteral("-L"),
            QStringLiteral("-sS"),
            QStringLiteral("-o"),
            QStringLiteral("/dev/null"),
            QStringLiteral("-w"),
            QStringLiteral("%{http_code}"),
            url};
}

int parseHTTPStatus(const QString &output)
{
    QString text = output.trimmed();
    bool negative = false;
    if (text.startsWith(u'+') || text.startsWith(u'-')) {
        negative = text.startsWith(u'-');
        text.remove(0, 1);
    }
    if (text.isEmpty())
        return 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return 0;
    }
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok)
        return 0;
    return negative ? -value : value;
}

bool isReachableWebStatus(int status)
{
    return status >= 200 && status <= 399;
}

bool isReachableAIStatus(int status)
{
    return status >= 200 && status <= 499;
}

namespace {

// The keys of the outermost dictionary of `scutil --proxy` with their values; nested dictionaries (the
// exceptions list, the per-interface __SCOPED__ entries) are skipped.
QHash<QString, QString> topLevelEntries(const QString &scutilOutput)
{
    QHash<QString, QString> entries;
    int depth = 0;
    for (const QString &rawLine : scutilOutput.split(u'\n')) {
        const QString line = rawLine.trimmed();
        if (line == u'}') {
            --depth;
            continue;
        }
        const qsizetype separator = line.indexOf(QLatin1String(" : "));
        if (depth == 1 && separator > 0 && !line.endsWith(u'{'))
            entries.insert(line.left(separator).trimmed(), line.mid(separator + 3).trimmed());
        if (line.endsWith(u'{'))
            ++depth;
    }
    return entries;
}

} // namespace

bool systemProxyPointsTo(const QString &scutilOutput, int port)
{
    const QHash<QString, QString> entries = topLevelEntries(scutilOutput);
    const QString wantedPort = QString::number(port);
    for (const char *kind : {"HTTP", "HTTPS", "SOCKS"}) {
        const QString prefix = QLatin1String(kind);
        if (entries.value(prefix + QStringLiteral("Enable")) == QLatin1String("1") &&
            entries.value(prefix + QStringLiteral("Proxy")) == QLatin1String("127.0.0.1") &&
            entries.value(prefix + QStringLiteral("Port")) == wantedPort)
            return true;
    }
    return false;
}

bool anySystemProxyEnabled(const QString &scutilOutput)
{
    return scutilOutput.contains(QLatin1String("HTTPEnable : 1")) ||
           scutilOutput.contains(QLatin1String("HTTPSEnable : 1")) ||
           scutilOutput.contains(QLatin1String("SOCKSEnable : 1"));
}

namespace {

bool isOwnTunRoute(const QString &line)
{
    static const QStringList markers{QStringLiteral("172.19.0.1"), QStringLiteral("172.19.0.2"),
                                     QStringLiteral("172.19.0.3"), QStringLiteral("fdfe:dcba:9876")};
    for (const QString &marker : markers) {
        if (line.contains(marker))
            return true;
    }
    return false;
}

} // namespace

QStringList suspiciousRoutes(const QString &netstatOutput)
{
    // Default routes, the split-default and wide routes that VPN software installs, and the benchmarking
    // range used for fake addresses.
    static const QStringList prefixes{QStringLiteral("default"), QStringLiteral("0/1"),        QStringLiteral("1 "),
                                      QStringLiteral("2/7"),     QStringLiteral("4/6"),        QStringLiteral("8/5"),
                                      QStringLiteral("16/4"),    QStringLiteral("32/3"),       QStringLiteral("64/2"),
                                      QStringLiteral("128.0/1"), QStringLiteral("198.18.0/16")};
    QStringList suspicious;
    for (QString line : netstatOutput.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (!line.contains(QLatin1String("utun")) || isOwnTunRoute(line))
            continue;
        const QString trimmed = TextLines::trimmedOfBlanks(line);
        for (const QString &prefix : prefixes) {
            if (trimmed.startsWith(prefix)) {
                suspicious << trimmed;
                break;
            }
        }
    }
    return suspicious;
}

std::optional<QString> routeWarning(const QString &netstatOutput)
{
    const QStringList suspicious = suspiciousRoutes(netstatOutput);
    if (suspicious.isEmpty())
        return std::nullopt;
    return QStringLiteral("检测到可能存在其它 VPN/TUN 路由：") + suspicious.mid(0, 3).join(QStringLiteral("；"));
}

bool interfaceListShowsTunnel(const QString &ifconfigOutput, const QString &interfaceHint)
{
    return (!interfaceHint.isEmpty() && ifconfigOutput.contains(interfaceHint)) ||
           ifconfigOutput.contains(QLatin1String("utun"));
}

QString healthSummary(bool aiEnhancedModeEnabled, const std::optional<QStringList> &repairNotes)
{
    const QString base = aiEnhancedModeEnabled ? QStringLiteral("系统代理与 AI 专用入口保活通过。")
                                               : QStringLiteral("系统代理保活通过。");
    if (!repairNotes)
        return base;
    const QString repair =
        repairNotes->isEmpty() ? QStringLiteral("已重新设置 macOS 系统代理。") : repairNotes->mid(0, 2).join(u' ');
    return base + QStringLiteral(" 检测到系统代理曾丢失，") + repair;
}

} // namespace Connectivity
