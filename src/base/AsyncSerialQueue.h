#pragma once

#include <QObject>

#include <coroutine>
#include <deque>
#include <utility>

// Lets coroutine operations of one object run strictly one after another, in the order in which they asked,
// the way a serial executor does that keeps a second operation out while the first awaits a command or a
// sleep. An operation takes its turn first and keeps it until it ends:
//
//     QCoro::Task<> Thing::operation()
//     {
//         const auto turn = co_await m_queue.turn(); // waits here while an earlier operation runs
//         ...                                        // the turn ends when `turn` goes out of scope
//     }
//
// Single-threaded: the queue and every operation live on the thread of one event loop. A waiting operation
// is resumed from that event loop, never inside the previous operation's unwinding. The queue must outlive
// every turn; operations still waiting when it is destroyed are never resumed.
class AsyncSerialQueue final
{
public:
    AsyncSerialQueue() = default;
    Q_DISABLE_COPY_MOVE(AsyncSerialQueue)

    // Held by the running operation; hands the queue on to the next waiting one when destroyed.
    class Turn final
    {
    public:
        Turn(Turn &&other) noexcept : m_queue(std::exchange(other.m_queue, nullptr)) {}
        Turn(const Turn &) = delete;
        Turn &operator=(const Turn &) = delete;
        Turn &operator=(Turn &&) = delete;
        ~Turn()
        {
            if (m_queue)
                m_queue->release();
        }

    private:
        friend class AsyncSerialQueue;
        explicit Turn(AsyncSerialQueue *queue) : m_queue(queue) {}
        AsyncSerialQueue *m_queue;
    };

    class TurnAwaiter final
    {
    public:
        explicit TurnAwaiter(AsyncSerialQueue &queue) : m_queue(queue) {}
        bool await_ready() noexcept { return m_queue.tryTakeAtOnce(); }
        void await_suspend(std::coroutine_handle<> waiting) { m_queue.m_waiting.push_back(waiting); }
        Turn await_resume() noexcept { return Turn(&m_queue); }

    private:
        AsyncSerialQueue &m_queue;
    };

    // co_await it for the turn; it comes at once when nothing runs and nobody waits.
    [[nodiscard]] TurnAwaiter turn() { return TurnAwaiter(*this); }

    bool isBusy() const { return m_busy; }
    int waitingCount() const { return static_cast<int>(m_waiting.size()); }

private:
    bool tryTakeAtOnce();
    void release();

    bool m_busy = false;
    std::deque<std::coroutine_handle<>> m_waiting;
    // Resumptions are posted through this object, so none arrives once the queue is gone.
    QObject m_context;
};
