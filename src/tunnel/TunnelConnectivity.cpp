// Connectivity validation, the system proxy confirmations, the heartbeat probe and the local port choice.
#include "TunnelCoordinator.h"

#include "ConnectivityRules.h"
#include "ProbeTargets.h"

#include "runtime/HostPaths.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeRules.h"

#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr auto proxyRetryWait = 500ms;
constexpr auto aiRetryWait = 1500ms;
constexpr auto tunRetryWait = 500ms;
constexpr auto systemProxySettleWait = 300ms;
constexpr int aiValidationPasses = 4;
constexpr int tunAttempts = 3;
constexpr int directProbeTimeoutMs = 2000;

QStringList scutilProxyArguments()
{
    return {QStringLiteral("--proxy")};
}

QString portText(int port)
{
    return QString::number(port);
}

} // namespace

QCoro::Task<int> TunnelCoordinator::proxyHTTPStatus(int port, QString url)
{
    // Connection failures and time-outs end curl with a non-zero status, which reads as 0.
    QString output;
    try {
        output = co_await runProcess(QString::fromLatin1(HostPaths::Tool::curl),
                                     Connectivity::curlProbeArguments(port, url));
    } catch (const TovrenError &) {
        output.clear();
    }
    co_return Connectivity::parseHTTPStatus(output);
}

QCoro::Task<bool> TunnelCoordinator::proxyWebConnectivityAvailable(int port)
{
    const QStringList urls = ProbeTargets::current().web;
    for (const QString &url : urls) {
        const int status = co_await proxyHTTPStatus(port, url);
        if (Connectivity::isReachableWebStatus(status))
            co_return true;
    }
    co_return false;
}

QCoro::Task<bool> TunnelCoordinator::aiProxyConnectivityAvailable(int port)
{
    const QStringList urls = ProbeTargets::current().ai;
    for (const QString &url : urls) {
        const int status = co_await proxyHTTPStatus(port, url);
        if (Connectivity::isReachableAIStatus(status))
            co_return true;
    }
    co_return false;
}

QCoro::Task<bool> TunnelCoordinator::externalConnectivityAvailable()
{
    const QStringList urls = ProbeTargets::current().direct;
    for (const QString &url : urls) {
        QNetworkRequest request{QUrl(url)};
        request.setTransferTimeout(directProbeTimeoutMs);
        const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
            m_network->get(request), [](QNetworkReply *r) { r->deleteLater(); });
        co_await reply.get();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && Connectivity::isReachableWebStatus(status.toInt()))
            co_return true;
    }
    co_return false;
}

QCoro::Task<QStringList> TunnelCoordinator::validateProxyConnection(int port)
{
    for (int pass = 0; pass < 2; ++pass) {
        const bool reachable = co_await proxyWebConnectivityAvailable(port);
        if (reachable)
            co_return QStringList{QStringLiteral("本地代理连通性检测通过。")};
        co_await QCoro::sleepFor(proxyRetryWait);
    }
    throw TunnelCoordinatorError::commandFailed(QStringLiteral("本地代理已启动，但外网连通性检测失败，已自动回滚。"));
}

QCoro::Task<QStringList> TunnelCoordinator::validateAIProxyConnection(int port)
{
    for (int pass = 0; pass < aiValidationPasses; ++pass) {
        const bool reachable = co_await aiProxyConnectivityAvailable(port);
        if (reachable)
            co_return QStringList{QStringLiteral("AI 增强模式连通性检测通过。")};
        co_await QCoro::sleepFor(aiRetryWait);
    }
    throw TunnelCoordinatorError::commandFailed(
        QStringLiteral("AI 增强模式已启动，但 OpenAI/Claude 连通性检测未通过，正在切换其他节点。"));
}

QCoro::Task<> TunnelCoordinator::validateConnection(QString interfaceHint)
{
    const bool tunnelUp = co_await waitForTunInterface(interfaceHint);
    if (tunnelUp) {
        const bool reachable = co_await externalConnectivityAvailable();
        if (reachable)
            co_return;
        co_await QCoro::sleepFor(proxyRetryWait);
    }
    // wg-quick up succeeded: unseen or silent, the tunnel would otherwise stay up and keep routing.
    if (m_activeConfigURL) {
        try {
            co_await runWGQuick(QStringLiteral("down"), *m_activeConfigURL);
        } catch (const std::exception &) {
        }
    }
    if (!tunnelUp)
        throw TunnelCoordinatorError::commandFailed(QStringLiteral("协议内核已启动，但未检测到可用 TUN 接口。"));
    throw TunnelCoordinatorError::commandFailed(QStringLiteral("WireGuard 已启动，但外网连通性检测失败，已自动回滚。"));
}

QCoro::Task<bool> TunnelCoordinator::waitForTunInterface(QString interfaceHint)
{
    for (int attempt = 0; attempt < tunAttempts; ++attempt) {
        QString output;
        try {
            output = co_await runProcess(QString::fromLatin1(HostPaths::Tool::ifconfig), QStringList());
        } catch (const TovrenError &) {
            output.clear();
        }
        if (Connectivity::interfaceListShowsTunnel(output, interfaceHint))
            co_return true;
        co_await QCoro::sleepFor(tunRetryWait);
    }
    co_return false;
}

QCoro::Task<bool> TunnelCoordinator::systemProxyPointsToLocalProxy(int port)
{
    QString output;
    bool read = true;
    try {
        output = co_await runProcess(QString::fromLatin1(HostPaths::Tool::scutil), scutilProxyArguments());
    } catch (const TovrenError &) {
        read = false;
    }
    co_return read &&Connectivity::systemProxyPointsTo(output, port);
}

