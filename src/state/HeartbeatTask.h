#pragma once

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTask>
#include <QTimer>

#include <chrono>

// The handle of one running heartbeat loop. Cancelling wakes a sleep at once; the loop notices the cancellation
// at the top of its next turn. The loop and the state share the handle, so either may go first.
class HeartbeatTask final
{
public:
    explicit HeartbeatTask(int intervalSeconds) : m_intervalSeconds(intervalSeconds) { m_timer.setSingleShot(true); }
    Q_DISABLE_COPY_MOVE(HeartbeatTask)

    int intervalSeconds() const { return m_intervalSeconds; }
    bool isCancelled() const { return m_cancelled; }

    void cancel()
    {
        m_cancelled = true;
        if (m_timer.isActive())
            m_timer.start(0); // ends the sleep now
    }

    QCoro::Task<> sleep(std::chrono::milliseconds duration)
    {
        if (m_cancelled)
            co_return;
        m_timer.start(duration);
        co_await qCoro(&m_timer, &QTimer::timeout);
    }

private:
    const int m_intervalSeconds;
    bool m_cancelled = false;
    QTimer m_timer;
};
