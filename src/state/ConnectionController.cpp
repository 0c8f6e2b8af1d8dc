// The one-click connect and its counterpart: the candidate walk, failover and disconnect.
#include "ConnectionController.h"
#include "AccountService.h"
#include "EndpointRanking.h"
#include "HeartbeatTask.h"
#include "Workspace.h"
#include "api/TovrenRuntimeError.h"

#include <QScopeGuard>

namespace {

QString describeCurrent(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return describeError(e);
    } catch (...) {
        return QString();
    }
}

// Shows a caught failure like any other error; one that is no std::exception gets the fallback text alone.
void presentFailure(StateModel &model, std::exception_ptr error, const QString &fallback)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        model.present(e, fallback);
    } catch (...) {
        model.present(TovrenError(QString()), fallback);
    }
}

QString triedText(const QList<Endpoint> &tried)
{
    QStringList names;
    for (const Endpoint &endpoint : tried)
        names << endpoint.region + QStringLiteral(" ") + displayName(endpoint.preferredProtocol);
    return names.join(QStringLiteral("、"));
}

// The connection is up, or its configuration saved: a device list that cannot be refreshed now waits for the next
// refresh instead of failing a candidate that worked.
QCoro::Task<void> refreshDevicesAfterConnect(AccountService &account, StateModel &model, QString token)
{
    try {
        co_await account.syncDevices(token);
    } catch (const std::exception &error) {
        model.appendLog(QStringLiteral("设备列表同步失败：") + describeError(error));
    }
}

} // namespace

ConnectionController::ConnectionController(AppStateDependencies &dependencies, AccountService &account,
                                           EndpointRanking &ranking)
    : m_dependencies(dependencies), m_model(*dependencies.model), m_account(account), m_ranking(ranking)
{
}

ConnectionController::~ConnectionController() = default;

QCoro::Task<void> ConnectionController::toggleConnection()
{
    if (m_model.connectionState().kind() == ConnectionState::connected) {
        co_await disconnect();
        co_return;
    }
    if (m_model.requiresVersionAction()) {
        m_model.appendLog(m_model.versionPolicyText());
        m_model.alert(m_model.versionPolicyText());
        if (m_model.versionDownloadURL())
            Workspace::openURL(*m_model.versionDownloadURL());
        co_return;
    }
    co_await connect();
}

QCoro::Task<void> ConnectionController::connect()
{
    if (!m_model.token()) {
        m_model.setShowAuthSheet(true);
        co_return;
    }
    // A second press (the menu, the window, the self-test) would tear down this connect's core and proxy.
    if (m_connectionOperationRunning)
        co_return;
    m_connectionOperationRunning = true;
    const auto release = qScopeGuard([this] { m_connectionOperationRunning = false; });
    const StateModel::BusyMark busy(m_model);
    m_model.setAiProxyReady(false);

    std::exception_ptr failure;
    try {
        co_await connectWithFullPreparation(*m_model.token());
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure)
        co_return;

    const QString description = describeCurrent(failure);
    if (m_model.token()) {
        try {
            co_await m_account.syncDevices(*m_model.token());
        } catch (...) {
            // the connect failed already; a stale device list is the lesser problem
        }
    }
    m_model.setConnectionState(ConnectionState::makeFailed(description));
    QStringList lines;
    for (const LogEntry &entry : m_model.logs().mid(0, 12))
        lines << entry.time + QStringLiteral(" ") + entry.message;
    co_await reportClientCrash(QStringLiteral("macos-connection"), description, lines.join(u'\n'));
    presentFailure(m_model, failure, QStringLiteral("连接失败"));
}

