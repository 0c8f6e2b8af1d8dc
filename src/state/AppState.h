#pragma once

#include "EndpointQuality.h"
#include "base/LocalProxyPorts.h"
#include "base/Preferences.h"
#include "QuickConnectCache.h"
#include "base/Types.h"
#include "api/AccountRecords.h"
#include "api/ReportRecords.h"
#include "api/DeviceIdentityStore.h"
#include "api/SessionStore.h"
#include "api/TovrenAPIClient.h"
#include "runtime/NetworkSpeedSampler.h"
#include "tunnel/TunnelCoordinator.h"
#include "tunnel/WireGuardToolInstaller.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <functional>
#include <memory>

class HeartbeatTask;

// A published property: a getter, and a setter that emits changed() only when the value differs.
#define TOVREN_PUBLISHED(Type, name, Setter)                                                                   \
public:                                                                                                        \
    const Type &name() const { return m_##name; }                                                              \
    void Setter(const Type &value) { publish(m_##name, value); }                                               \
                                                                                                               \
private:                                                                                                       \
    Type m_##name

// The one object that holds everything the interface shows and everything the client does. It lives on
// the main thread; its asynchronous operations suspend there. Views read it and call its operations.
class AppState final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppState)

public:
    explicit AppState(QObject *parent = nullptr);
    ~AppState() override;

    static QString applicationVersion(); // "v9.7.3"

    // Published properties, in declaration order.
    TOVREN_PUBLISHED(AppPage, selectedPage, setSelectedPage) = AppPage::home;

public:
    const ConnectionState &connectionState() const { return m_connectionState; }
    // Leaving the connected state also ends the duration the window counts (connectedAt is cleared).
    void setConnectionState(const ConnectionState &value);

private:
    ConnectionState m_connectionState;

    TOVREN_PUBLISHED(bool, nodesExpanded, setNodesExpanded) = false;
    TOVREN_PUBLISHED(bool, logsExpanded, setLogsExpanded) = false;
    TOVREN_PUBLISHED(bool, devicesExpanded, setDevicesExpanded) = false;
    TOVREN_PUBLISHED(bool, feedbackExpanded, setFeedbackExpanded) = false;
    TOVREN_PUBLISHED(std::optional<QDateTime>, connectedAt, setConnectedAt);
    TOVREN_PUBLISHED(std::optional<QString>, selectedEndpointId, setSelectedEndpointId);
    TOVREN_PUBLISHED(bool, showAuthSheet, setShowAuthSheet) = false;
    TOVREN_PUBLISHED(bool, isBusy, setIsBusy) = false;
    TOVREN_PUBLISHED(std::optional<QString>, alertMessage, setAlertMessage);
    TOVREN_PUBLISHED(std::optional<AppAlertAction>, alertAction, setAlertAction);
    TOVREN_PUBLISHED(std::optional<APIUser>, currentUser, setCurrentUser);
    TOVREN_PUBLISHED(QList<Endpoint>, endpoints, setEndpoints) = placeholderEndpoints();
    TOVREN_PUBLISHED(QList<Plan>, plans, setPlans) = placeholderPlans();
    TOVREN_PUBLISHED(QList<Device>, devices, setDevices);
    TOVREN_PUBLISHED(QList<Ticket>, tickets, setTickets);
    TOVREN_PUBLISHED(QList<Order>, orders, setOrders);
    TOVREN_PUBLISHED(QString, latestVersion, setLatestVersion) = applicationVersion();
    TOVREN_PUBLISHED(QString, versionPolicyText, setVersionPolicyText) = QStringLiteral("已是最新");
    TOVREN_PUBLISHED(std::optional<QUrl>, versionDownloadURL, setVersionDownloadURL);
    TOVREN_PUBLISHED(bool, requiresVersionAction, setRequiresVersionAction) = false;
    TOVREN_PUBLISHED(std::optional<Device>, currentDevice, setCurrentDevice);
    TOVREN_PUBLISHED(std::optional<QString>, currentConfigPath, setCurrentConfigPath);
    TOVREN_PUBLISHED(bool, launchAtLogin, setLaunchAtLoginValue) = false;
    TOVREN_PUBLISHED(bool, menuBarEnabled, setMenuBarEnabledValue) = true;
    TOVREN_PUBLISHED(bool, showMenuBarSpeed, setShowMenuBarSpeedValue) = false;
    TOVREN_PUBLISHED(bool, aiEnhancedModeEnabled, setAiEnhancedModeEnabledValue) = false;
    TOVREN_PUBLISHED(OutboundMode, outboundMode, setOutboundModeValue) = OutboundMode::smart;
    TOVREN_PUBLISHED(double, downloadSpeedBps, setDownloadSpeedBps) = 0;
    TOVREN_PUBLISHED(double, uploadSpeedBps, setUploadSpeedBps) = 0;
    TOVREN_PUBLISHED(ComponentInstallState, componentInstallState, setComponentInstallState);
    TOVREN_PUBLISHED(int, maxDevices, setMaxDevices) = 0;
    TOVREN_PUBLISHED(int, activeDeviceCount, setActiveDeviceCount) = 0;
    TOVREN_PUBLISHED(int, localProxyPort, setLocalProxyPort) = LocalProxyPorts::preferredSystemProxyPort;
    TOVREN_PUBLISHED(int, localAIProxyPort, setLocalAIProxyPort) = LocalProxyPorts::aiProxyPort;
    TOVREN_PUBLISHED(bool, aiProxyReady, setAiProxyReady) = false;
    TOVREN_PUBLISHED(QList<LogEntry>, logs, setLogs);

public:
    // The settings page's switches: publish and persist.
    void setMenuBarEnabled(bool enabled);
    void setShowMenuBarSpeed(bool enabled);
    void setLaunchAtLogin(bool enabled);

    // Activity log: newest first, the newest 30 kept.
    void appendLog(const QString &message);
    static constexpr int maxLogEntries = 30;

    QList<LogEntry> visibleLogs() const;
    QList<Endpoint> visibleEndpoints() const;
    void selectEndpoint(const Endpoint &endpoint);

    // Derived texts.
    QString statusTitle() const;
    QString connectionNote() const;
    QString menuBarTitle() const;
    static QString formattedSpeed(double bytesPerSecond);
    static QString trafficText(std::optional<qint64> megabytes);

    // Speed monitor.
    void updateNetworkSpeed();
    bool speedMonitorRunning() const { return m_speedTimer != nullptr; }
    void stopSpeedMonitor();
    NetworkSpeedSampler &speedSampler() { return m_speedSampler; }
    void setSpeedSampler(NetworkSpeedSampler sampler) { m_speedSampler = std::move(sampler); }

    // Endpoint choice, quality statistics and the quick-connect cache.
    static constexpr int maxConnectionCandidates = EndpointQuality::maxConnectionCandidates;
    // The selected endpoint, else the first of the catalogue, else the first placeholder.
    Endpoint selectedEndpoint() const;
    double endpointQualityScore(const Endpoint &endpoint, bool forAI) const;
    QList<Endpoint> sortedConnectionEndpoints(const QList<Endpoint> &endpoints, bool forAI) const;
    // The best endpoint that is not offline, ranked with the current AI-enhanced flag.
    std::optional<Endpoint> recommendedEndpoint(const QList<Endpoint> &endpoints) const;
    QList<Endpoint> connectionCandidates(const Endpoint &start, const QSet<QString> &excluding) const;
    void recordEndpointSuccess(const Endpoint &endpoint);
    void recordEndpointFailure(const Endpoint &endpoint, const QString &reason);
    void loadEndpointQualityStats();
    void saveEndpointQualityStats();
    const EndpointQualityStatsMap &endpointQualityStats() const { return m_endpointQualityStats; }

    std::optional<QString> quickConnectCacheURL(bool createDirectory) const;
    void saveQuickConnectCache(const QuickConnectCacheRecord &record);
    void clearQuickConnectCache();
    const std::optional<QuickConnectCacheRecord> &quickConnectCache() const { return m_quickConnectCache; }

    // The tunnel and the connection components of the WireGuard path.
    TunnelCoordinator &tunnel() { return *m_tunnel; }
    WireGuardToolInstaller &toolInstaller() { return m_toolInstaller; }
    // Installs Bash and wireguard-tools through Homebrew inside the application; without Homebrew it offers
    // the Terminal installer instead.
    QCoro::Task<> installWireGuardTools();
    // Writes the Terminal installer and opens it.
    QCoro::Task<> installWireGuardToolsInTerminal();
    // Writes "install-wireguard-tools.command" (0755) to the installers folder and returns its path; throws
    // FileSystemError.
    QString makeWireGuardToolsInstallScript();

    Preferences &preferences() { return *m_preferences; }

    // Account, catalogue and devices: the control plane, the stored session and this computer's identity.
    TovrenAPIClient &api() { return *m_api; }
    SessionStore &sessionStore() { return m_sessionStore; }
    DeviceIdentityStore &deviceIdentity() { return m_deviceIdentity; }
    const std::optional<QString> &token() const { return m_token; } // the session in use; none when signed out

    // Trimmed, lower-case, and shaped like an address; otherwise TovrenRuntimeError::invalidEmail.
    static QString normalizedEmail(const QString &text);
    QCoro::Task<bool> sendVerificationCode(QString identity);
    QCoro::Task<void> login(QString identity, QString password);
    QCoro::Task<void> registerAccount(QString identity, QString password, QString verificationCode,
                                      std::optional<QString> inviteCode);
    QCoro::Task<void> logout();
    void logoutLocally();

    QCoro::Task<void> refreshPublicData();
    QCoro::Task<void> refreshPrivateData();
    QCoro::Task<void> syncClientBootstrap(QString token);
    QCoro::Task<void> syncDevices(QString token);
    QCoro::Task<void> syncTickets(QString token);
    QCoro::Task<void> syncOrders(QString token);
    void applyVersionPolicy(const APIAppVersion &version);

    QCoro::Task<void> unbindDevice(Device device);
    QCoro::Task<void> submitFeedback(QString title, QString contactEmail, QString body);

    // Plans are bought on the web: the pricing page, or the sign-in page that leads there.
    void purchase(const Plan &plan);
    std::optional<QUrl> publicPlanURL(const Plan &plan) const;
    QUrl publicPricingURL(const QUrl &baseURL, const Plan &plan, const std::optional<QString> &account) const;
    QUrl publicLoginURL(const QUrl &baseURL, const QUrl &next) const;
    void copyInviteLink();
    void openClientHome();
    void showDashboard();

    // Connecting and disconnecting. `connect` and `disconnect` name the client's operations; QObject's own stay
    // reachable.
    using QObject::connect;
    using QObject::disconnect;
    QCoro::Task<void> toggleConnection();
    QCoro::Task<void> connect();
    QCoro::Task<void> disconnect();
    // The whole connect: binds this computer, then walks the candidates until one connects. Throws the last
    // failure, naming every candidate tried.
    QCoro::Task<void> connectWithFullPreparation(QString token);

    // The attempt in progress: its ids and its state log, which travels with every connection report.
    static constexpr int maxStateLogRecords = 60;
    void beginConnectionAttempt(const std::optional<Endpoint> &endpoint);
    void recordConnectionState(const QString &stage, const std::optional<Endpoint> &endpoint, const QString &errorCode,
                               const QString &message);
    const QString &currentAttemptId() const { return m_currentAttemptId; }
    const QString &currentRequestId() const { return m_currentRequestId; }
    const QList<StateRecord> &currentStateLog() const { return m_currentStateLog; }
    // "att_" and 18 upper-case hexadecimal characters of a fresh UUID.
    static QString makeAttemptId();
    static QString buildId(); // "macos-v9.7.3"

    // This computer as a device of the account: the bound record, reused when the account already lists it.
    QCoro::Task<Device> bindCurrentDeviceIfNeeded(QString token);
    std::optional<Device> reusableCurrentDevice() const;

    // The endpoint's per-device configuration, polled while the node is still provisioning.
    QCoro::Task<ProtocolConfiguration> generateProtocolConfig(Endpoint endpoint, Device device, QString token);
    // The wait before the next poll: `retryAfterMs` as the server asked (1500 when it gave none), bounded by 1500
    // below and by 3000 and the time left above.
    static qint64 provisioningRetryDelayMs(qint64 retryAfterMs, qint64 millisecondsLeft);
    // The server's maximum wait, bounded: never below 1000 ms, never above maxProvisioningWaitMs.
    static qint64 provisioningDeadlineMs(qint64 maxWaitMs);
    static constexpr qint64 maxProvisioningWaitMs = 60'000;
    void cacheProtocolConfiguration(const ProtocolConfiguration &configuration, const Endpoint &endpoint,
                                    const Device &device);

    // Reports to the control plane; they never throw, a failure only leaves a log line.
    QCoro::Task<void> reportConnection(QString status, Endpoint endpoint, Device device,
                                       std::optional<QString> errorMessage);
    QCoro::Task<void> reportClientCrash(QString crashType, QString reason, QString diagnostics);

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
    QCoro::Task<void> recoverConnectionAfterHealthFailure(Endpoint endpoint, Device device, QString reason);
    const QUuid &connectionSessionId() const { return m_connectionSessionId; }
    std::optional<int> connectionHeartbeatIntervalSeconds() const; // none while no heartbeat runs
    int consecutiveHealthFailures() const { return m_consecutiveHealthFailures; }
    int autoRecoverySwitchCount() const { return m_autoRecoverySwitchCount; }
    bool autoRecoveryInProgress() const { return m_autoRecoveryInProgress; }
    // For tests: every heartbeat wait is multiplied by `scale`; the probe replaces the tunnel's health check.
    void setTimeScaleForTesting(double scale);
    using HealthProbe =
        std::function<QCoro::Task<TunnelHealthCheck>(int systemProxyPort, bool aiEnhancedModeEnabled)>;
    void setHealthProbeForTesting(HealthProbe probe);

    // Start-up and shutdown.
    static inline const QString autoconnectSmokeSwitch = QStringLiteral("--tovren-autoconnect-smoke");
    // Once per process: the stored session, the public catalogue and, when signed in, the private data.
    QCoro::Task<void> bootstrap();
    bool bootstrapped() const { return m_bootstrapped; }
    // Connects once after start-up when the process was started with autoconnectSmokeSwitch.
    QCoro::Task<void> runAutoconnectSmokeTestIfRequested();
    // Before the process quits: stops the heartbeat and the speed monitor and removes the runtime without ever
    // asking for an administrator password.
    QCoro::Task<void> cleanupBeforeExit();
    // Whether the clean-up started at construction has finished.
    bool startupCleanupFinished() const { return m_startupCleanupFinished; }

    // AI-enhanced mode, the outbound mode and the launchers. None of them touches the running connection.
    void toggleAIEnhancedMode();
    void setOutboundMode(OutboundMode mode);
    // Puts the local SOCKS entry on the clipboard as a Telegram link and opens it.
    void openTelegramProxy();
    // Opens a terminal whose shell has the AI entry in its proxy variables and starts `command` there. Needs
    // AI-enhanced mode and a connection; otherwise an alert says what is missing.
    void openAIToolLauncher(const QString &command, const QString &displayName);

    // Shows an error in the alert and logs it under `fallback`, which also stands in for an empty description.
    void present(const std::exception &error, const QString &fallback);

    // Derived account texts.
    QString planPillText() const;
    int effectiveMaxDevices() const;
    QString deviceUsage() const;
    QString accessSummary() const;
    QList<Device> visibleDevices() const;
    QString inviteCode() const;
    QString invitesTotalText() const;
    QString rewardDaysText() const;
    QString pendingInvitesText() const;
    static QString shortDateText(const std::optional<QString> &text);

    static inline const QString launchAtLoginKey = QStringLiteral("tovren.launchAtLogin");
    static inline const QString menuBarEnabledKey = QStringLiteral("tovren.menuBarEnabled");
    static inline const QString showMenuBarSpeedKey = QStringLiteral("tovren.showMenuBarSpeed");
    static inline const QString aiEnhancedModeEnabledKey = QStringLiteral("tovren.aiEnhancedModeEnabled");
    static inline const QString outboundModeKey = QStringLiteral("tovren.outboundMode");
    static inline const QString endpointQualityStatsKey = QStringLiteral("tovren.endpointQualityStats.v1");

Q_SIGNALS:
    // Emitted after any published property changed; views re-read what they show.
    void changed();
    // Emitted for every new activity-log entry (the command line's log echo listens to it).
    void logAppended(const LogEntry &entry);

private:
    template<typename T> void publish(T &field, const T &value)
    {
        if (field == value)
            return;
        field = value;
        Q_EMIT changed();
    }

    // Marks the state busy for the life of one operation, whatever its outcome. Operations overlap (a refresh
    // during a connect), so the state stays busy until the last of them ends.
    class BusyMark final
    {
    public:
        explicit BusyMark(AppState &state) : m_state(state)
        {
            ++m_state.m_busyOperations;
            m_state.setIsBusy(true);
        }
        ~BusyMark() { m_state.setIsBusy(--m_state.m_busyOperations > 0); }
        Q_DISABLE_COPY_MOVE(BusyMark)

    private:
        AppState &m_state;
    };

    void readSettings();
    void setToken(const std::optional<QString> &token) { publish(m_token, token); }
    // A call made for `token` may still apply its answer: the user has not signed out or in again meanwhile.
    bool isCurrentSession(const QString &token) const { return m_token == token; }
    std::optional<QString> currentUserId() const;
    QCoro::Task<void> authenticate(QString identity, std::function<QCoro::Task<APIAuthResponse>(QString)> call,
                                   QString fallback, QString successLog);
    void applyBootstrapEndpoints(const QList<APIEndpoint> &records);
    // Maps the account's devices, recognises this computer among them and publishes the list. True when this
    // computer was recognised.
    bool applyDeviceRules(const QList<APIDevice> &records);
    void loadQuickConnectCache();
    // The background clean-up of what an earlier run left; it catches everything.
    QCoro::Task<void> runStartupCleanup();
    // One candidate of the connect: its configuration, the tunnel and what follows a success (or the saved
    // configuration when the components are missing). Throws when the candidate failed.
    QCoro::Task<void> connectCandidate(Endpoint candidate, Device device, QString token);
    QCoro::Task<void> runDisconnect();
    // Ends a connection that is up before the session goes.
    QCoro::Task<void> disconnectBeforeSignOut();
    // This computer's name as the account's devices know it: binding and recognition use the same one.
    QString thisComputerName() const;
    QCoro::Task<void> loadComputerName();
    qint64 millisecondsSinceAttemptStart() const;
    // The probe of `sessionId` still speaks for the live connection.
    bool isCurrentHeartbeat(const QUuid &sessionId) const;
    void startSpeedMonitor();
    static double secondsSince1970();

    // Unpublished stored properties.
    QString m_appVersion = applicationVersion();
    std::unique_ptr<Preferences> m_preferences;
    std::unique_ptr<TovrenAPIClient> m_api;
    SessionStore m_sessionStore;
    DeviceIdentityStore m_deviceIdentity;
    // Shared with the start-up clean-up, which may still run when the state goes; the last holder lets it go
    // from the event loop, never from inside one of its own callbacks.
    std::shared_ptr<TunnelCoordinator> m_tunnel{new TunnelCoordinator, [](TunnelCoordinator *t) { t->deleteLater(); }};
    WireGuardToolInstaller m_toolInstaller;
    NetworkSpeedSampler m_speedSampler;
    std::optional<QString> m_token;
    QPointer<QTimer> m_speedTimer;
    std::optional<NetworkTrafficSample> m_lastTrafficSample;
    EndpointQualityStatsMap m_endpointQualityStats;
    std::optional<QuickConnectCacheRecord> m_quickConnectCache;
    bool m_bootstrapped = false;
    bool m_startupCleanupFinished = false;
    QString m_currentAttemptId;
    QString m_currentRequestId;
    QDateTime m_currentAttemptStartedAt = QDateTime::currentDateTimeUtc();
    QList<StateRecord> m_currentStateLog;
    // The endpoint of the connection that is up; the selection may have moved on since it was made.
    std::optional<Endpoint> m_connectedEndpoint;
    std::optional<QString> m_computerName; // read once
    int m_busyOperations = 0;
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
    double m_timeScale = 1.0;
    HealthProbe m_healthProbe;
};

#undef TOVREN_PUBLISHED
