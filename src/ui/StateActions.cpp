#include "StateActions.h"

#include "api/SessionStore.h"
#include "core/AppState.h"

#include <QDebug>

// Operations that AppState does not offer yet are named in `awaiting(...)`: each of those bodies is the one
// line to replace by the call of the same name on AppState once it exists.
namespace {

void awaiting(const char *operation)
{
    qWarning("AppState::%s is not available in this build", operation);
}

// "MM-dd" of an ISO 8601 time in local time; the first ten characters of anything else; "-" for nothing.
QString shortDate(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return QStringLiteral("-");
    QDateTime date = QDateTime::fromString(*text, Qt::ISODateWithMs);
    if (!date.isValid())
        date = QDateTime::fromString(*text, Qt::ISODate);
    if (date.isValid())
        return date.toLocalTime().toString(QStringLiteral("MM-dd"));
    return text->left(10);
}

} // namespace

StateActions::StateActions(AppState &state, QObject *parent) : QObject(parent), m_state(state)
{
}

StateActions::~StateActions() = default;

QCoro::Task<> StateActions::bootstrap()
{
    awaiting("bootstrap");
    co_return;
}

QCoro::Task<> StateActions::runAutoconnectSmokeTestIfRequested()
{
    awaiting("runAutoconnectSmokeTestIfRequested");
    co_return;
}

QCoro::Task<> StateActions::cleanupBeforeExit()
{
    awaiting("cleanupBeforeExit");
    co_return;
}

QCoro::Task<> StateActions::toggleConnection()
{
    awaiting("toggleConnection");
    co_return;
}

void StateActions::selectEndpoint(const Endpoint &endpoint)
{
    m_state.selectEndpoint(endpoint);
}

void StateActions::setOutboundMode(OutboundMode mode)
{
    Q_UNUSED(mode)
    awaiting("setOutboundMode");
}

void StateActions::toggleAIEnhancedMode()
{
    awaiting("toggleAIEnhancedMode");
}

void StateActions::openTelegramProxy()
{
    awaiting("openTelegramProxy");
}

void StateActions::openAIToolLauncher(const QString &command, const QString &displayName)
{
    Q_UNUSED(command)
    Q_UNUSED(displayName)
    awaiting("openAIToolLauncher");
}

QCoro::Task<> StateActions::installWireGuardTools()
{
    awaiting("installWireGuardTools");
    co_return;
}

void StateActions::installWireGuardToolsInTerminal()
{
    awaiting("installWireGuardToolsInTerminal");
}

QCoro::Task<bool> StateActions::sendVerificationCode(const QString &identity)
{
    Q_UNUSED(identity)
    awaiting("sendVerificationCode");
    co_return false;
}

QCoro::Task<> StateActions::login(const QString &identity, const QString &password)
{
    Q_UNUSED(identity)
    Q_UNUSED(password)
    awaiting("login");
    co_return;
}

QCoro::Task<> StateActions::registerAccount(const QString &identity, const QString &password,
                                            const QString &verificationCode, const QString &inviteCode)
{
    Q_UNUSED(identity)
    Q_UNUSED(password)
    Q_UNUSED(verificationCode)
    Q_UNUSED(inviteCode)
    awaiting("register");
    co_return;
}

QCoro::Task<> StateActions::logout()
{
    awaiting("logout");
    co_return;
}

QCoro::Task<> StateActions::refreshPublicData()
{
    awaiting("refreshPublicData");
    co_return;
}

QCoro::Task<> StateActions::refreshPrivateData()
{
    awaiting("refreshPrivateData");
    co_return;
}

QCoro::Task<> StateActions::unbindDevice(const Device &device)
{
    Q_UNUSED(device)
    awaiting("unbindDevice");
    co_return;
}

QCoro::Task<> StateActions::submitFeedback(const QString &title, const QString &contactEmail, const QString &body)
{
    Q_UNUSED(title)
    Q_UNUSED(contactEmail)
    Q_UNUSED(body)
    awaiting("submitFeedback");
    co_return;
}

void StateActions::purchase(const Plan &plan)
{
    Q_UNUSED(plan)
    awaiting("purchase");
}

void StateActions::copyInviteLink()
{
    awaiting("copyInviteLink");
}

void StateActions::openClientHome()
{
    awaiting("openClientHome");
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
    m_state.setSelectedPage(AppPage::home);
    Q_EMIT dashboardRequested();
}

bool StateActions::hasSessionToken() const
{
    // AppState keeps the token it read from this store; the two agree after every sign-in and sign-out.
    return SessionStore(m_state.preferences()).read().has_value();
}

QString StateActions::planPillText() const
{
    const auto &user = m_state.currentUser();
    return user ? user->planName + QStringLiteral("有效") : QStringLiteral("请先登录");
}

QString StateActions::deviceUsage() const
{
    const auto &user = m_state.currentUser();
    const qint64 limit = m_state.maxDevices() >= 1 ? m_state.maxDevices() : (user ? user->maxDevices : 0);
    return QStringLiteral("%1 / %2 设备").arg(m_state.activeDeviceCount()).arg(limit);
}

QString StateActions::accessSummary() const
{
    const auto &user = m_state.currentUser();
    const QString traffic = AppState::trafficText(user ? user->remainingTrafficMb : std::nullopt);
    const bool hasExpiry = user && user->subscriptionExpiredAt && !user->subscriptionExpiredAt->isEmpty();
    return traffic + QStringLiteral(" / ") +
           (hasExpiry ? shortDate(user->subscriptionExpiredAt) : QStringLiteral("未开通"));
}

QString StateActions::inviteCode() const
{
    const auto &user = m_state.currentUser();
    return user && user->referralCode ? *user->referralCode : QStringLiteral("登录后显示");
}

QString StateActions::invitesTotalText() const
{
    const auto &user = m_state.currentUser();
    return QString::number(user ? user->invitesTotal.value_or(0) : 0);
}

QString StateActions::rewardDaysText() const
{
    const auto &user = m_state.currentUser();
    return QString::number(user ? user->rewardDays.value_or(0) : 0) + QStringLiteral(" 天");
}

QString StateActions::pendingInvitesText() const
{
    const auto &user = m_state.currentUser();
    if (!user)
        return QStringLiteral("0");
    return QString::number(user->invitesTotal.value_or(0) - user->invitesPaid.value_or(0));
}

QList<Device> StateActions::visibleDevices() const
{
    return m_state.devicesExpanded() ? m_state.devices() : m_state.devices().mid(0, 2);
}
