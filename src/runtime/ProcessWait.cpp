#include "ProcessWait.h"

#include <QCoreApplication>
#include <QProcess>

#include <coroutine>
#include <memory>
#include <utility>

namespace {

enum class Moment { started, finished };

// Copyable, because QCoro's tasks take awaiters by value; the state lives on the heap.
class ProcessMoment final
{
public:
    ProcessMoment(QProcess &process, Moment moment)
        : m_process(&process), m_moment(moment), m_state(std::make_shared<State>())
    {
    }

    bool await_ready() const noexcept
    {
        const QProcess::ProcessState state = m_process->state();
        return m_moment == Moment::started ? state != QProcess::Starting : state == QProcess::NotRunning;
    }

    void await_suspend(std::coroutine_handle<> waiting)
    {
        // The awaiter, and with it the state, lives in the coroutine frame until the coroutine resumes;
        // the connections die with the state's context object.
        State *state = m_state.get();
        state->waiting = waiting;
        if (m_moment == Moment::started)
            state->reached =
                QObject::connect(m_process, &QProcess::started, &state->context, [state] { state->resume(); });
        else
            state->reached =
                QObject::connect(m_process, &QProcess::finished, &state->context, [state] { state->resume(); });
        state->failed = QObject::connect(m_process, &QProcess::errorOccurred, &state->context,
                                         [state](QProcess::ProcessError error) {
                                             if (error == QProcess::FailedToStart)
                                                 state->resume();
                                         });
    }

    void await_resume() const noexcept {}

private:
    struct State
    {
        QObject context;
        std::coroutine_handle<> waiting;
        QMetaObject::Connection reached;
        QMetaObject::Connection failed;

        void resume()
        {
            if (!waiting)
                return;
            QObject::disconnect(reached);
            QObject::disconnect(failed);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [handle = std::exchange(waiting, {})] { handle.resume(); },
                Qt::QueuedConnection);
        }
    };

    QProcess *m_process;
    Moment m_moment;
    std::shared_ptr<State> m_state;
};

} // namespace

namespace ProcessWait {

QCoro::Task<> untilStarted(QProcess &process)
{
    co_await ProcessMoment(process, Moment::started);
}

QCoro::Task<> untilFinished(QProcess &process)
{
    co_await ProcessMoment(process, Moment::finished);
}

} // namespace ProcessWait
