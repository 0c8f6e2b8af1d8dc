#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"
#include "core/AppState.h"

#include <QCoro/QCoroTimer>
#include <QTest>

#include <chrono>

Q_DECLARE_METATYPE(TunnelHealthCheck)

using namespace std::chrono_literals;

namespace {

// A health probe whose verdicts the test writes in advance; the last one repeats. Each answer may be held back.
struct ScriptedProbe
{
    QList<TunnelHealthCheck> verdicts;
    std::chrono::milliseconds hold = 0ms;
    int calls = 0;
    int answered = 0;
    bool probedAIEntry = false;

    static QCoro::Task<TunnelHealthCheck> answer(ScriptedProbe *probe)
    {
        const int index = probe->calls++;
        if (probe->hold > 0ms)
            co_await QCoro::sleepFor(probe->hold);
        ++probe->answered;
        co_return probe->verdicts.at(std::min<qsizetype>(index, probe->verdicts.size() - 1));
    }

    AppState::HealthProbe function()
    {
        return [this](int, bool aiEntry) {
            probedAIEntry = probedAIEntry || aiEntry;
            return answer(this);
        };
    }
};

TunnelHealthCheck passed()
{
    return {true, QStringLiteral("系统代理入口保活正常。")};
}

TunnelHealthCheck failed(const QString &summary)
{
    return {false, summary};
}

// A heartbeat minute lasts 120 ms here; the product's intervals stay as they are.
constexpr double timeScale = 0.002;

QStringList heartbeatLines(const AppState &state)
{
    QStringList lines; // oldest first
    for (const LogEntry &entry : state.logs())
        if (entry.message.startsWith(QStringLiteral("连接保活异常")) ||
            entry.message.startsWith(QStringLiteral("正在自动修复")))
            lines.prepend(entry.message);
    return lines;
}

Endpoint someEndpoint()
{
    return placeholderEndpoints().first();
}

Device thisComputer()
{
    Device device;
    device.id = QStringLiteral("dev_local");
    device.name = QStringLiteral("Test Mac");
    return device;
}

// A state on a simulated Mac, past its start-up clean-up, so nothing the state does reaches this machine.
struct HeartbeatWorld
{
    TestHome home;
    SimulatedMac mac;
    std::unique_ptr<AppState> owned;
    AppState &state;

    HeartbeatWorld() : owned(std::make_unique<AppState>()), state(*owned)
    {
        for (int waited = 0; !state.startupCleanupFinished() && waited < 20000; waited += 20)
            QTest::qWait(20);
    }
    ~HeartbeatWorld()
    {
        state.stopConnectionHeartbeat();
        QTest::qWait(20); // a cancelled loop ends on its next turn; the last test must not leave it behind
    }
    bool isValid() const { return mac.isValid() && state.startupCleanupFinished(); }
};

} // namespace

