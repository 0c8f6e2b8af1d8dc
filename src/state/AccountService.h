#pragma once

#include "AppStateDependencies.h"
#include "api/DeviceIdentityStore.h"
#include "api/SessionStore.h"

class ConnectionController;
class EndpointRanking;

// The account: the session, signing up, in and out, the public catalogue and the private data, this computer
// among the account's devices, support tickets and orders, the version policy and the plan pages on the web.
class AccountService final
{
public:
    AccountService(AppStateDependencies &dependencies, EndpointRanking &ranking, ConnectionController &connection);
    Q_DISABLE_COPY_MOVE(AccountService)

    SessionStore &sessionStore() { return m_sessionStore; }
    DeviceIdentityStore &deviceIdentity() { return m_deviceIdentity; }
    TovrenAPIClient &api() { return *m_dependencies.api; }

    // Trimmed, lower-case, and shaped like an address; otherwise TovrenRuntimeError::invalidEmail.
    static QString normalizedEmail(const QString &text);
    QCoro::Task<bool> sendVerificationCode(QString identity);
    QCoro::Task<void> login(QString identity, QString password);
    QCoro::Task<void> registerAccount(QString identity, QString password, QString verificationCode,
                                      std::optional<QString> inviteCode);
    QCoro::Task<void> logout();
    void logoutLocally();
    std::optional<QString> currentUserId() const;

    QCoro::Task<void> refreshPublicData();
    QCoro::Task<void> refreshPrivateData();
    QCoro::Task<void> syncDevices(QString token);
    void applyVersionPolicy(const APIAppVersion &version);

    QCoro::Task<void> unbindDevice(Device device);
    QCoro::Task<void> submitFeedback(QString title, QString contactEmail, QString body);
    int effectiveMaxDevices() const;

    // This computer as a device of the account: the bound record, reused when the account already lists it.
    QCoro::Task<Device> bindCurrentDeviceIfNeeded(QString token);

    // Plans are bought on the web: the pricing page, or the sign-in page that leads there.
    void purchase(const Plan &plan);
    std::optional<QUrl> publicPlanURL(const Plan &plan) const;
    QUrl publicPricingURL(const QUrl &baseURL, const Plan &plan, const std::optional<QString> &account) const;
    QUrl publicLoginURL(const QUrl &baseURL, const QUrl &next) const;
    void copyInviteLink();
    void openClientHome();

private:
    QCoro::Task<void> syncClientBootstrap(QString token);
    QCoro::Task<void> syncTickets(QString token);
    QCoro::Task<void> syncOrders(QString token);
    std::optional<Device> reusableCurrentDevice() const;
    // A call made for `token` may still apply its answer: the user has not signed out or in again meanwhile.
    bool isCurrentSession(const QString &token) const { return m_model.token() == token; }
    QCoro::Task<void> authenticate(QString identity, std::function<QCoro::Task<APIAuthResponse>(QString)> call,
                                   QString fallback, QString successLog);
    void applyBootstrapEndpoints(const QList<APIEndpoint> &records);
    // Maps the account's devices, recognises this computer among them and publishes the list. True when this
    // computer was recognised.
    bool applyDeviceRules(const QList<APIDevice> &records);
    // Ends a connection that is up before the session goes.
    QCoro::Task<void> disconnectBeforeSignOut();
    // This computer's name as the account's devices know it: binding and recognition use the same one.
    QString thisComputerName() const;
    QCoro::Task<void> loadComputerName();

    AppStateDependencies &m_dependencies;
    StateModel &m_model;
    EndpointRanking &m_ranking;
    ConnectionController &m_connection;
    SessionStore m_sessionStore;
    DeviceIdentityStore m_deviceIdentity;
    QString m_appVersion = QStringLiteral(TOVREN_APP_VERSION);
    std::optional<QString> m_computerName; // read once
};
