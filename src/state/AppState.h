#pragma once

#include "AccountService.h"
#include "AppStateDependencies.h"
#include "ConnectionController.h"
#include "EndpointRanking.h"
#include "SpeedMonitor.h"
#include "StateActions.h"
#include "StateModel.h"

#include <QObject>
#include <initializer_list>

// What the views see of the client: the published values and the texts derived from them, signals by concern,
// and the operations the views start. The work is done by its parts (connection, account, endpoint ranking,
// speeds), which tests may reach for a single step. It lives on the main thread; its asynchronous operations
// suspend there.
class AppState final : public StateActions
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppState)

public:
    explicit AppState(AppStateDependencies dependencies = {}, QObject *parent = nullptr);
    ~AppState() override;

    static QString applicationVersion(); // "v9.7.3"

    // The published values, read-only: the parts write them.
#define TOVREN_READ(Type, name)                                                                                        \
    const Type &name() const                                                                                           \
    {                                                                                                                  \
        return m_model.name();                                                                                         \
    }
    TOVREN_READ(AppPage, selectedPage)
    TOVREN_READ(ConnectionState, connectionState)
    TOVREN_READ(bool, nodesExpanded)
    TOVREN_READ(bool, logsExpanded)
    TOVREN_READ(bool, devicesExpanded)
    TOVREN_READ(bool, feedbackExpanded)
    TOVREN_READ(std::optional<QDateTime>, connectedAt)
    TOVREN_READ(std::optional<QString>, selectedEndpointId)
    TOVREN_READ(bool, showAuthSheet)
    TOVREN_READ(bool, isBusy)
    TOVREN_READ(std::optional<QString>, alertMessage)
    TOVREN_READ(std::optional<AppAlertAction>, alertAction)
    TOVREN_READ(std::optional<APIUser>, currentUser)
    TOVREN_READ(QList<Endpoint>, endpoints)
    TOVREN_READ(QList<Plan>, plans)
    TOVREN_READ(QList<Device>, devices)
    TOVREN_READ(QList<Ticket>, tickets)
    TOVREN_READ(QList<Order>, orders)
    TOVREN_READ(QString, latestVersion)
    TOVREN_READ(QString, versionPolicyText)
    TOVREN_READ(std::optional<QUrl>, versionDownloadURL)
    TOVREN_READ(bool, requiresVersionAction)
    TOVREN_READ(std::optional<Device>, currentDevice)
    TOVREN_READ(std::optional<QString>, currentConfigPath)
    TOVREN_READ(bool, launchAtLogin)
    TOVREN_READ(bool, menuBarEnabled)
    TOVREN_READ(bool, showMenuBarSpeed)
    TOVREN_READ(bool, aiEnhancedModeEnabled)
    TOVREN_READ(OutboundMode, outboundMode)
    TOVREN_READ(double, downloadSpeedBps)
    TOVREN_READ(double, uploadSpeedBps)
    TOVREN_READ(ComponentInstallState, componentInstallState)
    TOVREN_READ(int, maxDevices)
    TOVREN_READ(int, activeDeviceCount)
    TOVREN_READ(int, localProxyPort)
    TOVREN_READ(int, localAIProxyPort)
    TOVREN_READ(bool, aiProxyReady)
    TOVREN_READ(QList<LogEntry>, logs)
    TOVREN_READ(std::optional<QString>, token) // the session in use; none when signed out
