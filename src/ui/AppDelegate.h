#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <chrono>
#include <functional>

// Decides whether the application may quit now. Once the main window was shown, the first request is
// answered "later": the clean-up runs, and the application is told to go ahead when it finishes or when the
// guard time has passed, whichever comes first, exactly once. Any further request is answered "now".
class AppDelegate final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    enum class Reply { terminateNow, terminateLater };
    using Cleanup = std::function<QCoro::Task<>()>;
    static constexpr std::chrono::milliseconds defaultGuard{3000};

    explicit AppDelegate(std::chrono::milliseconds guard = defaultGuard, QObject *parent = nullptr);

    // Hands over the state (held weakly) and its clean-up; done when the main window is first shown.
    void attach(QObject *state, Cleanup cleanup);

    Reply shouldTerminate();

    bool isTerminating() const { return m_isTerminating; }
    bool didReplyToTermination() const { return m_didReplyToTermination; }
    std::chrono::milliseconds guard() const { return m_guard; }

Q_SIGNALS:
    // The one late reply: the application should quit now.
    void terminationApproved();

private:
    QCoro::Task<> runCleanup();
    QCoro::Task<> runGuard();
    void reply();

    std::chrono::milliseconds m_guard;
    QPointer<QObject> m_state;
    Cleanup m_cleanup;
    bool m_isTerminating = false;
    bool m_didReplyToTermination = false;
};
