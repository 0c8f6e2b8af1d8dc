#pragma once

#include "base/Types.h"

#include <QCoro/QCoroTask>
#include <QObject>

class AppState;

// The operations views start that reach beyond the window: the control plane, the tunnel, the system. AppState
// performs them; a test of the views puts a recording one in its place. Views read what they show from state().
class StateActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StateActions)

public:
    using QObject::QObject;

    virtual AppState &state() = 0;

    // Start-up and shutdown.
    virtual QCoro::Task<> bootstrap() = 0;
    virtual QCoro::Task<> runAutoconnectSmokeTestIfRequested() = 0;
    virtual QCoro::Task<> cleanupBeforeExit() = 0;

    // Connection, endpoints and the AI entry.
    virtual QCoro::Task<> toggleConnection() = 0;
    virtual void selectEndpoint(const Endpoint &endpoint) = 0;
    virtual void setOutboundMode(OutboundMode mode) = 0;
    virtual void toggleAIEnhancedMode() = 0;
    virtual void openTelegramProxy() = 0;
    virtual void openAIToolLauncher(const QString &command, const QString &displayName) = 0;
    virtual QCoro::Task<> installWireGuardTools() = 0;
    virtual QCoro::Task<> installWireGuardToolsInTerminal() = 0;

    // Account, catalogue and devices.
    virtual QCoro::Task<bool> sendVerificationCode(QString identity) = 0;
    virtual QCoro::Task<> login(QString identity, QString password) = 0;
    virtual QCoro::Task<> registerAccount(QString identity, QString password, QString verificationCode,
                                          std::optional<QString> inviteCode) = 0;
    virtual QCoro::Task<> logout() = 0;
    virtual QCoro::Task<> refreshPublicData() = 0;
    virtual QCoro::Task<> refreshPrivateData() = 0;
    virtual QCoro::Task<> unbindDevice(Device device) = 0;
    virtual QCoro::Task<> submitFeedback(QString title, QString contactEmail, QString body) = 0;
    virtual void purchase(const Plan &plan) = 0;
    virtual void copyInviteLink() = 0;
    virtual void openClientHome() = 0;
    virtual bool hasSessionToken() const = 0;

    // Shows the home page and asks the window to come to the front (dashboardRequested).
    void showDashboard();
    // Asks the window to come to the front as it is, on whatever page it shows (the menu bar icon's click).
    void showWindow() { Q_EMIT dashboardRequested(); }

Q_SIGNALS:
    void dashboardRequested();
};
