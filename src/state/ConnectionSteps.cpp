// The steps of a connect: the attempt's state log, the protocol configuration with its provisioning wait, the
// quick-connect cache and the reports to the control plane.
#include "AccountService.h"
#include "ConnectionController.h"
#include "ControlPlaneMapping.h"
#include "EndpointRanking.h"
#include "api/TovrenRuntimeError.h"

#include <QCoro/QCoroTimer>
#include <QDeadlineTimer>

#include <algorithm>

namespace {

const QString clientPlatform = QStringLiteral("macos");
const QString notReadyStop = QStringLiteral("协议配置未就绪，已停止本次连接。");

QString idWithPrefix(const QString &prefix)
{
    return prefix + QUuid::createUuid().toString(QUuid::Id128).toUpper().left(18);
}

bool containsAny(const QString &text, std::initializer_list<const char16_t *> needles)
{
    return std::any_of(needles.begin(), needles.end(),
                       [&](const char16_t *needle) { return text.contains(QStringView(needle)); });
}

} // namespace

QString ConnectionController::makeAttemptId()
{
    return idWithPrefix(QStringLiteral("att_"));
}

QString ConnectionController::buildId()
{
    return QStringLiteral("macos-") + QStringLiteral(TOVREN_APP_VERSION);
}

qint64 ConnectionController::millisecondsSinceAttemptStart() const
{
    return std::max<qint64>(0, m_currentAttemptStartedAt.msecsTo(QDateTime::currentDateTimeUtc()));
}

void ConnectionController::beginConnectionAttempt(const std::optional<Endpoint> &endpoint)
{
    m_currentAttemptId = makeAttemptId();
    m_currentRequestId = TovrenAPIClient::makeRequestId();
    m_currentAttemptStartedAt = QDateTime::currentDateTimeUtc();
    m_currentStateLog.clear();
    recordConnectionState(QStringLiteral("auth_check"), endpoint, QStringLiteral("OK"),
                          QStringLiteral("连接请求已创建。"));
}

void ConnectionController::recordConnectionState(const QString &stage, const std::optional<Endpoint> &endpoint,
                                                 const QString &errorCode, const QString &message)
{
    StateRecord record;
    const auto both = [&record](const char *camel, const char *snake, const QString &value) {
        record.insert(QLatin1String(camel), value);
        record.insert(QLatin1String(snake), value);
    };
    record.insert(QStringLiteral("stage"), stage);
    record.insert(QStringLiteral("state"), stage);
    both("attemptId", "attempt_id", m_currentAttemptId);
    both("requestId", "request_id", m_currentRequestId);
    both("appVersion", "app_version", m_appVersion);
    both("buildId", "build_id", QStringLiteral("macos-") + m_appVersion);
    record.insert(QStringLiteral("platform"), clientPlatform);
    both("elapsedMs", "elapsed_ms", QString::number(millisecondsSinceAttemptStart()));
    both("errorCode", "error_code", errorCode.isEmpty() ? QStringLiteral("OK") : errorCode);
    record.insert(QStringLiteral("message"), message);
    if (endpoint) {
        both("endpointId", "endpoint_id", endpoint->id);
        record.insert(QStringLiteral("protocol"), rawValue(endpoint->preferredProtocol));
    }
    m_currentStateLog.append(record);
    if (m_currentStateLog.size() > maxStateLogRecords)
        m_currentStateLog.remove(0, m_currentStateLog.size() - maxStateLogRecords);
}

qint64 ConnectionController::provisioningDeadlineMs(qint64 maxWaitMs)
{
    return std::clamp<qint64>(maxWaitMs, 1000, maxProvisioningWaitMs);
}

qint64 ConnectionController::provisioningRetryDelayMs(qint64 retryAfterMs, qint64 millisecondsLeft)
{
    const qint64 retry = retryAfterMs > 0 ? retryAfterMs : 1500;
    if (millisecondsLeft < 300)
        return 1500;
    return std::max<qint64>(1500, std::min({retry, qint64(3000), millisecondsLeft}));
}

