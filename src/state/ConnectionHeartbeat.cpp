// The heartbeat of a live connection and the automatic recovery it starts after repeated failures.
#include "AccountService.h"
#include "ConnectionController.h"
#include "EndpointRanking.h"
#include "HeartbeatTask.h"
#include "api/TovrenRuntimeError.h"

#include <QPointer>

#include <cmath>

namespace {

std::chrono::milliseconds scaled(double seconds, double scale)
{
    return std::chrono::milliseconds(std::llround(std::max(0.0, seconds) * 1000.0 * scale));
}

QCoro::Task<void> runHeartbeatLoop(QPointer<ConnectionController> controller, std::shared_ptr<HeartbeatTask> task,
                                   QUuid sessionId, Endpoint endpoint, Device device,
                                   std::optional<double> initialDelaySeconds, double timeScale)
{
    if (initialDelaySeconds) {
        co_await task->sleep(scaled(*initialDelaySeconds, timeScale));
        if (controller)
            co_await controller->runConnectionHeartbeat(sessionId, endpoint, device);
    }
    for (;;) {
        if (task->isCancelled())
            co_return;
        co_await task->sleep(scaled(task->intervalSeconds(), timeScale));
        if (!controller)
            co_return;
        co_await controller->runConnectionHeartbeat(sessionId, endpoint, device);
    }
}

QString recentLogLines(const QList<LogEntry> &logs)
{
    QStringList lines;
    for (const LogEntry &entry : logs.mid(0, 12))
        lines << entry.time + QStringLiteral(" ") + entry.message;
    return lines.join(u'\n');
}

} // namespace

void ConnectionController::startConnectionHeartbeat(const Endpoint &endpoint, const Device &device,
                                                    std::optional<double> initialDelaySeconds)
{
    stopConnectionHeartbeat();
    m_connectionSessionId = QUuid::createUuid();
    const int interval = m_model.aiEnhancedModeEnabled() ? aiHeartbeatIntervalSeconds : heartbeatIntervalSeconds;
    m_connectionHeartbeatTask = std::make_shared<HeartbeatTask>(interval);
    runHeartbeatLoop(QPointer<ConnectionController>(this), m_connectionHeartbeatTask, m_connectionSessionId, endpoint,
                     device, initialDelaySeconds, m_dependencies.timeScale ? m_dependencies.timeScale() : 1.0);
}

void ConnectionController::stopConnectionHeartbeat()
{
    if (m_connectionHeartbeatTask)
        m_connectionHeartbeatTask->cancel();
    m_connectionHeartbeatTask.reset();
    // A probe already under way no longer matches and ends without effect.
    m_connectionSessionId = QUuid::createUuid();
}

std::optional<int> ConnectionController::connectionHeartbeatIntervalSeconds() const
{
    if (!m_connectionHeartbeatTask)
        return std::nullopt;
    return m_connectionHeartbeatTask->intervalSeconds();
}

bool ConnectionController::isCurrentHeartbeat(const QUuid &sessionId) const
{
    return sessionId == m_connectionSessionId && m_model.connectionState().is(ConnectionState::connected);
}

