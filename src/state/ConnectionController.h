#pragma once

#include "AppStateDependencies.h"
#include "tunnel/WireGuardToolInstaller.h"

#include <QUuid>

class AccountService;
class EndpointRanking;
class HeartbeatTask;

// The connection: the connect pipeline over the candidates, disconnecting, the heartbeat of a live connection and
// its automatic recovery, the attempt's ids and state log, the reports, and the connection components.
class ConnectionController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionController)

public:
    ConnectionController(AppStateDependencies &dependencies, AccountService &account, EndpointRanking &ranking);
    ~ConnectionController() override;

    // `connect` and `disconnect` name the connection's operations; QObject's own stay reachable.
    using QObject::connect;
    using QObject::disconnect;
    QCoro::Task<void> toggleConnection();
    QCoro::Task<void> connect();
    QCoro::Task<void> disconnect();
    // Before the process quits: stops the heartbeat and removes the runtime without ever asking for an
    // administrator password.
    QCoro::Task<void> cleanupBeforeExit();

    // The attempt in progress: its ids and its state log, which travels with every connection report.
    static constexpr int maxStateLogRecords = 60;
    void recordConnectionState(const QString &stage, const std::optional<Endpoint> &endpoint, const QString &errorCode,
                               const QString &message);
    const QList<StateRecord> &currentStateLog() const { return m_currentStateLog; }

    // The endpoint's per-device configuration, polled while the node is still provisioning.
    QCoro::Task<ProtocolConfiguration> generateProtocolConfig(Endpoint endpoint, Device device, QString token);
    // The wait before the next poll: `retryAfterMs` as the server asked (1500 when it gave none), bounded by 1500
    // below and by 3000 and the time left above.
    static qint64 provisioningRetryDelayMs(qint64 retryAfterMs, qint64 millisecondsLeft);
    // The server's maximum wait, bounded: never below 1000 ms, never above maxProvisioningWaitMs.
    static qint64 provisioningDeadlineMs(qint64 maxWaitMs);
    static constexpr qint64 maxProvisioningWaitMs = 60'000;


    // What a connection outcome says, for the state log and the reports.
    static QString connectionStateStage(const QString &status, const std::optional<QString> &errorMessage);
    static QString connectionReasonCode(const QString &status, const std::optional<QString> &errorMessage);
    // False when the failure points at this computer (a busy port, a refused authorization, leftovers): another
    // endpoint would fail the same way.
    static bool shouldTryNextEndpoint(const QString &errorDescription);
    static bool shouldTryNextEndpoint(const std::exception &error);
    static bool isSystemProxyFailure(const QString &text);

    // The heartbeat of a live connection: a probe every 60 seconds (30 in AI-enhanced mode, as the mode stood at
    // the start), and an automatic recovery to other endpoints after two failures in a row, twice per connection.
    static constexpr int heartbeatIntervalSeconds = 60;
    static constexpr int aiHeartbeatIntervalSeconds = 30;
    static constexpr int healthFailuresBeforeRecovery = 2;
    static constexpr int maxAutoRecoverySwitches = 2;
    void startConnectionHeartbeat(const Endpoint &endpoint, const Device &device,
                                  std::optional<double> initialDelaySeconds);
    // Also makes a probe under way harmless: it finds another session id.
    void stopConnectionHeartbeat();
    QCoro::Task<void> runConnectionHeartbeat(QUuid sessionId, Endpoint endpoint, Device device);
    std::optional<int> connectionHeartbeatIntervalSeconds() const; // none while no heartbeat runs
    int consecutiveHealthFailures() const { return m_consecutiveHealthFailures; }
    int autoRecoverySwitchCount() const { return m_autoRecoverySwitchCount; }
    bool autoRecoveryInProgress() const { return m_autoRecoveryInProgress; }

    // Installs Bash and wireguard-tools through Homebrew inside the application; without Homebrew it offers
    // the Terminal installer instead.
    QCoro::Task<> installWireGuardTools();
    // Writes the Terminal installer and opens it.
    QCoro::Task<> installWireGuardToolsInTerminal();
    // Writes "install-wireguard-tools.command" (0755) to the installers folder and returns its path; throws
    // FileSystemError.
    QString makeWireGuardToolsInstallScript();

private:
    TunnelCoordinator &tunnel() { return *m_dependencies.tunnel; }
    // The whole connect: binds this computer, then walks the candidates until one connects. Throws the last
    // failure, naming every candidate tried.
    QCoro::Task<void> connectWithFullPreparation(QString token);
    void beginConnectionAttempt(const std::optional<Endpoint> &endpoint);
    // "att_" and 18 upper-case hexadecimal characters of a fresh UUID.
    static QString makeAttemptId();
    static QString buildId(); // "macos-v9.7.3"
    void cacheProtocolConfiguration(const ProtocolConfiguration &configuration, const Endpoint &endpoint,
                                    const Device &device);
    // Reports to the control plane; they never throw, a failure only leaves a log line.
    QCoro::Task<void> reportConnection(QString status, Endpoint endpoint, Device device,
                                       std::optional<QString> errorMessage);
    QCoro::Task<void> reportClientCrash(QString crashType, QString reason, QString diagnostics);
    QCoro::Task<void> recoverConnectionAfterHealthFailure(Endpoint endpoint, Device device, QString reason);
    // One candidate of the connect: its configuration, the tunnel and what follows a success (or the saved
    // configuration when the components are missing). Throws when the candidate failed.
    QCoro::Task<void> connectCandidate(Endpoint candidate, Device device, QString token);
    QCoro::Task<void> runDisconnect();
    qint64 millisecondsSinceAttemptStart() const;
    // The probe of `sessionId` still speaks for the live connection.
    bool isCurrentHeartbeat(const QUuid &sessionId) const;

    AppStateDependencies &m_dependencies;
    StateModel &m_model;
    AccountService &m_account;
    EndpointRanking &m_ranking;
    WireGuardToolInstaller m_toolInstaller;
    QString m_appVersion = QStringLiteral(TOVREN_APP_VERSION);
    QString m_currentAttemptId;
    QString m_currentRequestId;
    QDateTime m_currentAttemptStartedAt = QDateTime::currentDateTimeUtc();
    QList<StateRecord> m_currentStateLog;
    // The endpoint of the connection that is up; the selection may have moved on since it was made.
    std::optional<Endpoint> m_connectedEndpoint;
    // A connect or disconnect runs: one at a time, a second request is ignored.
    bool m_connectionOperationRunning = false;
    // Quitting has begun: no step may ask for an administrator password any more.
    bool m_quitting = false;
    // Heartbeat counters that a successful connect starts afresh.
    int m_consecutiveHealthFailures = 0;
    int m_autoRecoverySwitchCount = 0;
    bool m_autoRecoveryInProgress = false;
    QUuid m_connectionSessionId = QUuid::createUuid();
    std::shared_ptr<HeartbeatTask> m_connectionHeartbeatTask;
};
