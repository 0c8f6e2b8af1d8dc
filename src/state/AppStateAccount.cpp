// Signing up, in and out, the private account data, and the account's derived texts.
#include "AppState.h"
#include "ControlPlaneMapping.h"
#include "api/TovrenRuntimeError.h"

#include <QRegularExpression>

QString AppState::normalizedEmail(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^[^\\s@]+@[^\\s@]+\\.[^\\s@]+$"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    const QString email = text.trimmed().toLower();
    if (!shape.match(email).hasMatch())
        throw TovrenRuntimeError::invalidEmail();
    return email;
}

void AppState::present(const std::exception &error, const QString &fallback)
{
    QString message = describeError(error);
    if (message.isEmpty())
        message = fallback;
    setAlertAction(std::nullopt);
    setAlertMessage(message);
    appendLog(fallback + QStringLiteral("：") + message);
}

std::optional<QString> AppState::currentUserId() const
{
    if (!m_currentUser)
        return std::nullopt;
    return m_currentUser->id;
}

QCoro::Task<bool> AppState::sendVerificationCode(QString identity)
{
    const BusyMark busy(*this);
    const QString fallback = QStringLiteral("验证码发送失败");
    try {
        const QString email = normalizedEmail(identity);
        const APIVerificationCodeResponse answer = co_await m_api->sendVerificationCode(email);
        setAlertAction(std::nullopt);
        setAlertMessage(answer.message);
        appendLog(QStringLiteral("验证码已发送。"));
        co_return true;
    } catch (const std::exception &error) {
        present(error, fallback);
    }
    co_return false;
}

QCoro::Task<void> AppState::login(QString identity, QString password)
{
    return authenticate(
        identity, [this, password](QString email) { return m_api->login(email, password); }, QStringLiteral("登录失败"),
        QStringLiteral("登录成功。"));
}

QCoro::Task<void> AppState::registerAccount(QString identity, QString password, QString verificationCode,
                                            std::optional<QString> inviteCode)
{
    if (inviteCode && inviteCode->isEmpty())
        inviteCode.reset(); // an empty invite code is no invite code
    return authenticate(
        identity,
        [this, password, verificationCode, inviteCode](QString email) {
            return m_api->registerAccount({email, password, verificationCode, inviteCode});
        },
        QStringLiteral("注册失败"), QStringLiteral("注册并登录成功。"));
}

QCoro::Task<void> AppState::authenticate(QString identity, std::function<QCoro::Task<APIAuthResponse>(QString)> call,
                                         QString fallback, QString successLog)
{
    const BusyMark busy(*this);
    std::optional<APIAuthResponse> answer;
    try {
        const QString email = normalizedEmail(identity);
        answer = co_await call(email);
    } catch (const std::exception &error) {
        present(error, fallback);
        co_return;
    }
    m_sessionStore.save(answer->token);
    setToken(answer->token);
    setCurrentUser(answer->user);
    setMaxDevices(static_cast<int>(answer->user.maxDevices));
    setShowAuthSheet(false);
    appendLog(successLog);

    co_await refreshPublicData();
    if (m_token)
        co_await refreshPrivateData();
}

QCoro::Task<void> AppState::disconnectBeforeSignOut()
{
    // Signed out, the window would read "未连接" while the core and the system proxy stay up, watched by nothing.
    if (m_connectionState.is(ConnectionState::connected) || m_connectionState.is(ConnectionState::repairing))
        co_await disconnect();
}

QCoro::Task<void> AppState::logout()
{
    co_await disconnectBeforeSignOut();
    if (!m_token) {
        logoutLocally();
        co_return;
    }
    bool told = true;
    try {
        co_await m_api->logout(*m_token);
    } catch (const std::exception &) {
        told = false;
    }
    if (!told)
        appendLog(QStringLiteral("退出登录请求失败，已清理本地会话。"));
    logoutLocally();
}

void AppState::logoutLocally()
{
    stopConnectionHeartbeat();
    m_sessionStore.clear();
    setToken(std::nullopt);
    setCurrentUser(std::nullopt);
    setDevices({});
    setTickets({});
    setOrders({});
    setCurrentDevice(std::nullopt);
    clearQuickConnectCache();
    setMaxDevices(0);
    setActiveDeviceCount(0);
    setConnectionState(ConnectionState::disconnected);
    setConnectedAt(std::nullopt);
    setShowAuthSheet(true);
    appendLog(QStringLiteral("已退出登录。"));
}

QCoro::Task<void> AppState::refreshPrivateData()
{
    if (!m_token) {
        setShowAuthSheet(true);
        co_return;
    }
    const BusyMark busy(*this);
    const QString token = *m_token;
    bool expired = false;
    try {
        const APIMeResponse me = co_await m_api->me(token);
        if (!isCurrentSession(token))
            co_return; // signed out (or in as someone else) meanwhile: this answer belongs to no one now
        setCurrentUser(me.user);
        setMaxDevices(static_cast<int>(me.user.maxDevices));
        appendLog(QStringLiteral("账号权益同步完成。"));

        bool bootstrapped = true;
        try {
            co_await syncClientBootstrap(token);
        } catch (const std::exception &) {
            bootstrapped = false;
        }
        if (!bootstrapped) {
            appendLog(QStringLiteral("新客户端启动信息暂不可用，使用兼容接口。"));
            co_await syncDevices(token);
        }
        co_await syncTickets(token);
        co_await syncOrders(token);
    } catch (const std::exception &error) {
        if (!isCurrentSession(token))
            co_return;
        present(error, QStringLiteral("账号数据同步失败"));
        const auto *answer = dynamic_cast<const TovrenAPIError *>(&error);
        expired = answer && answer->isServer(401); // the session expired on the server
    }
    if (!expired)
        co_return;
    co_await disconnectBeforeSignOut();
    if (isCurrentSession(token))
        logoutLocally();
}

QString AppState::planPillText() const
{
    if (!m_currentUser)
        return QStringLiteral("请先登录");
    return m_currentUser->planName + QStringLiteral("有效");
}

QString AppState::accessSummary() const
{
    const std::optional<qint64> traffic = m_currentUser ? m_currentUser->remainingTrafficMb : std::nullopt;
    const std::optional<QString> expiry = m_currentUser ? m_currentUser->subscriptionExpiredAt : std::nullopt;
    return trafficText(traffic) + QStringLiteral(" / ") +
           (expiry && !expiry->isEmpty() ? shortDateText(expiry) : QStringLiteral("未开通"));
}

QString AppState::inviteCode() const
{
    if (m_currentUser && m_currentUser->referralCode)
        return *m_currentUser->referralCode;
    return QStringLiteral("登录后显示");
}

QString AppState::invitesTotalText() const
{
    return QString::number(m_currentUser ? m_currentUser->invitesTotal.value_or(0) : 0);
}

QString AppState::rewardDaysText() const
{
    return QString::number(m_currentUser ? m_currentUser->rewardDays.value_or(0) : 0) + QStringLiteral(" 天");
}

QString AppState::pendingInvitesText() const
{
    if (!m_currentUser)
        return QStringLiteral("0");
    return QString::number(m_currentUser->invitesTotal.value_or(0) - m_currentUser->invitesPaid.value_or(0));
}

QString AppState::shortDateText(const std::optional<QString> &text)
{
    return ::shortDateText(text);
}