QCoro::Task<void> ConnectionController::connectWithFullPreparation(QString token)
{
    const Endpoint selected = m_ranking.selectedEndpoint();
    beginConnectionAttempt(selected);

    m_model.appendLog(QStringLiteral("正在检查本机代理环境。"));
    co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);

    recordConnectionState(QStringLiteral("device_bind"), selected, QStringLiteral("OK"),
                          QStringLiteral("同步设备并准备绑定。"));
    co_await m_account.syncDevices(token);
    m_model.appendLog(m_model.currentDevice() ? QStringLiteral("已复用当前设备绑定。")
                                              : QStringLiteral("正在绑定当前设备。"));
    const Device device = co_await m_account.bindCurrentDeviceIfNeeded(token);

    const QList<Endpoint> candidates = m_ranking.connectionCandidates(selected, {});
    if (m_model.aiEnhancedModeEnabled() && !candidates.isEmpty() && candidates.first().id != selected.id) {
        m_model.appendLog(QStringLiteral("AI 增强模式已根据节点质量自动选择：") + candidates.first().region +
                          QStringLiteral(" ") + candidates.first().name + QStringLiteral("。"));
    }
    if (candidates.isEmpty())
        throw TovrenRuntimeError::connectionFailed(QStringLiteral("已尝试 ，仍未连通。请稍后重试或提交日志反馈。"));

    QList<Endpoint> tried;
    QString lastError;
    for (const Endpoint &candidate : candidates) {
        tried.append(candidate);
        const bool stale = co_await tunnel().hasStaleInterface(candidate.id);
        m_model.setConnectionState(stale ? ConnectionState::repairing : ConnectionState::preparing);
        if (stale)
            m_model.appendLog(QStringLiteral("检测到旧连接残留，正在自动修复。"));

        std::exception_ptr failure;
        try {
            co_await connectCandidate(candidate, device, token);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure)
            co_return;

        lastError = describeCurrent(failure);
        m_ranking.recordEndpointFailure(candidate, lastError);
        recordConnectionState(connectionStateStage(QStringLiteral("failed"), lastError), candidate,
                              connectionReasonCode(QStringLiteral("failed"), lastError), lastError);
        m_model.appendLog(candidate.region + QStringLiteral(" 连接失败：") + lastError);
        co_await reportConnection(QStringLiteral("failed"), candidate, device, lastError);
        co_await tunnel().cleanupRuntimeArtifacts(!m_quitting);
        if (m_quitting)
            break; // the next candidate's start could ask for a password
        if (!shouldTryNextEndpoint(lastError)) {
            m_model.appendLog(QStringLiteral("检测到本机连接环境问题，已停止自动重试。"));
            break;
        }
        if (candidate.id != candidates.last().id)
            m_model.appendLog(QStringLiteral("正在自动切换到下一个可用节点。"));
    }
    throw TovrenRuntimeError::connectionFailed(QStringLiteral("已尝试 ") + triedText(tried) +
                                               QStringLiteral("，仍未连通。") + lastError);
}

QCoro::Task<void> ConnectionController::connectCandidate(Endpoint candidate, Device device, QString token)
{
    m_model.appendLog(QStringLiteral("正在生成 ") + candidate.region + QStringLiteral(" 多协议配置。"));
    recordConnectionState(QStringLiteral("config_prepare"), candidate, QStringLiteral("OK"),
                          QStringLiteral("获取 ProtocolConfig V2。"));
    const ProtocolConfiguration configuration = co_await generateProtocolConfig(candidate, device, token);

    m_model.appendLog(
        QStringLiteral("出站模式：") +
        (m_model.outboundMode() == OutboundMode::enhanced ? QStringLiteral("增强模式") : QStringLiteral("智能模式")) +
        QStringLiteral("。"));
    recordConnectionState(QStringLiteral("kernel_start"), candidate, QStringLiteral("OK"),
                          QStringLiteral("启动协议内核。"));
    const TunnelActivation activation = co_await tunnel().connect(configuration, candidate, m_model.outboundMode(),
                                                                  m_model.aiEnhancedModeEnabled(), false);

    m_model.setSelectedEndpointId(candidate.id);
    const bool exported = activation.mode == TunnelActivation::Mode::exported;
    m_model.setCurrentConfigPath(exported ? QStringLiteral("配置文件已安全保存到本机专用目录。")
                                          : QStringLiteral("协议配置已安全写入本机，临时文件会在连接成功后清理。"));
    switch (activation.mode) {
    case TunnelActivation::Mode::exported:
        m_model.setConnectedAt(std::nullopt);
        m_model.setConnectionState(ConnectionState::configReady);
        m_model.setComponentInstallState(ComponentInstallState::idle);
        m_model.appendLog(QStringLiteral("缺少连接组件，已保存 WireGuard 配置。"));
        m_model.setAlertAction(AppAlertAction::installWireGuardTools);
        m_model.setAlertMessage(QStringLiteral("当前 Mac 缺少 Tovren 连接组件，所以还没有真正连接。\n\n"
                                               "点击“一键安装组件”后，Tovren 会在应用内安装所需组件；"
                                               "如果缺少 Homebrew，会自动切换到终端引导。"));
        break;
    case TunnelActivation::Mode::wgQuick:
    case TunnelActivation::Mode::singBox: {
        const QString prefix = activation.mode == TunnelActivation::Mode::wgQuick
                                   ? QStringLiteral("WireGuard 兼容模式已连接：")
                                   : QStringLiteral("sing-box 内核已连接：");
        m_model.setConnectedAt(QDateTime::currentDateTime());
        m_connectedEndpoint = candidate;
        m_model.setConnectionState(ConnectionState::connected);
        m_model.appendLog(prefix + candidate.region + QStringLiteral("。"));
        break;
    }
    }

    if (m_model.connectionState().kind() != ConnectionState::connected) {
        for (const QString &note : activation.recoveryNotes)
            m_model.appendLog(note);
        co_await refreshDevicesAfterConnect(m_account, m_model, token);
        co_return;
    }

    recordConnectionState(QStringLiteral("quick_verify"), candidate, QStringLiteral("OK"),
                          QStringLiteral("快速验证由本地运行时完成。"));
    if (activation.proxyPort)
        m_model.setLocalProxyPort(*activation.proxyPort);
    m_model.setLocalAIProxyPort(tunnel().activeAIProxyPort().value_or(tunnel().aiProxyPort()));
    m_model.setAiProxyReady(m_model.aiEnhancedModeEnabled() && activation.mode == TunnelActivation::Mode::singBox);
    m_consecutiveHealthFailures = 0;
    m_autoRecoverySwitchCount = 0;
    m_ranking.recordEndpointSuccess(candidate);
    cacheProtocolConfiguration(configuration, candidate, device);
    recordConnectionState(QStringLiteral("connected"), candidate, QStringLiteral("OK"), QStringLiteral("连接已建立。"));
    co_await reportConnection(QStringLiteral("connected"), candidate, device, std::nullopt);
    startConnectionHeartbeat(candidate, device, std::nullopt);
    for (const QString &note : activation.recoveryNotes)
        m_model.appendLog(note);
    co_await refreshDevicesAfterConnect(m_account, m_model, token);
}

