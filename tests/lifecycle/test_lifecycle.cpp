#include "../flows/ConnectionWorld.h"

#include "core/ProductPaths.h"
#include "runtime/ProxySnapshotFile.h"
#include "tunnel/LocalProxyPorts.h"

#include <QFile>
#include <QProcess>
#include <QTest>

namespace {

bool pointsAtTheClient(const SimulatedMac &mac, SimulatedMac::ProxyKind kind)
{
    for (const QString &service : mac.serviceNames()) {
        const auto setting = mac.proxy(service, kind);
        if (setting.enabled && setting.server == QLatin1String(LocalProxyPorts::host) &&
            (LocalProxyPorts::isOwnedSystemProxyPort(setting.port) || setting.port == LocalProxyPorts::aiProxyPort))
            return true;
    }
    return false;
}

bool anyProxyAtTheClient(const SimulatedMac &mac)
{
    return pointsAtTheClient(mac, SimulatedMac::ProxyKind::Web) ||
           pointsAtTheClient(mac, SimulatedMac::ProxyKind::SecureWeb) ||
           pointsAtTheClient(mac, SimulatedMac::ProxyKind::Socks);
}

// The processes listening on a loopback port (other suites of this machine may hold the same ports).
QList<qint64> listenersOf(int port)
{
    QProcess lsof;
    lsof.start(QStringLiteral("lsof"), {QStringLiteral("-nP"), QStringLiteral("-iTCP:%1").arg(port),
                                        QStringLiteral("-sTCP:LISTEN"), QStringLiteral("-t")});
    lsof.waitForFinished(10000);
    QList<qint64> pids;
    for (const QByteArray &line : lsof.readAllStandardOutput().split('\n')) {
        if (!line.trimmed().isEmpty())
            pids << line.trimmed().toLongLong();
    }
    return pids;
}

} // namespace

