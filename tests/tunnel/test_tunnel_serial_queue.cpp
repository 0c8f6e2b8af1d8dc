// The serial turns that keep the long-lived components' operations from overlapping.
#include "AwaitTask.h"

#include "core/AsyncSerialQueue.h"

#include "TestHome.h"

#include <QCoroTimer>
#include <QTest>

#include <stdexcept>

using namespace std::chrono_literals;

namespace {

// An operation of some component: takes its turn, then holds it across a wait.
struct Recorder
{
    AsyncSerialQueue queue;
    QStringList events;
    int running = 0;
    int mostAtOnce = 0;

    QCoro::Task<> operation(QString name, std::chrono::milliseconds wait, bool fail = false)
    {
        const auto turn = co_await queue.turn();
        ++running;
        mostAtOnce = std::max(mostAtOnce, running);
        events << name + QStringLiteral(" start");
        co_await QCoro::sleepFor(wait);
        events << name + QStringLiteral(" end");
        --running;
        if (fail)
            throw std::runtime_error("failed");
    }
};

QCoro::Task<> all(std::vector<QCoro::Task<>> tasks)
{
    for (QCoro::Task<> &task : tasks) {
        try {
            co_await std::move(task);
        } catch (const std::exception &) {
        }
    }
}

} // namespace

class TestTunnelSerialQueue : public QObject
{
    Q_OBJECT

    TestHome m_home;

private Q_SLOTS:
    void operationsRunInArrivalOrderWithoutOverlap()
    {
        Recorder recorder;
        std::vector<QCoro::Task<>> tasks;
        // The longest first: without turns the shortest would end first.
        tasks.push_back(recorder.operation("a", 120ms));
        tasks.push_back(recorder.operation("b", 10ms));
        tasks.push_back(recorder.operation("c", 40ms));
        QCOMPARE(recorder.queue.waitingCount(), 2);

        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(5);
        awaitTask(all(std::move(tasks)));

        QCOMPARE(recorder.events, (QStringList{"a start", "a end", "b start", "b end", "c start", "c end"}));
        QCOMPARE(recorder.mostAtOnce, 1);
        QVERIFY(!recorder.queue.isBusy());
        // Waiting for a turn suspends; the event loop keeps serving everything else.
        QVERIFY(ticks > 10);
    }

    void aFailedOperationPassesItsTurnOn()
    {
        Recorder recorder;
        std::vector<QCoro::Task<>> tasks;
        tasks.push_back(recorder.operation("a", 10ms, true));
        tasks.push_back(recorder.operation("b", 10ms));
        awaitTask(all(std::move(tasks)));
        QCOMPARE(recorder.events, (QStringList{"a start", "a end", "b start", "b end"}));
        QVERIFY(!recorder.queue.isBusy());
    }

    void anIdleQueueGivesTheTurnAtOnce()
    {
        Recorder recorder;
        auto task = recorder.operation("a", 10ms);
        // Started synchronously, before any event was processed.
        QCOMPARE(recorder.events, QStringList{"a start"});
        awaitTask(std::move(task));
    }

    // A newcomer that asks while the turn is being handed on queues behind the one it was handed to.
    void theHandOverCannotBeOvertaken()
    {
        Recorder recorder;
        std::vector<QCoro::Task<>> tasks;
        tasks.push_back(recorder.operation("a", 10ms));
        tasks.push_back(recorder.operation("b", 10ms));
        awaitTask(std::move(tasks.front()));
        // "a" has ended and handed on to "b", which has not resumed yet.
        QVERIFY(recorder.queue.isBusy());
        auto late = recorder.operation("c", 1ms);
        QCOMPARE(recorder.queue.waitingCount(), 1);
        awaitTask(std::move(tasks.back()));
        awaitTask(std::move(late));
        QCOMPARE(recorder.events, (QStringList{"a start", "a end", "b start", "b end", "c start", "c end"}));
    }
};

QTEST_GUILESS_MAIN(TestTunnelSerialQueue)
#include "test_tunnel_serial_queue.moc"
