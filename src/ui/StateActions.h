#pragma once

#include "base/Types.h"

#include <QCoro/QCoroTask>
#include <QObject>

class AppState;

// The operations of AppState that the views start, and the account texts they show, in one place. Every
// view goes through here instead of naming AppState's operations itself, so a test can put a recording
// subclass in its place. Reads of published properties still go straight to AppState.
class StateActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StateActions)

public:
    explicit StateActions(AppState &state, QObject *parent = nullptr);
    ~StateActions() override;

    AppState &state() const { return m_state; }

    // Start-up and shutdown.
    virtual QCoro::Task<> bootstrap();
    virtual QCoro::Task<> runAutoconnectSmokeTestIfRequested();
    virtual QCoro::Task<> cleanupBeforeExit();

    // Connection, endpoints and the AI entry.
    virtual QCoro::Task<> toggleConnection();
    virtual void selectEndpoint(const Endpoint &endpoint);
    virtual void setOutboundMode(OutboundMode mode);
    virtual void toggleAIEnhancedMode();
    virtual void openTelegramProxy();
    virtual void openAIToolLauncher(const QString &command, const QString &displayName);
    virtual QCoro::Task<> installWireGuardTools();
    virtual void installWireGuardToolsInTerminal();

    // Account, catalogue and devices.
    virtual QCoro::Task<bool> sendVerificationCode(const QString &identity);
    virtual QCoro::Task<> login(const QString &identity, const QString &password);
    virtual QCoro::Task<> registerAccount(const QString &identity, const QString &password,
                                          const QString &verificationCode, const QString &inviteCode);
    virtual QCoro::Task<> logout();
    virtual QCoro::Task<> refreshPublicData();
    virtual QCoro::Task<> refreshPrivateData();
    virtual QCoro::Task<> unbindDevice(const Device &device);
    virtual QCoro::Task<> submitFeedback(const QString &title, const QString &contactEmail, const QString &body);
    virtual void purchase(const Plan &plan);
    virtual void copyInviteLink();
    virtual void openClientHome();

    // Preferences switched in the window and the menu.
    virtual void setLaunchAtLogin(bool enabled);
    virtual void setMenuBarEnabled(bool enabled);
    virtual void setShowMenuBarSpeed(bool enabled);

    // Shows the home page and asks the window to come to the front (dashboardRequested).
    virtual void showDashboard();
    // Asks the window to come to the front as it is, on whatever page it shows (the menu bar icon's click).
    void showWindow();

    // Account texts derived from the published properties.
    virtual bool hasSessionToken() const;
    QString planPillText() const;
    QString deviceUsage() const;
    QString accessSummary() const;
    QString inviteCode() const;
    QString invitesTotalText() const;
    QString rewardDaysText() const;
    QString pendingInvitesText() const;
    QList<Device> visibleDevices() const;

Q_SIGNALS:
    void dashboardRequested();

private:
    AppState &m_state;
};
