#include "StateActions.h"

#include "state/AppState.h"

StateActions::StateActions(AppState &state, QObject *parent) : QObject(parent), m_state(state)
{
}

StateActions::~StateActions() = default;

QCoro::Task<> StateActions::bootstrap()
{
    return m_state.bootstrap();
}

QCoro::Task<> StateActions::runAutoconnectSmokeTestIfRequested()
{
    return m_state.runAutoconnectSmokeTestIfRequested();
}

QCoro::Task<> StateActions::cleanupBeforeExit()
{
    return m_state.cleanupBeforeExit();
}

QCoro::Task<> StateActions::toggleConnection()
{
    return m_state.toggleConnection();
}

void StateActions::selectEndpoint(const Endpoint &endpoint)
{
    m_state.selectEndpoint(endpoint);
}

void StateActions::setOutboundMode(OutboundMode mode)
{
    m_state.setOutboundMode(mode);
}

void StateActions::toggleAIEnhancedMode()
{
    m_state.toggleAIEnhancedMode();
}

void StateActions::openTelegramProxy()
{
    m_state.openTelegramProxy();
}

void StateActions::openAIToolLauncher(const QString &command, const QString &displayName)
{
    m_state.openAIToolLauncher(command, displayName);
}

QCoro::Task<> StateActions::installWireGuardTools()
{
    return m_state.installWireGuardTools();
}

void StateActions::installWireGuardToolsInTerminal()
{
    // The state presents its own failures; nothing waits for the result here.
    QCoro::connect(m_state.installWireGuardToolsInTerminal(), this, [] {});
}

QCoro::Task<bool> StateActions::sendVerificationCode(const QString &identity)
{
    return m_state.sendVerificationCode(identity);
}

QCoro::Task<> StateActions::login(const QString &identity, const QString &password)
{
    return m_state.login(identity, password);
}

QCoro::Task<> StateActions::registerAccount(const QString &identity, const QString &password,
                                            const QString &verificationCode, const QString &inviteCode)
{
    return m_state.registerAccount(identity, password, verificationCode, inviteCode);
}

QCoro::Task<> StateActions::logout()
{
    return m_state.logout();
}

QCoro::Task<> StateActions::refreshPublicData()
{
    return m_state.refreshPublicData();
}

QCoro::Task<> StateActions::refreshPrivateData()
{
    return m_state.refreshPrivateData();
}

QCoro::Task<> StateActions::unbindDevice(const Device &device)
{
    return m_state.unbindDevice(device);
}

QCoro::Task<> StateActions::submitFeedback(const QString &title, const QString &contactEmail, const QString &body)
{
    return m_state.submitFeedback(title, contactEmail, body);
}

void StateActions::purchase(const Plan &plan)
{
    m_state.purchase(plan);
}

void StateActions::copyInviteLink()
{
    m_state.copyInviteLink();
}

void StateActions::openClientHome()
{
    m_state.openClientHome();
}

void StateActions::setLaunchAtLogin(bool enabled)
{
    m_state.setLaunchAtLogin(enabled);
}

void StateActions::setMenuBarEnabled(bool enabled)
{
    m_state.setMenuBarEnabled(enabled);
}

void StateActions::setShowMenuBarSpeed(bool enabled)
{
    m_state.setShowMenuBarSpeed(enabled);
}

void StateActions::showDashboard()
{
    m_state.showDashboard();
    Q_EMIT dashboardRequested();
}

void StateActions::showWindow()
{
    Q_EMIT dashboardRequested();
}

bool StateActions::hasSessionToken() const
{
    return m_state.token().has_value();
}

QString StateActions::planPillText() const
{
    return m_state.planPillText();
}

QString StateActions::deviceUsage() const
{
    return m_state.deviceUsage();
}

QString StateActions::accessSummary() const
{
    return m_state.accessSummary();
}

QString StateActions::inviteCode() const
{
    return m_state.inviteCode();
}

QString StateActions::invitesTotalText() const
{
    return m_state.invitesTotalText();
}

QString StateActions::rewardDaysText() const
{
    return m_state.rewardDaysText();
}

QString StateActions::pendingInvitesText() const
{
    return m_state.pendingInvitesText();
}

QList<Device> StateActions::visibleDevices() const
{
    return m_state.visibleDevices();
}
