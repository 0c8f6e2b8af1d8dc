#include "AppDelegate.h"

#include "Tasks.h"

#include <QCoro/QCoroTimer>
#include <QDebug>

AppDelegate::AppDelegate(std::chrono::milliseconds guard, QObject *parent) : QObject(parent), m_guard(guard)
{
}

void AppDelegate::attach(QObject *state, Cleanup cleanup)
{
    m_state = state;
    m_cleanup = std::move(cleanup);
}

AppDelegate::Reply AppDelegate::shouldTerminate()
{
    if (m_isTerminating)
        return Reply::terminateNow;
    if (!m_state || !m_cleanup)
        return Reply::terminateNow; // the window never showed: nothing was started that needs undoing
    m_isTerminating = true;
    startTask(runCleanup(), "cleanupBeforeExit");
    startTask(runGuard(), "quit guard");
    return Reply::terminateLater;
}

QCoro::Task<> AppDelegate::runCleanup()
{
    QPointer<AppDelegate> self(this);
    try {
        co_await m_cleanup();
    } catch (const std::exception &error) {
        // A failed clean-up must not keep the application from quitting.
        qWarning().noquote() << "clean-up before quitting failed:" << error.what();
    }
    if (self)
        self->reply();
}

QCoro::Task<> AppDelegate::runGuard()
{
    QPointer<AppDelegate> self(this);
    co_await QCoro::sleepFor(m_guard);
    if (self)
        self->reply();
}

void AppDelegate::reply()
{
    // Both tasks end here; the flag is tested and set without a suspension in between, so only the first counts.
    if (m_didReplyToTermination)
        return;
    m_didReplyToTermination = true;
    Q_EMIT terminationApproved();
}
