#pragma once

#include "StateActions.h"

#include <QCoro/QCoroSignal>
#include <QStringList>

// A StateActions that writes down every operation the views start, with its arguments, instead of
// reaching the control plane or the system. The control-plane operations can be held open until release().
class RecordingActions final : public StateActions
{
    Q_OBJECT

public:
    using StateActions::StateActions;

    QStringList calls;
    bool sendCodeResult = true;
    bool hold = false;
    bool signedIn = false;
    std::function<void()> onTerminalInstaller;

    QCoro::Task<> bootstrap() override { co_return record("bootstrap"); }
    QCoro::Task<> runAutoconnectSmokeTestIfRequested() override
    {
        co_return record("runAutoconnectSmokeTestIfRequested");
    }
    QCoro::Task<> cleanupBeforeExit() override { co_return record("cleanupBeforeExit"); }
    QCoro::Task<> toggleConnection() override { co_return record("toggleConnection"); }
    void selectEndpoint(const Endpoint &endpoint) override
    {
        record("selectEndpoint(" + endpoint.id + ")");
        StateActions::selectEndpoint(endpoint);
    }
    void setOutboundMode(OutboundMode mode) override { record("setOutboundMode(" + rawValue(mode) + ")"); }
    void toggleAIEnhancedMode() override { record("toggleAIEnhancedMode"); }
    void openTelegramProxy() override { record("openTelegramProxy"); }
    void openAIToolLauncher(const QString &command, const QString &displayName) override
    {
        record("openAIToolLauncher(" + command + "," + displayName + ")");
    }
    QCoro::Task<> installWireGuardTools() override { co_return record("installWireGuardTools"); }
    void installWireGuardToolsInTerminal() override
    {
        record("installWireGuardToolsInTerminal");
        if (onTerminalInstaller)
            onTerminalInstaller();
    }
    QCoro::Task<bool> sendVerificationCode(const QString &identity) override
    {
        co_await held("sendVerificationCode(" + identity + ")");
        co_return sendCodeResult;
    }
    QCoro::Task<> login(const QString &identity, const QString &password) override
    {
        co_return record("login(" + identity + "," + password + ")");
    }
    QCoro::Task<> registerAccount(const QString &identity, const QString &password, const QString &code,
                                  const QString &invite) override
    {
        co_return record("register(" + identity + "," + password + "," + code + "," + invite + ")");
    }
    QCoro::Task<> logout() override { co_return record("logout"); }
    QCoro::Task<> refreshPublicData() override { return held("refreshPublicData"); }
    QCoro::Task<> refreshPrivateData() override { return held("refreshPrivateData"); }
    QCoro::Task<> unbindDevice(const Device &device) override { return held("unbindDevice(" + device.id + ")"); }
    QCoro::Task<> submitFeedback(const QString &title, const QString &email, const QString &body) override
    {
        co_return record("submitFeedback(" + title + "|" + email + "|" + body + ")");
    }
    void purchase(const Plan &plan) override { record("purchase(" + plan.id + ")"); }
    void copyInviteLink() override { record("copyInviteLink"); }
    void openClientHome() override { record("openClientHome"); }
    void setLaunchAtLogin(bool enabled) override
    {
        record(QStringLiteral("setLaunchAtLogin(%1)").arg(enabled));
        StateActions::setLaunchAtLogin(enabled);
    }
    bool hasSessionToken() const override { return signedIn; }

    QString last() const { return calls.value(calls.size() - 1); }

Q_SIGNALS:
    void release();

private:
    void record(const QString &call) { calls.append(call); }
    QCoro::Task<> held(QString call)
    {
        record(call);
        if (hold)
            co_await qCoro(this, &RecordingActions::release);
    }
};