QCoro::Task<ProtocolConfiguration> ConnectionController::generateProtocolConfig(Endpoint endpoint, Device device,
                                                                                QString token)
{
    // Measured on a monotonic clock: a wall-clock jump must not end or stretch the wait.
    QDeadlineTimer deadline(5000);
    int attempt = 1;
    m_model.appendLog(QStringLiteral("正在获取节点协议配置。"));
    while (true) {
        std::optional<APIProtocolConfigResponse> response;
        std::exception_ptr failure;
        try {
            response =
                co_await m_dependencies.api->protocolConfig(endpoint.id, device.id, rawValue(m_model.outboundMode()),
                                                            token, m_currentAttemptId, m_currentRequestId, buildId());
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            m_model.appendLog(notReadyStop);
            std::rethrow_exception(failure);
        }

        const APIProtocolReadiness readiness = response->readiness();
        if (attempt == 1)
            deadline.setRemainingTime(provisioningDeadlineMs(readiness.maxWaitMs));
        const QString message = readiness.message.value_or(QString());

        if (readiness.status == u"ready") {
            m_model.appendLog(QStringLiteral("ProtocolConfig 解码：") + response->runtimeDebugSummary() +
                              QStringLiteral("。"));
            std::optional<ProtocolConfiguration> configuration;
            try {
                configuration = ProtocolConfiguration::from(*response, endpoint.id);
            } catch (const TovrenRuntimeError &error) {
                if (error.kind() != TovrenRuntimeError::Kind::missingProtocolConfig)
                    throw;
            }
            if (!configuration) {
                m_model.appendLog(notReadyStop);
                throw TovrenRuntimeError::connectionFailed(QStringLiteral("服务端没有返回可用协议配置。"));
            }
            m_model.appendLog(QStringLiteral("已生成 ") + displayName(configuration->protocolKind) +
                              QStringLiteral(" 协议配置。"));
            co_return *configuration;
        }
        if (readiness.status == u"failed") {
            const QString text =
                QStringLiteral("节点不可用：") + (message.isEmpty() ? QStringLiteral("协议配置同步失败。") : message);
            m_model.appendLog(notReadyStop);
            throw TovrenRuntimeError::connectionFailed(text);
        }

        if (deadline.hasExpired()) {
            m_model.appendLog(notReadyStop);
            throw TovrenRuntimeError::connectionFailed(QStringLiteral("节点凭证同步超时，请稍后重试或切换节点。"));
        }
        if (attempt == 1 || attempt % 5 == 0) {
            recordConnectionState(QStringLiteral("node_ready_wait"), endpoint, QStringLiteral("NODE_NOT_READY"),
                                  message.isEmpty() ? QStringLiteral("节点凭证同步中。") : message);
            m_model.appendLog(QStringLiteral("节点凭证同步中，正在等待服务端生效（") + QString::number(attempt) +
                              QStringLiteral("）。"));
        }
        const qint64 delay = provisioningRetryDelayMs(readiness.retryAfterMs, deadline.remainingTime());
        co_await QCoro::sleepFor(std::chrono::milliseconds(delay));
        ++attempt;
    }
}

void ConnectionController::cacheProtocolConfiguration(const ProtocolConfiguration &configuration,
                                                      const Endpoint &endpoint, const Device &device)
{
    QuickConnectCacheRecord record;
    record.userId = m_account.currentUserId();
    record.deviceId = device.id;
    record.endpointId = endpoint.id;
    record.outboundMode = m_model.outboundMode();
    record.protocolConfiguration = configuration;
    record.cachedAt = record.successfulAt = EndpointRanking::secondsSince1970();
    m_ranking.saveQuickConnectCache(record);
}