QCoro::Task<void> ConnectionController::runConnectionHeartbeat(QUuid sessionId, Endpoint endpoint, Device device)
{
    if (!isCurrentHeartbeat(sessionId))
        co_return;
    QPointer<ConnectionController> self(this);
    // Probe what the running tunnel has: the AI entry only when it was started in AI-enhanced mode. A switch
    // since then applies at the next connect.
    const bool aiEntry = tunnel().activeAIProxyPort().has_value();
    TunnelHealthCheck check;
    if (m_dependencies.healthProbe)
        check = co_await m_dependencies.healthProbe(m_model.localProxyPort(), aiEntry);
    else
        check = co_await tunnel().connectionHealthCheck(m_model.localProxyPort(), aiEntry);
    // The heartbeat may have been stopped or restarted, or the connection ended, while the probe ran: then the
    // probe's verdict is about a connection that is gone.
    if (!self || !isCurrentHeartbeat(sessionId))
        co_return;

    if (check.passed) {
        m_consecutiveHealthFailures = 0;
        recordConnectionState(QStringLiteral("background_probe"), endpoint, QStringLiteral("OK"), check.summary);
        co_await reportConnection(QStringLiteral("connected"), endpoint, device, std::nullopt);
        co_return;
    }

    const QString summary = check.summary;
    ++m_consecutiveHealthFailures;
    recordConnectionState(QStringLiteral("background_probe"), endpoint,
                          connectionReasonCode(QStringLiteral("failed"), summary), summary);
    m_model.appendLog(QStringLiteral("连接保活异常（") + QString::number(m_consecutiveHealthFailures) +
                      QStringLiteral("/") + QString::number(healthFailuresBeforeRecovery) + QStringLiteral("）：") +
                      summary);
    co_await reportConnection(QStringLiteral("failed"), endpoint, device, summary);
    if (!self || !isCurrentHeartbeat(sessionId))
        co_return; // disconnected meanwhile: nothing left to stop or recover

    if (isSystemProxyFailure(summary)) {
        // Another endpoint cannot help when the system ignores the local proxy: stop instead of switching.
        m_model.setConnectionState(ConnectionState::makeFailed(summary));
        m_model.setConnectedAt(std::nullopt);
        m_model.setAiProxyReady(false);
        m_model.setCurrentConfigPath(QStringLiteral("系统代理未生效，Tovren 已停止当前连接状态。"));
        m_model.alert(
            QStringLiteral("系统代理未生效，已尝试重新设置但仍为空。请允许 Tovren 修改系统代理后重新连接。"));
        co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);
        if (self)
            stopConnectionHeartbeat();
        co_return;
    }

    if (m_consecutiveHealthFailures >= healthFailuresBeforeRecovery) {
        // A task of its own, so that this heartbeat's loop can end when the recovery stops it.
        [](QPointer<ConnectionController> controller, Endpoint failing, Device onDevice,
           QString reason) -> QCoro::Task<void> {
            if (!controller)
                co_return;
            try {
                co_await controller->recoverConnectionAfterHealthFailure(failing, onDevice, reason);
            } catch (...) {
                // every failure of the recovery is handled inside it; nothing may escape a detached task
            }
        }(self, endpoint, device, summary);
    }
}

