// The state's part in the life of the process: the start-up clean-up, the once-only bootstrap, the start-up
// self-test and the clean-up before quitting.
#include "AppState.h"

#include <QCoreApplication>
#include <QCoro/QCoroTimer>
#include <QPointer>

QCoro::Task<void> AppState::runStartupCleanup()
{
    // Runs detached from the constructor: nothing may escape it, and the state may be gone when it resumes.
    QPointer<AppState> self(this);
    const std::shared_ptr<TunnelCoordinator> tunnel = m_dependencies.tunnel;
    try {
        co_await tunnel->cleanupRuntimeArtifacts(true);
    } catch (...) {
        // a failed clean-up is not reported; the next connect cleans again
    }
    if (!self)
        co_return;
    m_startupCleanupFinished = true;
    m_model.appendLog(QStringLiteral("已检查并清理上次异常退出残留连接。"));
}

QCoro::Task<void> AppState::bootstrap()
{
    if (m_bootstrapped)
        co_return;
    m_bootstrapped = true;
    m_model.setToken(m_account.sessionStore().read());
    m_model.setShowAuthSheet(!m_model.token());
    co_await m_account.refreshPublicData();
    if (m_model.token())
        co_await m_account.refreshPrivateData();
}

QCoro::Task<void> AppState::runAutoconnectSmokeTestIfRequested()
{
    if (!QCoreApplication::arguments().contains(autoconnectSmokeSwitch))
        co_return;
    m_model.appendLog(QStringLiteral("自动化连接测试：准备触发一键连接。"));
    co_await QCoro::sleepFor(std::chrono::milliseconds(800));
    co_await toggleConnection();
}

QCoro::Task<void> AppState::cleanupBeforeExit()
{
    m_speedMonitor.stop();
    return m_connection.cleanupBeforeExit();
}
