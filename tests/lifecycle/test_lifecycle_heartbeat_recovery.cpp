#include "ConnectionWorld.h"

#include <QCoro/QCoroTimer>
#include <QJsonArray>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// A heartbeat minute lasts 120 ms here; the product's intervals stay as they are.
constexpr double timeScale = 0.002;

const QString hk = QStringLiteral("ep_hk_01");
const QString jp = QStringLiteral("ep_jp_01");
const QString wireGuard = QStringLiteral("ep_de_wg");

// A SOCKS upstream of one endpoint's own, which the test can take away while the endpoint is connected.
struct MortalUpstream
{
    TunnelFixtures::OwnedProcess process;
    int port = TunnelFixtures::freePort();

    bool start()
    {
        process.start(QStringLiteral("/usr/bin/microsocks"), {"-i", "127.0.0.1", "-p", QString::number(port)});
        return process.waitForStarted() &&
               TunnelFixtures::eventually([this] { return TunnelFixtures::listening(port); });
    }
    void die()
    {
        process.kill();
        process.waitForFinished();
    }
};

QCoro::Task<TunnelHealthCheck> failingProbe(QString summary)
{
    co_await QCoro::sleepFor(10ms);
    co_return TunnelHealthCheck{false, summary};
}

QList<QJsonObject> reportsFor(ConnectionWorld &world, const QString &endpointId, const QString &status)
{
    QList<QJsonObject> found;
    for (const QJsonValue &entry : world.connectionReports()) {
        const QJsonObject report = entry[QStringLiteral("report")].toObject();
        if (report[QStringLiteral("endpointId")].toString() == endpointId &&
            report[QStringLiteral("status")].toString() == status)
            found << report;
    }
    return found;
}

int linesContaining(const AppState &state, const QString &text)
{
    return std::count_if(state.logs().cbegin(), state.logs().cend(),
                         [&](const LogEntry &entry) { return entry.message.contains(text); });
}

} // namespace

// The heartbeat and the automatic recovery on a real connection: the stand-in control plane and core on a
// simulated Mac.
class TestLifecycleHeartbeatRecovery : public QObject
{
    Q_OBJECT

    std::unique_ptr<ConnectionWorld> m_world;

    // Signed in and connected to the Hong Kong endpoint, with heartbeat minutes of 120 ms.
    bool connectToHongKong(const QJsonObject &dataSet)
    {
        m_world = std::make_unique<ConnectionWorld>(dataSet);
        if (!m_world->isValid()) {
            qWarning() << m_world->errorString();
            return false;
        }
        m_world->state().setTimeScaleForTesting(timeScale);
        m_world->signIn();
        m_world->connectTo(hk);
        return m_world->state().connectionState().is(ConnectionState::connected);
    }

private Q_SLOTS:
    void cleanup() { m_world.reset(); }

    void deadUpstreamRecoversToAnotherEndpoint()
    {
        MortalUpstream upstream;
        QVERIFY(upstream.start());
        QJsonObject data = ConnectionWorld::demoDataSet({hk, jp});
        ConnectionWorld::leadUpstreamTo(data, hk, upstream.port);
        QVERIFY(connectToHongKong(data));
        ConnectionWorld &world = *m_world;
        AppState &state = world.state();
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::optional<int>(60));
        const int hkPort = state.localProxyPort(); // 19090 unless another suite holds it
        const qint64 hkFailuresBefore = state.endpointQualityStats().value(hk).failedConnections;

