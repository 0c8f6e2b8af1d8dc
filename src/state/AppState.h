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
    const AppPage &selectedPage() const { return m_model.selectedPage(); }
    const ConnectionState &connectionState() const { return m_model.connectionState(); }
    const bool &nodesExpanded() const { return m_model.nodesExpanded(); }
    const bool &logsExpanded() const { return m_model.logsExpanded(); }
    const bool &devicesExpanded() const { return m_model.devicesExpanded(); }
    const bool &feedbackExpanded() const { return m_model.feedbackExpanded(); }
    const std::optional<QDateTime> &connectedAt() const { return m_model.connectedAt(); }
    const std::optional<QString> &selectedEndpointId() const { return m_model.selectedEndpointId(); }
    const bool &showAuthSheet() const { return m_model.showAuthSheet(); }
    const bool &isBusy() const { return m_model.isBusy(); }
    const std::optional<QString> &alertMessage() const { return m_model.alertMessage(); }
    const std::optional<AppAlertAction> &alertAction() const { return m_model.alertAction(); }
    const std::optional<APIUser> &currentUser() const { return m_model.currentUser(); }
    const QList<Endpoint> &endpoints() const { return m_model.endpoints(); }
    const QList<Plan> &plans() const { return m_model.plans(); }
    const QList<Device> &devices() const { return m_model.devices(); }
    const QList<Ticket> &tickets() const { return m_model.tickets(); }
    const QList<Order> &orders() const { return m_model.orders(); }
    const QString &latestVersion() const { return m_model.latestVersion(); }
    const QString &versionPolicyText() const { return m_model.versionPolicyText(); }
    const std::optional<QUrl> &versionDownloadURL() const { return m_model.versionDownloadURL(); }
    const bool &requiresVersionAction() const { return m_model.requiresVersionAction(); }
    const std::optional<Device> &currentDevice() const { return m_model.currentDevice(); }
    const std::optional<QString> &currentConfigPath() const { return m_model.currentConfigPath(); }
    const bool &launchAtLogin() const { return m_model.launchAtLogin(); }
    const bool &menuBarEnabled() const { return m_model.menuBarEnabled(); }
    const bool &showMenuBarSpeed() const { return m_model.showMenuBarSpeed(); }
    const bool &aiEnhancedModeEnabled() const { return m_model.aiEnhancedModeEnabled(); }
    const OutboundMode &outboundMode() const { return m_model.outboundMode(); }
    const double &downloadSpeedBps() const { return m_model.downloadSpeedBps(); }
    const double &uploadSpeedBps() const { return m_model.uploadSpeedBps(); }
    const ComponentInstallState &componentInstallState() const { return m_model.componentInstallState(); }
    const int &maxDevices() const { return m_model.maxDevices(); }
    const int &activeDeviceCount() const { return m_model.activeDeviceCount(); }
    const int &localProxyPort() const { return m_model.localProxyPort(); }
    const int &localAIProxyPort() const { return m_model.localAIProxyPort(); }
    const bool &aiProxyReady() const { return m_model.aiProxyReady(); }
    const QList<LogEntry> &logs() const { return m_model.logs(); }
    const std::optional<QString> &token() const { return m_model.token(); } // the session in use; none when signed out

    // Connects `slot` to the change signal of each concern, e.g. {&AppState::accountChanged}.
    template<typename Receiver, typename Slot>
    void watch(std::initializer_list<void (AppState::*)()> concerns, Receiver *receiver, Slot slot)
    {
        for (const auto concern : concerns)
            QObject::connect(this, concern, receiver, slot);
    }

    // What the window itself changes: the page, the expanded sections, the sign-in sheet, the alert.
    void setSelectedPage(AppPage page) { m_model.setSelectedPage(page); }
    void setNodesExpanded(bool expanded) { m_model.setNodesExpanded(expanded); }
    void setLogsExpanded(bool expanded) { m_model.setLogsExpanded(expanded); }
    void setDevicesExpanded(bool expanded) { m_model.setDevicesExpanded(expanded); }
    void setFeedbackExpanded(bool expanded) { m_model.setFeedbackExpanded(expanded); }
    void setShowAuthSheet(bool shown) { m_model.setShowAuthSheet(shown); }
    void dismissAlert();
    // The settings page's switches: publish and persist.
    void setMenuBarEnabled(bool enabled);
    void setShowMenuBarSpeed(bool enabled);
    void setLaunchAtLogin(bool enabled);

    // Activity log: newest first, the newest 30 kept.
    void appendLog(const QString &message) { m_model.appendLog(message); }

    // Derived texts and lists.
    QList<LogEntry> visibleLogs() const;
    QList<Endpoint> visibleEndpoints() const;
    // The selected endpoint, else the first of the catalogue, else the first placeholder.
    Endpoint selectedEndpoint() const { return m_ranking.selectedEndpoint(); }
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
    AppState &state() override { return *this; }
    QCoro::Task<> bootstrap() override; // once per process: the stored session, the catalogue, the private data
    bool bootstrapped() const { return m_bootstrapped; }
    // Connects once after start-up when the process was started with autoconnectSmokeSwitch.
    QCoro::Task<> runAutoconnectSmokeTestIfRequested() override;
    static inline const QString autoconnectSmokeSwitch = QStringLiteral("--tovren-autoconnect-smoke");
    // Before the process quits: stops the speed monitor and what the connection runs.
    QCoro::Task<> cleanupBeforeExit() override;
    // Whether the clean-up started at construction has finished.
    bool startupCleanupFinished() const { return m_startupCleanupFinished; }

    QCoro::Task<> toggleConnection() override { return m_connection.toggleConnection(); }
    void selectEndpoint(const Endpoint &endpoint) override;
    // AI-enhanced mode, the outbound mode and the launchers. None of them touches the running connection.
    void setOutboundMode(OutboundMode mode) override;
    void toggleAIEnhancedMode() override;
    // Puts the local SOCKS entry on the clipboard as a Telegram link and opens it.
    void openTelegramProxy() override;
    // Opens a terminal whose shell has the AI entry in its proxy variables and starts `command` there. Needs
    // AI-enhanced mode and a connection; otherwise an alert says what is missing.
    void openAIToolLauncher(const QString &command, const QString &displayName) override;
    QCoro::Task<> installWireGuardTools() override { return m_connection.installWireGuardTools(); }
    QCoro::Task<> installWireGuardToolsInTerminal() override { return m_connection.installWireGuardToolsInTerminal(); }

    QCoro::Task<bool> sendVerificationCode(QString identity) override
    {
        return m_account.sendVerificationCode(identity);
    }
    QCoro::Task<> login(QString identity, QString password) override { return m_account.login(identity, password); }
    QCoro::Task<> registerAccount(QString identity, QString password, QString verificationCode,
                                  std::optional<QString> inviteCode) override
    {
        return m_account.registerAccount(identity, password, verificationCode, inviteCode);
    }
    QCoro::Task<> logout() override { return m_account.logout(); }
    QCoro::Task<> refreshPublicData() override { return m_account.refreshPublicData(); }
    QCoro::Task<> refreshPrivateData() override { return m_account.refreshPrivateData(); }
    QCoro::Task<> unbindDevice(Device device) override { return m_account.unbindDevice(device); }
    QCoro::Task<> submitFeedback(QString title, QString contactEmail, QString body) override
    {
        return m_account.submitFeedback(title, contactEmail, body);
    }
    void purchase(const Plan &plan) override { m_account.purchase(plan); }
    void copyInviteLink() override { m_account.copyInviteLink(); }
    void openClientHome() override { m_account.openClientHome(); }
    bool hasSessionToken() const override { return m_model.token().has_value(); }

    // The parts, for tests that need one step of their work, and what they work with.
    ConnectionController &connection() { return m_connection; }
    AccountService &account() { return m_account; }
    EndpointRanking &ranking() { return m_ranking; }
    SpeedMonitor &speedMonitor() { return m_speedMonitor; }
    TunnelCoordinator &tunnel() { return *m_dependencies.tunnel; }
    Preferences &preferences() { return *m_dependencies.preferences; }

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