#undef TOVREN_READ

    // Connects `slot` to the change signal of each concern, e.g. {&AppState::accountChanged}.
    template<typename Receiver, typename Slot>
    void watch(std::initializer_list<void (AppState::*)()> concerns, Receiver *receiver, Slot slot)
    {
        for (const auto concern : concerns)
            QObject::connect(this, concern, receiver, slot);
    }

    // What the window itself changes: the page, the expanded sections, the sign-in sheet, the alert.
    void setSelectedPage(AppPage page)
    {
        m_model.setSelectedPage(page);
    }
    void setNodesExpanded(bool expanded)
    {
        m_model.setNodesExpanded(expanded);
    }
    void setLogsExpanded(bool expanded)
    {
        m_model.setLogsExpanded(expanded);
    }
    void setDevicesExpanded(bool expanded)
    {
        m_model.setDevicesExpanded(expanded);
    }
    void setFeedbackExpanded(bool expanded)
    {
        m_model.setFeedbackExpanded(expanded);
    }
    void setShowAuthSheet(bool shown)
    {
        m_model.setShowAuthSheet(shown);
    }
    void dismissAlert();
    // The settings page's switches: publish and persist.
    void setMenuBarEnabled(bool enabled);
    void setShowMenuBarSpeed(bool enabled);
    void setLaunchAtLogin(bool enabled);

    // Activity log: newest first, the newest 30 kept.
    void appendLog(const QString &message)
    {
        m_model.appendLog(message);
    }
    static constexpr int maxLogEntries = StateModel::maxLogEntries;

    // Derived texts and lists.
    QList<LogEntry> visibleLogs() const;
    QList<Endpoint> visibleEndpoints() const;
    // The selected endpoint, else the first of the catalogue, else the first placeholder.
    Endpoint selectedEndpoint() const
    {
        return m_ranking.selectedEndpoint();
    }
    QString statusTitle() const;
    QString connectionNote() const;
    QString menuBarTitle() const;
    static QString formattedSpeed(double bytesPerSecond);
    QString planPillText() const;
    QString deviceUsage() const;
    QString accessSummary() const;
    QList<Device> visibleDevices() const;
    QString inviteCode() const;
    QString invitesTotalText() const;
    QString rewardDaysText() const;
    QString pendingInvitesText() const;
    static QString shortDateText(const std::optional<QString> &text);

    // The operations views start.
    AppState &state() override
    {
        return *this;
    }
    QCoro::Task<> bootstrap() override; // once per process: the stored session, the catalogue, the private data
    bool bootstrapped() const { return m_bootstrapped; }
    // Connects once after start-up when the process was started with autoconnectSmokeSwitch.
    QCoro::Task<> runAutoconnectSmokeTestIfRequested() override;
    static inline const QString autoconnectSmokeSwitch = QStringLiteral("--tovren-autoconnect-smoke");
    // Before the process quits: stops the speed monitor and what the connection runs.
    QCoro::Task<> cleanupBeforeExit() override;
    // Whether the clean-up started at construction has finished.
    bool startupCleanupFinished() const { return m_startupCleanupFinished; }

    QCoro::Task<> toggleConnection() override
    {
        return m_connection.toggleConnection();
    }
    void selectEndpoint(const Endpoint &endpoint) override;
    // AI-enhanced mode, the outbound mode and the launchers. None of them touches the running connection.
    void setOutboundMode(OutboundMode mode) override;
    void toggleAIEnhancedMode() override;
    // Puts the local SOCKS entry on the clipboard as a Telegram link and opens it.
    void openTelegramProxy() override;
    // Opens a terminal whose shell has the AI entry in its proxy variables and starts `command` there. Needs
    // AI-enhanced mode and a connection; otherwise an alert says what is missing.
    void openAIToolLauncher(const QString &command, const QString &displayName) override;
    QCoro::Task<> installWireGuardTools() override
    {
        return m_connection.installWireGuardTools();
    }
    QCoro::Task<> installWireGuardToolsInTerminal() override
    {
        return m_connection.installWireGuardToolsInTerminal();
    }

    QCoro::Task<bool> sendVerificationCode(QString identity) override
    {
        return m_account.sendVerificationCode(identity);
    }
    QCoro::Task<> login(QString identity, QString password) override
    {
        return m_account.login(identity, password);
    }
    QCoro::Task<> registerAccount(QString identity, QString password, QString verificationCode,
                                  std::optional<QString> inviteCode) override
    {
        return m_account.registerAccount(identity, password, verificationCode, inviteCode);
    }
    QCoro::Task<> logout() override
    {
        return m_account.logout();
    }
    QCoro::Task<> refreshPublicData() override
    {
        return m_account.refreshPublicData();
    }
    QCoro::Task<> refreshPrivateData() override
    {
        return m_account.refreshPrivateData();
    }
    QCoro::Task<> unbindDevice(Device device) override
    {
        return m_account.unbindDevice(device);
    }
    QCoro::Task<> submitFeedback(QString title, QString contactEmail, QString body) override
    {
        return m_account.submitFeedback(title, contactEmail, body);
    }
    void purchase(const Plan &plan) override
    {
        m_account.purchase(plan);
    }
    void copyInviteLink() override
    {
        m_account.copyInviteLink();
    }
    void openClientHome() override
    {
        m_account.openClientHome();
    }
    bool hasSessionToken() const override
    {
        return m_model.token().has_value();
    }

    // The parts, for tests that need one step of their work, and what they work with.
    ConnectionController &connection()
    {
        return m_connection;
    }
    AccountService &account()
    {
        return m_account;
    }
    EndpointRanking &ranking()
    {
        return m_ranking;
    }
    SpeedMonitor &speedMonitor()
    {
        return m_speedMonitor;
    }
    TunnelCoordinator &tunnel()
    {
        return *m_dependencies.tunnel;
    }
    Preferences &preferences()
    {
        return *m_dependencies.preferences;
    }

    static inline const QString launchAtLoginKey = QStringLiteral("tovren.launchAtLogin");
    static inline const QString menuBarEnabledKey = QStringLiteral("tovren.menuBarEnabled");
    static inline const QString showMenuBarSpeedKey = QStringLiteral("tovren.showMenuBarSpeed");
    static inline const QString aiEnhancedModeEnabledKey = QStringLiteral("tovren.aiEnhancedModeEnabled");
    static inline const QString outboundModeKey = QStringLiteral("tovren.outboundMode");

Q_SIGNALS:
    // The published values of one concern changed; views re-read what they show of it.
    void connectionChanged();
    void accountChanged();
    void speedsChanged();
    void viewChanged();
    void settingsChanged();
    void logChanged();
    // Emitted for every new activity-log entry (the command line's log echo listens to it).
    void logAppended(const LogEntry &entry);

private:
    static QString trafficText(std::optional<qint64> megabytes);
    void readSettings();
    // The background clean-up of what an earlier run left; it catches everything.
    QCoro::Task<void> runStartupCleanup();

    AppStateDependencies m_dependencies;
    StateModel &m_model;
    EndpointRanking m_ranking;
    // The account and the connection call on each other: signing out ends a connection, a connect binds a device.
    AccountService m_account;
    ConnectionController m_connection;
    SpeedMonitor m_speedMonitor;
    bool m_bootstrapped = false;
    bool m_startupCleanupFinished = false;
};