        upstream.die();
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(QStringLiteral("已自动切换到 日本 东京 01。")), 90000);
        const QString summary = QStringLiteral("系统代理入口 127.0.0.1:%1 外网保活失败。").arg(hkPort);
        QVERIFY(world.logged(QStringLiteral("连接保活异常（1/2）：") + summary));
        QVERIFY(world.logged(QStringLiteral("连接保活异常（2/2）：") + summary));
        QVERIFY(world.logged(QStringLiteral("正在自动修复连接，并切换到更稳定的节点。")));
        QVERIFY(world.logged(QStringLiteral("自动恢复：正在尝试 日本 东京 01。")));

        QCOMPARE(state.connectionState().kind(), ConnectionState::connected);
        QCOMPARE(state.selectedEndpointId(), std::optional<QString>(jp));
        QCOMPARE(state.autoRecoverySwitchCount(), 1);
        QCOMPARE(state.consecutiveHealthFailures(), 0);
        // The device list is refreshed after the switch is announced; the recovery ends after that.
        QTRY_VERIFY_WITH_TIMEOUT(!state.autoRecoveryInProgress(), 10000);
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::optional<int>(60)); // restarted
        QCOMPARE(state.endpointQualityStats().value(hk).failedConnections, hkFailuresBefore + 1);
        QCOMPARE(state.endpointQualityStats().value(jp).successfulConnections, 1);
        QCOMPARE(state.quickConnectCache().value().endpointId, jp);

        const QList<QJsonObject> failures = reportsFor(world, hk, QStringLiteral("failed"));
        QCOMPARE(failures.size(), 2);
        QCOMPARE(failures.first()[QStringLiteral("errorMessage")].toString(), summary);
        QVERIFY(!reportsFor(world, jp, QStringLiteral("connected")).isEmpty());

        // The new connection carries traffic, and its heartbeat passes.
        QVERIFY(!TunnelFixtures::curlThroughProxy(state.localProxyPort(), QStringLiteral("http://example.com/echo"))
                     .isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(reportsFor(world, jp, QStringLiteral("connected")).size() >= 2, 30000);
        QCOMPARE(linesContaining(state, QStringLiteral("连接保活异常")), 2);
    }

    void aThirdRecoveryIsRefused()
    {
        QVERIFY(connectToHongKong(ConnectionWorld::demoDataSet({hk, jp})));
        ConnectionWorld &world = *m_world;
        AppState &state = world.state();

        // Every probe fails, so every recovery ends in a connection that fails again.
        const QString summary = QStringLiteral("系统代理入口 127.0.0.1:19090 外网保活失败。");
        state.setHealthProbeForTesting([summary](int, bool) { return failingProbe(summary); });
        const QString limit = QStringLiteral("连接保活异常，但本次连接已达到自动切线次数上限，请手动刷新或切换节点。");
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(limit), 120000);
        QCOMPARE(state.autoRecoverySwitchCount(), 2);
        // No switch is left: the connection ends as a failed connect does, and traffic goes direct again.
        QCOMPARE(state.connectionState(), ConnectionState::makeFailed(limit));
        QCOMPARE(state.connectedAt(), std::nullopt);
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::nullopt);
        QCOMPARE(state.alertMessage(), std::optional<QString>(limit));
        QTRY_COMPARE_WITH_TIMEOUT(
            world.connectionReports().last()[QStringLiteral("report")][QStringLiteral("errorMessage")].toString(),
            limit, 30000);
        QVERIFY(!state.tunnel().activeMode().has_value());
        QVERIFY(!world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).enabled);
        QCOMPARE(state.autoRecoverySwitchCount(), 2);
    }

    // Regression: a recovery under way must not bring back a connection the user has just ended.
    void aDisconnectDuringRecoveryIsFinal()
    {
        QVERIFY(connectToHongKong(ConnectionWorld::demoDataSet({hk, jp})));
        ConnectionWorld &world = *m_world;
        AppState &state = world.state();
        const QString summary = QStringLiteral("系统代理入口 127.0.0.1:19090 外网保活失败。");
        state.setHealthProbeForTesting([summary](int, bool) { return failingProbe(summary); });
        QTRY_VERIFY_WITH_TIMEOUT(state.connectionState().is(ConnectionState::repairing), 30000);

        awaitTask(state.disconnect());
        QTRY_VERIFY_WITH_TIMEOUT(!state.autoRecoveryInProgress(), 60000);
        QTest::qWait(500);
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        QVERIFY(!world.logged(QStringLiteral("已自动切换到 日本 东京 01。")));
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::nullopt);
        QVERIFY(!state.tunnel().activeMode().has_value());
        QVERIFY(!world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).enabled);
        QCOMPARE(world.crashReports().size(), 0);
    }

    void aLostSystemProxyThatCannotBeRestoredStopsTheConnection()
    {
        QVERIFY(connectToHongKong(ConnectionWorld::demoDataSet({hk, jp})));
        ConnectionWorld &world = *m_world;
        AppState &state = world.state();
        const int reportsBefore = world.connectionReports().size();

        // Someone switched the proxy off, and the client may not switch it on again.
        SimulatedMac &mac = world.mac();
        mac.rejectAsUser(QStringLiteral("Wi-Fi"));
        mac.setPromptCancelled(true);
        for (const auto kind :
             {SimulatedMac::ProxyKind::Web, SimulatedMac::ProxyKind::SecureWeb, SimulatedMac::ProxyKind::Socks})
            mac.setProxy(QStringLiteral("Wi-Fi"), kind, {});

        const QString summary = QStringLiteral("系统代理未生效，已尝试重新设置但仍为空。");
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionState(), ConnectionState::makeFailed(summary), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionHeartbeatIntervalSeconds(), std::nullopt, 10000);
        QCOMPARE(
            state.alertMessage(),
            std::optional<QString>("系统代理未生效，已尝试重新设置但仍为空。请允许 Tovren 修改系统代理后重新连接。"));
        QCOMPARE(state.currentConfigPath(), std::optional<QString>("系统代理未生效，Tovren 已停止当前连接状态。"));
        QVERIFY(world.logged(QStringLiteral("连接保活异常（1/2）：") + summary));
        QCOMPARE(state.autoRecoverySwitchCount(), 0);
        QCOMPARE(linesContaining(state, QStringLiteral("正在自动修复连接")), 0);
        QCOMPARE(world.connectionReports().size(), reportsBefore + 1);
        QCOMPARE(reportsFor(world, hk, QStringLiteral("failed")).size(), 1);
    }

    void aRecoveryThatOnlyFindsWireGuardFails()
    {
        QVERIFY(connectToHongKong(ConnectionWorld::demoDataSet({hk, wireGuard})));
        ConnectionWorld &world = *m_world;
        AppState &state = world.state();

        const QString summary = QStringLiteral("系统代理入口 127.0.0.1:19090 外网保活失败。");
        state.setHealthProbeForTesting([summary](int, bool) { return failingProbe(summary); });
        const QString reason = QStringLiteral("自动恢复需要可运行的 sing-box 代理内核。");
        const QString message = QStringLiteral("已尝试 德国 WireGuard，") + reason;
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionState(), ConnectionState::makeFailed("自动恢复失败：" + message),
                                  90000);
        QTRY_VERIFY_WITH_TIMEOUT(!state.autoRecoveryInProgress(), 10000);
        QCOMPARE(state.alertMessage(), std::optional<QString>(message));
        QVERIFY(world.logged(QStringLiteral("自动恢复失败：德国 ") + reason));
        QVERIFY(world.logged(QStringLiteral("自动恢复失败：") + message));
        QCOMPARE(state.connectionHeartbeatIntervalSeconds(), std::nullopt); // stays stopped
        QCOMPARE(reportsFor(world, wireGuard, QStringLiteral("failed")).size(), 1);

        const QJsonArray crashes = world.crashReports();
        QCOMPARE(crashes.size(), 1);
        const QJsonObject crash = crashes.first()[QStringLiteral("report")].toObject();
        QCOMPARE(crash[QStringLiteral("crashType")].toString(), QStringLiteral("macos-auto-recovery"));
        QCOMPARE(crash[QStringLiteral("reason")].toString(), message);
    }
};

QTEST_GUILESS_MAIN(TestLifecycleHeartbeatRecovery)
#include "test_lifecycle_heartbeat_recovery.moc"