QCoro::Task<void> ConnectionController::recoverConnectionAfterHealthFailure(Endpoint endpoint, Device device,
                                                                            QString reason)
{
    if (!m_model.token() || m_autoRecoveryInProgress || m_quitting)
        co_return;
    if (m_autoRecoverySwitchCount >= maxAutoRecoverySwitches) {
        // No switch is left and the probes still fail: the system proxy would keep pointing at a dead core.
        // End the connection as a failed connect ends, so that the user's traffic goes direct again.
        const QString limit = QStringLiteral("连接保活异常，但本次连接已达到自动切线次数上限，请手动刷新或切换节点。");
        m_model.appendLog(limit);
        if (!m_model.connectionState().is(ConnectionState::connected))
            co_return;
        stopConnectionHeartbeat();
        m_connectedEndpoint.reset();
        m_model.setAiProxyReady(false);
        m_model.setConnectionState(ConnectionState::makeFailed(limit));
        m_model.present(TovrenRuntimeError::connectionFailed(limit), QStringLiteral("连接失败"));
        QPointer<ConnectionController> self(this);
        co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);
        if (self)
            co_await reportConnection(QStringLiteral("failed"), endpoint, device, limit);
        co_return;
    }
    const QString token = *m_model.token();
    QPointer<ConnectionController> self(this);

    ++m_autoRecoverySwitchCount;
    m_autoRecoveryInProgress = true;
    stopConnectionHeartbeat();
    // A disconnect, sign-out, shutdown or new connect changes the state or stops the heartbeat (a new session): from
    // then on the recovery must not bring a connection back.
    const QUuid recoverySession = m_connectionSessionId;
    bool connectedHere = false;
    const auto takenOver = [&] {
        return !self || m_connectionSessionId != recoverySession ||
               (!connectedHere && !m_model.connectionState().is(ConnectionState::repairing));
    };
    const auto abandon = [&] {
        if (self)
            m_autoRecoveryInProgress = false;
    };

    m_ranking.recordEndpointFailure(endpoint, reason);
    recordConnectionState(QStringLiteral("fallback"), endpoint, QStringLiteral("BACKGROUND_PROBE_FAILED"), reason);
    m_model.setConnectionState(ConnectionState::repairing);
    m_model.setAiProxyReady(false);
    m_model.appendLog(QStringLiteral("正在自动修复连接，并切换到更稳定的节点。"));
    co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);
    if (takenOver())
        co_return abandon();

    const QList<Endpoint> candidates = m_ranking.connectionCandidates(endpoint, QSet<QString>{endpoint.id})
                                           .mid(0, EndpointQuality::maxConnectionCandidates);
    QList<Endpoint> tried;
    std::optional<QString> lastError;
    for (const Endpoint &candidate : candidates) {
        tried.append(candidate);
        m_model.appendLog(QStringLiteral("自动恢复：正在尝试 ") + candidate.region + QStringLiteral(" ") +
                          candidate.name + QStringLiteral("。"));
        recordConnectionState(QStringLiteral("fallback"), candidate, QStringLiteral("OK"),
                              QStringLiteral("自动恢复尝试备用节点。"));

        QString failure;
        bool tryNext = true;
        bool connected = false;
        TunnelActivation activation;
        try {
            const ProtocolConfiguration configuration = co_await generateProtocolConfig(candidate, device, token);
            if (takenOver())
                co_return abandon();
            activation = co_await tunnel().connect(configuration, candidate, m_model.outboundMode(),
                                                   m_model.aiEnhancedModeEnabled(), false);
            if (takenOver()) {
                co_await tunnel().cleanupRuntimeArtifacts(!m_quitting); // not wanted any more
                co_return abandon();
            }
            m_model.setSelectedEndpointId(candidate.id);
            m_model.setCurrentConfigPath(activation.mode == TunnelActivation::Mode::exported
                                             ? QStringLiteral("配置文件已安全保存到本机专用目录。")
                                             : QStringLiteral("协议配置已安全写入本机，临时文件会在连接成功后清理。"));
            if (activation.mode != TunnelActivation::Mode::singBox)
                throw TovrenRuntimeError::connectionFailed(QStringLiteral("自动恢复需要可运行的 sing-box 代理内核。"));

            connectedHere = true;
            m_model.setConnectedAt(QDateTime::currentDateTime());
            m_connectedEndpoint = candidate;
            m_model.setConnectionState(ConnectionState::connected);
            if (activation.proxyPort)
                m_model.setLocalProxyPort(*activation.proxyPort);
            m_model.setLocalAIProxyPort(tunnel().activeAIProxyPort().value_or(tunnel().aiProxyPort()));
            m_model.setAiProxyReady(m_model.aiEnhancedModeEnabled());
            m_consecutiveHealthFailures = 0;
            m_ranking.recordEndpointSuccess(candidate);
            cacheProtocolConfiguration(configuration, candidate, device);
            recordConnectionState(QStringLiteral("connected"), candidate, QStringLiteral("OK"),
                                  QStringLiteral("自动恢复连接成功。"));
            connected = true;
        } catch (const std::exception &error) {
            failure = describeError(error);
            tryNext = shouldTryNextEndpoint(error);
        }
        if (!self)
            co_return;

        if (connected) {
            co_await reportConnection(QStringLiteral("connected"), candidate, device, std::nullopt);
            if (takenOver())
                co_return abandon();
            for (const QString &note : std::as_const(activation.recoveryNotes))
                m_model.appendLog(note);
            m_model.appendLog(QStringLiteral("已自动切换到 ") + candidate.region + QStringLiteral(" ") +
                              candidate.name + QStringLiteral("。"));
            startConnectionHeartbeat(candidate, device, std::nullopt);
            try {
                co_await m_account.syncDevices(token);
            } catch (...) {
                // the connection is up; a stale device list only waits for the next refresh
            }
            if (self)
                m_autoRecoveryInProgress = false;
            co_return;
        }

        lastError = failure;
        m_ranking.recordEndpointFailure(candidate, failure);
        recordConnectionState(QStringLiteral("fallback"), candidate,
                              connectionReasonCode(QStringLiteral("failed"), failure), failure);
        m_model.appendLog(QStringLiteral("自动恢复失败：") + candidate.region + QStringLiteral(" ") + failure);
        co_await reportConnection(QStringLiteral("failed"), candidate, device, failure);
        if (takenOver())
            co_return abandon();
        co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);
        if (takenOver())
            co_return abandon();
        if (!tryNext) {
            m_model.appendLog(QStringLiteral("检测到本机连接环境问题，已停止自动恢复。"));
            break;
        }
    }

    QStringList triedNames;
    for (const Endpoint &candidate : std::as_const(tried))
        triedNames << candidate.region + QStringLiteral(" ") + displayName(candidate.preferredProtocol);
    const QString message = QStringLiteral("已尝试 ") + triedNames.join(QStringLiteral("、")) + QStringLiteral("，") +
                            lastError.value_or(QStringLiteral("请稍后重试。"));
    m_model.setConnectionState(ConnectionState::makeFailed(QStringLiteral("自动恢复失败：") + message));
    co_await reportClientCrash(QStringLiteral("macos-auto-recovery"), message, recentLogLines(m_model.logs()));
    if (!self)
        co_return;
    m_model.present(TovrenRuntimeError::connectionFailed(message), QStringLiteral("自动恢复失败"));
    m_autoRecoveryInProgress = false;
}