// The state over the life of the process: the start-up clean-up, the once-only bootstrap and quitting.
class TestLifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What the crashed run saved of the user's settings comes back exactly; a damaged file is set aside, and
    // nothing of it is applied.
    void startupRemovesWhatACrashedRunLeft_data()
    {
        QTest::addColumn<QByteArray>("saved"); // empty: nothing saved
        QTest::addColumn<bool>("restored");
        const SystemProxy::ProxyState company{true, QStringLiteral("10.0.0.2"), 8080};
        const QByteArray saved = ProxySnapshotFile::encode(
            {{QStringLiteral("Wi-Fi"),
              company,
              company,
              {},
              {QStringLiteral("*.corp.example"), QStringLiteral("intranet")}},
             {QStringLiteral("USB LAN"), {}, {}, {true, QStringLiteral("10.0.0.3"), 3128}, {}}});
        QTest::newRow("nothing saved") << QByteArray() << false;
        QTest::newRow("saved") << saved << true;
        QTest::newRow("damaged") << QByteArray(saved).replace("3128", "\"3128\"") << false;
    }
    void startupRemovesWhatACrashedRunLeft()
    {
        QFETCH(QByteArray, saved);
        QFETCH(bool, restored);
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        // A crashed run left the system proxy pointing at its core.
        world.mac().setProxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks,
                             {true, QStringLiteral("127.0.0.1"), 19090, false});
        world.mac().setProxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Web,
                             {true, QStringLiteral("127.0.0.1"), 19091, false});
        if (!saved.isEmpty())
            QVERIFY(ProductPaths::writePrivateFileAtomically(ProxySnapshotFile::path(), saved));
        world.restartState();
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        QVERIFY(!anyProxyAtTheClient(world.mac()));
        const SimulatedMac::NetworkService wifi = world.mac().service(QStringLiteral("Wi-Fi"));
        QCOMPARE(wifi.web.enabled, restored);
        QCOMPARE(wifi.secureWeb.server, restored ? QStringLiteral("10.0.0.2") : QString());
        QCOMPARE(wifi.bypassDomains.first(), restored ? QStringLiteral("*.corp.example") : QStringLiteral("*.local"));
        QVERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QCOMPARE(QFile::exists(ProxySnapshotFile::path() + QStringLiteral(".unreadable")),
                 !saved.isEmpty() && !restored);
        QVERIFY(world.logged(QStringLiteral("已检查并清理上次异常退出残留连接。")));
        QVERIFY(world.logged(QStringLiteral("客户端已就绪。")));
        QVERIFY(world.state().speedMonitorRunning());
    }

    void bootstrapsOnce()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        QVERIFY(!world.state().bootstrapped());
        awaitTask(world.state().bootstrap());
        awaitTask(world.state().bootstrap());
        QVERIFY(world.state().bootstrapped());
        QVERIFY(world.state().showAuthSheet()); // no stored session
        QCOMPARE(world.requestsTo(QStringLiteral("GET"), QStringLiteral("/api/nodes")), 1);

        // Signed in and restarted: the stored session is read and the private data refreshed, once.
        world.signIn();
        const int accountReads = world.requestsTo(QStringLiteral("GET"), QStringLiteral("/api/me"));
        world.restartState();
        awaitTask(world.state().bootstrap());
        awaitTask(world.state().bootstrap());
        QVERIFY(!world.state().showAuthSheet());
        QCOMPARE(world.state().token().has_value(), true);
        QCOMPARE(world.requestsTo(QStringLiteral("GET"), QStringLiteral("/api/me")), accountReads + 1);
        QVERIFY(world.state().currentUser());
    }

    void withoutTheSwitchTheSelfTestDoesNothing()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        const qsizetype logs = world.state().logs().size();
        awaitTask(world.state().runAutoconnectSmokeTestIfRequested());
        QCOMPARE(world.state().logs().size(), logs);
        QCOMPARE(world.state().connectionState().kind(), ConnectionState::disconnected);
        QCOMPARE(world.protocolConfigRequests().size(), 0);
    }

    void quittingWhileConnectedLeavesNothingBehind()
    {
        ConnectionWorld world(std::nullopt, {QStringLiteral("--provisioning-ms"), QStringLiteral("0")});
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        world.connectTo(QStringLiteral("ep_hk_01"));
        AppState &state = world.state();
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage()));
        const int port = state.localProxyPort();
        const QList<qint64> cores = listenersOf(port);
        QVERIFY(!cores.isEmpty());
        QVERIFY(anyProxyAtTheClient(world.mac()));
        QVERIFY(QFile::exists(ProxySnapshotFile::path()));

        awaitTask(state.cleanupBeforeExit());
        QVERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        QVERIFY(!state.connectedAt());
        QVERIFY(!state.aiProxyReady());
        QVERIFY(!state.speedMonitorRunning());
        for (const qint64 pid : cores)
            QVERIFY2(!TunnelFixtures::processAlive(pid), qPrintable(QString::number(pid)));
        QVERIFY(!anyProxyAtTheClient(world.mac()));
        QCOMPARE(world.mac().promptCount(), 0);
    }

    void aConnectUnderWayWhenQuittingBeginsAsksForNoPassword()
    {
        ConnectionWorld world(ConnectionWorld::demoDataSet({"ep_uk_01"})); // its provisioning fails
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        QCoro::Task<void> pressed = world.state().toggleConnection();
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(QStringLiteral("正在获取节点协议配置。")), 30000);
        // A proxy of the client's that only an administrator may switch off: a clean-up allowed to prompt would.
        world.mac().setProxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks, {true, "127.0.0.1", 19090});
        world.mac().rejectAsUser(QStringLiteral("Wi-Fi"));

        awaitTask(world.state().cleanupBeforeExit());
        awaitTask(std::move(pressed), std::chrono::seconds(120));
        QCOMPARE(world.mac().promptCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLifecycle)
#include "test_lifecycle.moc"
