#include "EndToEnd.h"

#include "AwaitTask.h"
#include "ControlPlaneProcess.h"
#include "EndWithTest.h"

#include "base/LocalProxyPorts.h"
#include "runtime/CommandRunner.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTest>

#include <sys/wait.h>

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

QList<qint64> guardsOf(const QString &home)
{
    QList<qint64> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(entry));
        QFile environment(QStringLiteral("/proc/%1/environ").arg(entry));
        if (!command.open(QIODevice::ReadOnly) || !environment.open(QIODevice::ReadOnly))
            continue;
        const bool guard = command.readAll().split('\0').constFirst().endsWith("/tovren-guard");
        if (guard && environment.readAll().split('\0').contains("HOME=" + QFile::encodeName(home)))
            pids << entry.toLongLong();
    }
    return pids;
}

SimulatedMac::NetworkService setCompanyProxy(SimulatedMac &mac)
{
    const QString wifi = QStringLiteral("Wi-Fi");
    const SimulatedMac::ProxySetting company{true, QStringLiteral("10.0.0.2"), 8080, false};
    mac.setProxy(wifi, SimulatedMac::ProxyKind::Web, company);
    mac.setProxy(wifi, SimulatedMac::ProxyKind::SecureWeb, company);
    mac.setBypassDomains(wifi, {QStringLiteral("*.corp.example"), QStringLiteral("intranet")});
    return mac.service(wifi);
}

bool sameProxySettings(const SimulatedMac::NetworkService &a, const SimulatedMac::NetworkService &b)
{
    // The server of a proxy that is off is not in effect (switching off keeps the client's).
    const auto same = [](const SimulatedMac::ProxySetting &x, const SimulatedMac::ProxySetting &y) {
        return x.enabled == y.enabled && (!x.enabled || (x.server == y.server && x.port == y.port));
    };
    return same(a.web, b.web) && same(a.secureWeb, b.secureWeb) && same(a.socks, b.socks) &&
           a.bypassDomains == b.bypassDomains;
}

OrphanReaper::OrphanReaper()
{
    // 0: still running; otherwise reaped now, or not a child of ours at all.
    m_timer.callOnTimeout(
        this, [this] { m_pids.removeIf([](qint64 pid) { return ::waitpid(pid_t(pid), nullptr, WNOHANG) != 0; }); });
    m_timer.start(10);
}

Client::Client(const QStringList &arguments, const QString &internetProbe)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TOVREN_PROBE_TARGETS"), QStringLiteral("direct=") + internetProbe);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    endWithTest(m_process);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                     [this] { m_log += QString::fromUtf8(m_process.readAllStandardOutput()); });
    m_process.start(qEnvironmentVariable("TOVREN_BUILD_DIR") + QStringLiteral("/src/app/tovren"), arguments);
}

Client::~Client()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10'000);
    }
}

bool Client::waitForLog(const QString &text, int timeoutMs, const QString &failure)
{
    [[maybe_unused]] const bool settled = QTest::qWaitFor(
        [&] { return m_log.contains(text) || m_log.contains(failure) || m_process.state() == QProcess::NotRunning; },
        timeoutMs);
    return m_log.contains(text);
}

bool Client::waitForEnd(int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

} // namespace EndToEnd
