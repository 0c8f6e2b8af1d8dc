#include "EndToEnd.h"

#include "AwaitTask.h"
#include "test_api_controlplane_support.h"

#include "runtime/CommandRunner.h"
#include "tunnel/LocalProxyPorts.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace EndToEnd {

SystemProxy systemProxy(const SimulatedMac &mac)
{
    const CommandResult result =
        awaitTask(CommandRunner::runResult(mac.path(QStringLiteral("/usr/sbin/scutil")), {QStringLiteral("--proxy")}));
    // The primary service's keys come first; the per-interface copies below repeat them.
    QHash<QString, QString> values;
    for (const QString &line : result.standardOutput.split(u'\n')) {
        const qsizetype colon = line.indexOf(QStringLiteral(" : "));
        if (colon > 0 && !values.contains(line.left(colon).trimmed()))
            values.insert(line.left(colon).trimmed(), line.mid(colon + 3).trimmed());
    }
    SystemProxy proxy;
    proxy.httpEnabled = values.value(QStringLiteral("HTTPEnable")) == QLatin1String("1");
    proxy.httpHost = values.value(QStringLiteral("HTTPProxy"));
    proxy.httpPort = values.value(QStringLiteral("HTTPPort")).toInt();
    proxy.socksEnabled = values.value(QStringLiteral("SOCKSEnable")) == QLatin1String("1");
    proxy.socksHost = values.value(QStringLiteral("SOCKSProxy"));
    proxy.socksPort = values.value(QStringLiteral("SOCKSPort")).toInt();
    return proxy;
}

QStringList clientProxySettings(const SimulatedMac &mac)
{
    using Kind = SimulatedMac::ProxyKind;
    const std::pair<Kind, const char *> kinds[] = {
        {Kind::Web, "web"}, {Kind::SecureWeb, "secure"}, {Kind::Socks, "socks"}};
    QStringList owned;
    for (const QString &service : mac.serviceNames()) {
        for (const auto &[kind, name] : kinds) {
            const SimulatedMac::ProxySetting setting = mac.proxy(service, kind);
            const bool ours =
                setting.server == QLatin1String(LocalProxyPorts::host) &&
                (LocalProxyPorts::isOwnedSystemProxyPort(setting.port) || setting.port == LocalProxyPorts::aiProxyPort);
            if (setting.enabled && ours)
                owned << QStringLiteral("%1 %2 %3").arg(service, QLatin1String(name)).arg(setting.port);
        }
    }
    return owned;
}

QByteArray fetchThrough(const QNetworkProxy &proxy, const QUrl &url)
{
    QNetworkAccessManager nam;
    nam.setProxy(proxy);
    QNetworkRequest request(url);
    request.setTransferTimeout(5000);
    const HttpResult result = ControlPlaneProcess::fetch(nam, request);
    return result.status == 200 ? result.body : QByteArray();
}

QList<qint64> coresBelow(const QString &folder)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!file.open(QIODevice::ReadOnly))
            continue; // ended meanwhile
        // An ended process that nobody reaped yet has no command line, and is not running.
        const QStringList words = QString::fromLocal8Bit(file.readAll()).split(QChar(0), Qt::SkipEmptyParts);
        const bool core = !words.isEmpty() && words.first().endsWith(QLatin1String("/sing-box")) &&
                          words.contains(QLatin1String("run"));
        const bool below = std::any_of(words.cbegin(), words.cend(),
                                       [&](const QString &word) { return word.startsWith(folder + u'/'); });
        if (core && below)
            pids << pid;
    }
    return pids;
}

} // namespace EndToEnd
