// Signing up, in and out, and the private account data.
#include "AccountService.h"
#include "ConnectionController.h"
#include "ControlPlaneMapping.h"
#include "EndpointRanking.h"
#include "api/TovrenRuntimeError.h"

#include <QRegularExpression>

AccountService::AccountService(AppStateDependencies &dependencies, EndpointRanking &ranking,
                               ConnectionController &connection)
    : m_dependencies(dependencies), m_model(*dependencies.model), m_ranking(ranking), m_connection(connection),
      m_sessionStore(*dependencies.preferences), m_deviceIdentity(*dependencies.preferences)
{
}

QString AccountService::normalizedEmail(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^[^\\s@]+@[^\\s@]+\\.[^\\s@]+$"),
                                          QRegularExpression::UseUnicodePropertiesOption);
    const QString email = text.trimmed().toLower();
    if (!shape.match(email).hasMatch())
        throw TovrenRuntimeError::invalidEmail();
    return email;
}

std::optional<QString> AccountService::currentUserId() const
{
    if (!m_model.currentUser())
        return std::nullopt;
    return m_model.currentUser()->id;
}

QCoro::Task<bool> AccountService::sendVerificationCode(QString identity)
{
    const StateModel::BusyMark busy(m_model);
    const QString fallback = QStringLiteral("验证码发送失败");
    try {
        const QString email = normalizedEmail(identity);
        const APIVerificationCodeResponse answer = co_await m_dependencies.api->sendVerificationCode(email);
        m_model.alert(answer.message);
        m_model.appendLog(QStringLiteral("验证码已发送。"));
        co_return true;
    } catch (const std::exception &error) {
        m_model.present(error, fallback);
    }
    co_return false;
}

QCoro::Task<void> AccountService::login(QString identity, QString password)
{
    return authenticate(
        identity, [this, password](QString email) { return m_dependencies.api->login(email, password); },
        QStringLiteral("登录失败"), QStringLiteral("登录成功。"));
}

QCoro::Task<void> AccountService::registerAccount(QString identity, QString password, QString verificationCode,
                                                  std::optional<QString> inviteCode)
{
    if (inviteCode && inviteCode->isEmpty())
        inviteCode.reset(); // an empty invite code is no invite code
    return authenticate(
        identity,
        [this, password, verificationCode, inviteCode](QString email) {
            return m_dependencies.api->registerAccount({email, password, verificationCode, inviteCode});
        },
        QStringLiteral("注册失败"), QStringLiteral("注册并登录成功。"));
}

QCoro::Task<void> AccountService::authenticate(QString identity,
                                               std::function<QCoro::Task<APIAuthResponse>(QString)> call,
                                               QString fallback, QString successLog)
{
    const StateModel::BusyMark busy(m_model);
    std::optional<APIAuthResponse> answer;
    try {
        const QString email = normalizedEmail(identity);
        answer = co_await call(email);
    } catch (const std::exception &error) {
        m_model.present(error, fallback);
        co_return;
    }
    m_sessionStore.save(answer->token);
    m_model.setToken(answer->token);
    m_model.setCurrentUser(answer->user);
    m_model.setMaxDevices(static_cast<int>(answer->user.maxDevices));
    m_model.setShowAuthSheet(false);
    m_model.appendLog(successLog);

    co_await refreshPublicData();
    if (m_model.token())
        co_await refreshPrivateData();
}

QCoro::Task<void> AccountService::disconnectBeforeSignOut()
{
    // Signed out, the window would read "未连接" while the core and the system proxy stay up, watched by nothing.
    if (m_model.connectionState().is(ConnectionState::connected) ||
        m_model.connectionState().is(ConnectionState::repairing))
        co_await m_connection.disconnect();
}

QCoro::Task<void> AccountService::logout()
{
    co_await disconnectBeforeSignOut();
    if (!m_model.token()) {
        logoutLocally();
        co_return;
    }
    bool told = true;
    try {
        co_await m_dependencies.api->logout(*m_model.token());
    } catch (const std::exception &) {
        told = false;
    }
    if (!told)
        m_model.appendLog(QStringLiteral("退出登录请求失败，已清理本地会话。"));
    logoutLocally();
}

void AccountService::logoutLocally()
{
    m_connection.stopConnectionHeartbeat();
    m_sessionStore.clear();
    m_model.setToken(std::nullopt);
    m_model.setCurrentUser(std::nullopt);
    m_model.setDevices({});
    m_model.setTickets({});
    m_model.setOrders({});
    m_model.setCurrentDevice(std::nullopt);
    m_ranking.clearQuickConnectCache();
    m_model.setMaxDevices(0);
    m_model.setActiveDeviceCount(0);
    m_model.setConnectionState(ConnectionState::disconnected);
    m_model.setConnectedAt(std::nullopt);
    m_model.setShowAuthSheet(true);
    m_model.appendLog(QStringLiteral("已退出登录。"));
}

QCoro::Task<void> AccountService::refreshPrivateData()
{
    if (!m_model.token()) {
        m_model.setShowAuthSheet(true);
        co_return;
    }
    const StateModel::BusyMark busy(m_model);
    const QString token = *m_model.token();
    bool expired = false;
    try {
        const APIMeResponse me = co_await m_dependencies.api->me(token);
        if (!isCurrentSession(token))
            co_return; // signed out (or in as someone else) meanwhile: this answer belongs to no one now
        m_model.setCurrentUser(me.user);
        m_model.setMaxDevices(static_cast<int>(me.user.maxDevices));
        m_model.appendLog(QStringLiteral("账号权益同步完成。"));

        bool bootstrapped = true;
        try {
            co_await syncClientBootstrap(token);
        } catch (const std::exception &) {
            bootstrapped = false;
        }
        if (!bootstrapped) {
            m_model.appendLog(QStringLiteral("新客户端启动信息暂不可用，使用兼容接口。"));
            co_await syncDevices(token);
        }
        co_await syncTickets(token);
        co_await syncOrders(token);
    } catch (const std::exception &error) {
        if (!isCurrentSession(token))
            co_return;
        m_model.present(error, QStringLiteral("账号数据同步失败"));
        const auto *answer = dynamic_cast<const TovrenAPIError *>(&error);
        expired = answer && answer->isServer(401); // the session expired on the server
    }
    if (!expired)
        co_return;
    co_await disconnectBeforeSignOut();
    if (isCurrentSession(token))
        logoutLocally();
}