QCoro::Task<> TunnelCoordinator::confirmSystemProxy(int port)
{
    const bool pointing = co_await systemProxyPointsToLocalProxy(port);
    if (pointing)
        co_return;
    co_await m_systemProxyManager->enableLocalProxy(port);
    co_await QCoro::sleepFor(systemProxySettleWait);
    const bool pointingNow = co_await systemProxyPointsToLocalProxy(port);
    if (pointingNow)
        co_return;
    throw TunnelCoordinatorError::commandFailed(QStringLiteral("系统代理设置未生效，已自动回滚。"));
}

QCoro::Task<> TunnelCoordinator::confirmSystemProxyApplied(int port)
{
    // A quick start confirms the same way; it only has a step of its own.
    co_await confirmSystemProxy(port);
}

QCoro::Task<TunnelHealthCheck> TunnelCoordinator::connectionHealthCheck(int systemProxyPort, bool aiEnhancedModeEnabled)
{
    const auto turn = co_await m_queue.turn();

    std::optional<QStringList> repairNotes;
    const bool pointing = co_await systemProxyPointsToLocalProxy(systemProxyPort);
    if (!pointing) {
        const QStringList notes = co_await m_systemProxyManager->enableLocalProxy(systemProxyPort);
        co_await QCoro::sleepFor(systemProxySettleWait);
        const bool repaired = co_await systemProxyPointsToLocalProxy(systemProxyPort);
        if (!repaired)
            co_return TunnelHealthCheck{false, QStringLiteral("系统代理未生效，已尝试重新设置但仍为空。")};
        repairNotes = notes;
    }
    const bool webReachable = co_await proxyWebConnectivityAvailable(systemProxyPort);
    if (!webReachable) {
        co_return TunnelHealthCheck{false, QStringLiteral("系统代理入口 127.0.0.1:") + portText(systemProxyPort) +
                                               QStringLiteral(" 外网保活失败。")};
    }
    if (aiEnhancedModeEnabled) {
        const bool aiReachable = co_await aiProxyConnectivityAvailable(m_aiProxyPort);
        if (!aiReachable) {
            co_return TunnelHealthCheck{false, QStringLiteral("AI 专用入口 127.0.0.1:") + portText(m_aiProxyPort) +
                                                   QStringLiteral(" OpenAI/Claude 保活失败。")};
        }
    }
    co_return TunnelHealthCheck{true, Connectivity::healthSummary(aiEnhancedModeEnabled, repairNotes)};
}

QCoro::Task<int> TunnelCoordinator::chooseLocalProxyPort(bool aiEnhancedModeEnabled)
{
    // A core of a crashed run would hold the preferred port: remove it first, without asking for a password.
    // When the runtime found every local port quiet a moment ago and has launched nothing since, that clean-up
    // has nothing to do; should the looks below find a listener after all, it runs then and they look again.
    bool cleanupOutcomeKnown = m_singBox->portsKnownQuiet(allLocalPorts());
    for (;;) {
        if (!cleanupOutcomeKnown) {
            try {
                co_await m_singBox->cleanupOwnedRuntime(allLocalPorts(), false);
            } catch (const std::exception &) {
            }
        }
        bool aiPortFree = true;
        if (aiEnhancedModeEnabled)
            aiPortFree = co_await isTCPPortAvailable(m_aiProxyPort);
        QList<QList<int>> listeners;
        if (aiPortFree)
            listeners = co_await m_singBox->portListeners(m_macOSProxyPortRange);
        const bool quiet = aiPortFree && std::all_of(listeners.cbegin(), listeners.cend(),
                                                     [](const QList<int> &pids) { return pids.isEmpty(); });
        if (cleanupOutcomeKnown && !quiet) {
            cleanupOutcomeKnown = false; // something has started listening since
            continue;
        }
        if (!aiPortFree) {
            throw TunnelCoordinatorError::commandFailed(QStringLiteral("AI 专用代理端口 ") + portText(m_aiProxyPort) +
                                                        QStringLiteral(" 已被占用，请退出占用该端口的程序后重试。"));
        }
        for (qsizetype i = 0; i < listeners.size(); ++i) {
            if (listeners[i].isEmpty())
                co_return m_macOSProxyPortRange[i];
        }
        // Everything taken: the start names the program that holds the preferred port.
        co_return m_macOSProxyPort;
    }
}

QCoro::Task<bool> TunnelCoordinator::isTCPPortAvailable(int port)
{
    // lsof exits with status 0 only when some process listens.
    bool someoneListens = true;
    try {
        co_await runProcess(QString::fromLatin1(HostPaths::Tool::lsof), SingBox::listeningArguments(port));
    } catch (const TovrenError &) {
        someoneListens = false;
    }
    co_return !someoneListens;
}

QCoro::Task<QStringList> TunnelCoordinator::thirdPartyNetworkWarnings(bool checkSystemProxy)
{
    QStringList warnings;
    try {
        const QStringList arguments{QStringLiteral("-rn"), QStringLiteral("-f"), QStringLiteral("inet")};
        const QString routes = co_await runProcess(QString::fromLatin1(HostPaths::Tool::netstat), arguments);
        if (const std::optional<QString> warning = Connectivity::routeWarning(routes))
            warnings << *warning;
    } catch (const TovrenError &) {
    }
    if (checkSystemProxy) {
        try {
            const QString proxies =
                co_await runProcess(QString::fromLatin1(HostPaths::Tool::scutil), scutilProxyArguments());
            if (Connectivity::anySystemProxyEnabled(proxies))
                warnings << QString::fromUtf8(Connectivity::systemProxyStillOnWarning);
        } catch (const TovrenError &) {
        }
    }
    co_return warnings;
}