// The heartbeat loop with a scripted probe: intervals, counting, the system-proxy stop and superseded probes.
class TestLifecycleHeartbeat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void intervalIsChosenAtStart_data()
    {
        QTest::addColumn<bool>("aiMode");
        QTest::addColumn<int>("interval");
        QTest::newRow("AI-enhanced mode off") << false << 60;
        QTest::newRow("AI-enhanced mode on") << true << 30;
    }

    void intervalIsChosenAtStart()
    {
        QFETCH(bool, aiMode);
        QFETCH(int, interval);
        HeartbeatWorld world;
        QVERIFY(world.isValid());
        AppState &state = world.state;
        if (aiMode)
            state.toggleAIEnhancedMode();
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::nullopt);

        state.startConnectionHeartbeat(someEndpoint(), thisComputer(), std::nullopt);
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::optional<int>(interval));
        state.toggleAIEnhancedMode(); // only the next start sees it
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::optional<int>(interval));

        const QUuid running = state.connectionSessionId();
        state.stopConnectionHeartbeat();
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::nullopt);
        QVERIFY(state.connectionSessionId() != running);
        state.startConnectionHeartbeat(someEndpoint(), thisComputer(), std::nullopt);
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::optional<int>(aiMode ? 60 : 30));
        state.stopConnectionHeartbeat();
    }

    void failuresAreCountedAndAPassResetsThem_data()
    {
        QTest::addColumn<QList<TunnelHealthCheck>>("verdicts");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("failuresAfter");

        const QString a = QStringLiteral("系统代理入口 127.0.0.1:19090 外网保活失败。");
        const QString b = QStringLiteral("AI 专用入口 127.0.0.1:19110 OpenAI/Claude 保活失败。");
        QTest::newRow("fail, pass, fail, pass")
            << QList<TunnelHealthCheck>{failed(a), passed(), failed(b), passed()}
            << QStringList{"连接保活异常（1/2）：" + a, "连接保活异常（1/2）：" + b} << 0;
        // Without a session there is nothing to recover with: the counter keeps climbing and the line says so.
        QTest::newRow("three failures, signed out")
            << QList<TunnelHealthCheck>{failed(a), failed(a), failed(b), passed()}
            << QStringList{"连接保活异常（1/2）：" + a, "连接保活异常（2/2）：" + a, "连接保活异常（3/2）：" + b} << 0;
    }

    void failuresAreCountedAndAPassResetsThem()
    {
        QFETCH(QList<TunnelHealthCheck>, verdicts);
        QFETCH(QStringList, lines);
        QFETCH(int, failuresAfter);
        HeartbeatWorld world;
        QVERIFY(world.isValid());
        AppState &state = world.state;
        ScriptedProbe probe{verdicts};
        state.setTimeScaleForTesting(timeScale);
        state.setHealthProbeForTesting(probe.function());
        state.setConnectionState(ConnectionState::connected);
        state.toggleAIEnhancedMode(); // on while connected: the running tunnel has no AI entry to probe
        QCOMPARE(state.logs().first().message, QStringLiteral("AI 增强模式变更将在下次一键连接后完全生效。"));

        state.startConnectionHeartbeat(someEndpoint(), thisComputer(), 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(probe.answered >= verdicts.size(), 10000);
        state.stopConnectionHeartbeat();
        QVERIFY(!probe.probedAIEntry);
        QCOMPARE(heartbeatLines(state), lines);
        QCOMPARE(state.consecutiveHealthFailures(), failuresAfter);
        QCOMPARE(state.connectionState().kind(), ConnectionState::connected);
        QCOMPARE(state.autoRecoverySwitchCount(), 0);
        QVERIFY(!state.autoRecoveryInProgress());

        // Stopped means stopped: no probe after the stop.
        const int calls = probe.calls;
        QTest::qWait(400);
        QCOMPARE(probe.calls, calls);
    }

    void lostSystemProxyStopsTheConnectionAtOnce()
    {
        HeartbeatWorld world; // the clean-up after the stop runs against the simulated Mac
        QVERIFY(world.isValid());
        AppState &state = world.state;
        const QString summary = QStringLiteral("系统代理未生效，已尝试重新设置但仍为空。");
        ScriptedProbe probe{{failed(summary)}};
        state.setTimeScaleForTesting(timeScale);
        state.setHealthProbeForTesting(probe.function());
        state.setConnectionState(ConnectionState::connected);
        state.setConnectedAt(QDateTime::currentDateTime());
        state.setAiProxyReady(true);
        state.setAlertAction(AppAlertAction::installWireGuardTools);

        state.startConnectionHeartbeat(someEndpoint(), thisComputer(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionState(), ConnectionState::makeFailed(summary), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionHeartbeatIntervalSeconds(), std::nullopt, 10000);
        QCOMPARE(heartbeatLines(state), QStringList{"连接保活异常（1/2）：" + summary});
        QCOMPARE(state.connectedAt(), std::nullopt);
        QVERIFY(!state.aiProxyReady());
        QCOMPARE(state.currentConfigPath(), std::optional<QString>("系统代理未生效，Tovren 已停止当前连接状态。"));
        QCOMPARE(state.alertAction(), std::nullopt);
        QCOMPARE(
            state.alertMessage(),
            std::optional<QString>("系统代理未生效，已尝试重新设置但仍为空。请允许 Tovren 修改系统代理后重新连接。"));
        QTest::qWait(400);
        QCOMPARE(probe.calls, 1);
        QCOMPARE(state.autoRecoverySwitchCount(), 0);
    }

    void supersededProbeReportsNothing_data()
    {
        QTest::addColumn<QString>("interruption");
        QTest::newRow("heartbeat stopped") << "stop";
        QTest::newRow("heartbeat restarted") << "restart";
        QTest::newRow("connection ended") << "disconnect";
    }

    void supersededProbeReportsNothing()
    {
        QFETCH(QString, interruption);
        HeartbeatWorld world;
        QVERIFY(world.isValid());
        AppState &state = world.state;
        // The first probe hangs and then fails; whatever comes after it passes.
        ScriptedProbe probe{{failed(QStringLiteral("探测超时。")), passed()}, 300ms};
        state.setTimeScaleForTesting(timeScale);
        state.setHealthProbeForTesting(probe.function());
        state.setConnectionState(ConnectionState::connected);
        state.startConnectionHeartbeat(someEndpoint(), thisComputer(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(probe.calls, 1, 5000);
        QCOMPARE(probe.answered, 0);

        if (interruption == QLatin1String("stop")) {
            state.stopConnectionHeartbeat();
        } else if (interruption == QLatin1String("restart")) {
            probe.hold = 0ms;
            state.startConnectionHeartbeat(someEndpoint(), thisComputer(), std::nullopt);
        } else {
            state.setConnectionState(ConnectionState::disconnected);
        }
        QTRY_VERIFY_WITH_TIMEOUT(probe.answered >= 1, 5000);
        QTest::qWait(300);
        QCOMPARE(heartbeatLines(state), QStringList());
        QCOMPARE(state.consecutiveHealthFailures(), 0);
        state.stopConnectionHeartbeat();
    }
};

QTEST_GUILESS_MAIN(TestLifecycleHeartbeat)
#include "test_lifecycle_heartbeat.moc"