QCoro::Task<void> ConnectionController::reportConnection(QString status, Endpoint endpoint, Device device,
                                                         std::optional<QString> errorMessage)
{
    if (!m_model.token())
        co_return;
    APIConnectionReportRequest report;
    report.deviceId = device.id;
    report.endpointId = endpoint.id;
    report.protocolName = rawValue(endpoint.preferredProtocol);
    report.status = status;
    report.latencyMs = endpoint.latencyMs;
    report.appVersion = m_appVersion;
    report.clientPlatform = clientPlatform;
    report.errorMessage = errorMessage;
    report.stateStage = connectionStateStage(status, errorMessage);
    report.reasonCode = connectionReasonCode(status, errorMessage);
    report.quickVerifyMs = 2000;
    report.clientRegion = QStringLiteral("auto");
    report.networkType = QStringLiteral("wired");
    report.isOverseas = false;
    report.attemptId = m_currentAttemptId;
    report.requestId = m_currentRequestId;
    report.buildId = buildId();
    report.connectDurationMs = millisecondsSinceAttemptStart();
    report.stateLog = m_currentStateLog;

    QString failure;
    try {
        co_await m_dependencies.api->connectionReport(report, *m_model.token());
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    if (!failure.isNull())
        m_model.appendLog(QStringLiteral("连接状态上报失败：") + failure);
}

QCoro::Task<void> ConnectionController::reportClientCrash(QString crashType, QString reason, QString diagnostics)
{
    if (!m_model.token())
        co_return;
    APIClientCrashReportRequest report;
    if (m_model.currentDevice())
        report.deviceId = m_model.currentDevice()->id;
    report.clientPlatform = clientPlatform;
    report.appVersion = m_appVersion;
    report.crashType = crashType;
    report.reason = reason;
    report.stackTrace = diagnostics;
    report.diagnostics = diagnostics;
    report.dumpSummary = diagnostics;
    report.signalName = crashType;
    report.threadName = QStringLiteral("main");
    report.buildId = buildId();

    QString failure;
    try {
        co_await m_dependencies.api->crashReport(report, *m_model.token());
    } catch (const std::exception &error) {
        failure = describeError(error);
    }
    if (!failure.isNull())
        m_model.appendLog(QStringLiteral("客户端诊断上报失败：") + failure);
}

QString ConnectionController::connectionStateStage(const QString &status, const std::optional<QString> &errorMessage)
{
    if (status == u"connected")
        return QStringLiteral("connected");
    if (status == u"disconnected")
        return QStringLiteral("rollback");
    const QString text = errorMessage.value_or(QString()).toLower();
    if (containsAny(text, {u"节点准备", u"not_ready"}))
        return QStringLiteral("node_ready_wait");
    if (containsAny(text, {u"protocol_config", u"协议配置"}))
        return QStringLiteral("config_prepare");
    if (containsAny(text, {u"sing-box", u"wireguard", u"内核"}))
        return QStringLiteral("kernel_start");
    if (containsAny(text, {u"连通性", u"验证"}))
        return QStringLiteral("quick_verify");
    return QStringLiteral("fallback");
}

QString ConnectionController::connectionReasonCode(const QString &status, const std::optional<QString> &errorMessage)
{
    if (status == u"connected")
        return QStringLiteral("OK");
    const QString text = errorMessage.value_or(QString()).toLower();
    if (containsAny(text, {u"节点准备", u"not_ready"}))
        return QStringLiteral("NODE_NOT_READY");
    if (text.contains(u"节点不可用"))
        return QStringLiteral("NODE_UNAVAILABLE");
    if (containsAny(text, {u"protocol_config", u"协议配置"}))
        return QStringLiteral("CONFIG_FAILED");
    if (containsAny(text, {u"sing-box", u"wireguard", u"内核"}))
        return QStringLiteral("KERNEL_START_FAILED");
    if (containsAny(text, {u"连通性", u"验证"}))
        return QStringLiteral("QUICK_VERIFY_FAILED");
    return QStringLiteral("UNKNOWN_FAILURE");
}

bool ConnectionController::shouldTryNextEndpoint(const QString &errorDescription)
{
    const QString text = errorDescription.toLower();
    return !containsAny(text, {u"address already in use", u"本地代理端口", u"端口", u"管理员授权",
                               u"administrator privileges", u"旧连接残留"});
}

bool ConnectionController::shouldTryNextEndpoint(const std::exception &error)
{
    return shouldTryNextEndpoint(describeError(error));
}

bool ConnectionController::isSystemProxyFailure(const QString &text)
{
    return text.contains(u"系统代理未生效") || text.contains(u"系统代理设置未生效");
}