QCoro::Task<void> ConnectionController::disconnect()
{
    if (m_connectionOperationRunning)
        co_return;
    m_connectionOperationRunning = true;
    const auto release = qScopeGuard([this] { m_connectionOperationRunning = false; });
    const StateModel::BusyMark busy(m_model);
    co_await runDisconnect();
}

QCoro::Task<void> ConnectionController::runDisconnect()
{
    // Picking another row while connected moves only the selection: the report is about the connection that ends.
    const Endpoint endpoint = m_model.connectionState().is(ConnectionState::connected) && m_connectedEndpoint
                                  ? *m_connectedEndpoint
                                  : m_ranking.selectedEndpoint();
    m_connectedEndpoint.reset();
    const std::optional<Device> device = m_model.currentDevice();
    m_model.setConnectionState(ConnectionState::disconnecting);
    if (m_currentAttemptId.isEmpty())
        beginConnectionAttempt(endpoint);
    recordConnectionState(QStringLiteral("rollback"), endpoint, QStringLiteral("OK"),
                          QStringLiteral("用户请求断开连接。"));

    std::exception_ptr failure;
    try {
        co_await tunnel().disconnect();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        m_model.setConnectionState(ConnectionState::makeFailed(describeCurrent(failure)));
        presentFailure(m_model, failure, QStringLiteral("断开连接失败"));
        co_return;
    }

    m_model.setConnectedAt(std::nullopt);
    m_model.setAiProxyReady(false);
    m_model.setConnectionState(ConnectionState::disconnected);
    stopConnectionHeartbeat();
    recordConnectionState(QStringLiteral("rollback"), endpoint, QStringLiteral("OK"), QStringLiteral("连接已断开。"));
    if (device)
        co_await reportConnection(QStringLiteral("disconnected"), endpoint, *device, std::nullopt);
    m_model.appendLog(QStringLiteral("连接已断开。"));
}

QCoro::Task<void> ConnectionController::cleanupBeforeExit()
{
    m_quitting = true; // a connect or recovery still under way must not prompt either
    stopConnectionHeartbeat();
    try {
        co_await tunnel().cleanupRuntimeArtifacts(false); // never with a password prompt while quitting
    } catch (...) {
        // quitting goes on whatever the clean-up met
    }
    m_model.setConnectedAt(std::nullopt);
    m_connectedEndpoint.reset();
    m_model.setAiProxyReady(false);
    m_model.setConnectionState(ConnectionState::disconnected);
}
