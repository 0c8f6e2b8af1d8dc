#include "testkit/ConnectionWorld.h"
#include "testkit/EndToEnd.h"

#include "api/SessionStore.h"
#include "base/Preferences.h"
#include "runtime/ProxySnapshotFile.h"

#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int connectTimeoutMs = 90'000;
const QString connectedLine = QStringLiteral("sing-box 内核已连接：");
const QString startupCleanupLine = QStringLiteral("已检查并清理上次异常退出残留连接。");

} // namespace

// The real executable against the devstack: what quitting and a crash leave on the Mac.
class TestE2eProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0); }

    void init()
    {
        m_world = std::make_unique<ConnectionWorld>(std::nullopt, QStringList(), ConnectionWorld::InProcessState::no);
        QVERIFY2(m_world->isValid(), qPrintable(m_world->errorString()));
        // A stored session, as an earlier sign-in leaves it.
        const QString token = m_world->plane().signIn(QStringLiteral("demo@tovren.dev"));
        QVERIFY(!token.isEmpty());
        Preferences preferences;
        SessionStore(preferences).save(token);
        preferences.sync();
        m_userSettings = EndToEnd::setCompanyProxy(m_world->mac());
    }

    void cleanup()
    {
        m_clients.clear();
        // Cores and guards the clients left behind are ours to end: they run with this test's home.
        const QList<qint64> left = EndToEnd::coresBelow(m_world->homePath()) + EndToEnd::guardsOf(m_world->homePath());
        for (qint64 pid : left)
            ::kill(pid_t(pid), SIGKILL);
        m_reaper.adopt(left);
        QVERIFY(QTest::qWaitFor([this] { return EndToEnd::coresBelow(m_world->homePath()).isEmpty(); }, 5000));
        m_world.reset();
    }

    void quittingWhileConnectedLeavesNothingBehind()
    {
        EndToEnd::Client &client = connectedClient();
        if (QTest::currentTestFailed())
            return;
        const int port = EndToEnd::systemProxy(m_world->mac()).socksPort;

        client.process().terminate(); // SIGTERM, as the session manager or `kill` sends it
        QVERIFY(client.waitForEnd(15'000));
        // The default handler would have ended it by the signal: it quit on its own, after its clean-up.
        QCOMPARE(client.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.process().exitCode(), 0);
        QCOMPARE(EndToEnd::coresBelow(m_world->homePath()), QList<qint64>());
        QVERIFY(!TunnelFixtures::listening(port));
        // When quitting's 3 s bound cuts the clean-up short (a busy machine), the guard completes it.
        QTRY_COMPARE_WITH_TIMEOUT(EndToEnd::clientProxySettings(m_world->mac()), QStringList(), 10'000);
        QTRY_VERIFY(EndToEnd::sameProxySettings(m_world->mac().service(QStringLiteral("Wi-Fi")), m_userSettings));
        QTRY_VERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QTRY_COMPARE(EndToEnd::guardsOf(m_world->homePath()), QList<qint64>());
        QCOMPARE(m_world->mac().promptCount(), 0);
    }

    // A killed client's guard ends the core and puts the user's own settings back; with the guard killed too, the
    // next start does, from the saved snapshot.
    void aCrashIsUndone_data()
    {
        QTest::addColumn<bool>("guardKilledToo");
        QTest::newRow("by the guard") << false;
        QTest::newRow("at the next start") << true;
    }
    void aCrashIsUndone()
    {
        QFETCH(bool, guardKilledToo);
        EndToEnd::Client &crashed = connectedClient();
        if (QTest::currentTestFailed())
            return;
        const QList<qint64> cores = EndToEnd::coresBelow(m_world->homePath());
        const QList<qint64> guards = EndToEnd::guardsOf(m_world->homePath());
        QCOMPARE(cores.size(), 1);
        QCOMPARE(guards.size(), 1);
        QVERIFY(QFile::exists(ProxySnapshotFile::path()));
        const int port = EndToEnd::systemProxy(m_world->mac()).socksPort;

        if (guardKilledToo)
            ::kill(pid_t(guards.first()), SIGKILL);
        crashed.process().kill(); // no clean-up of any kind
        QVERIFY(crashed.waitForEnd(15'000));
        m_reaper.adopt(cores + guards);
        if (guardKilledToo)
            restartAfterACrash(cores, port);
        // A generous deadline: the drill (scripts/crash-drill) measures the guard's pace.
        QTRY_COMPARE_WITH_TIMEOUT(EndToEnd::coresBelow(m_world->homePath()), QList<qint64>(), 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(
            EndToEnd::sameProxySettings(m_world->mac().service(QStringLiteral("Wi-Fi")), m_userSettings), 10'000);
        QVERIFY(!TunnelFixtures::listening(port));
        // The guard removes the file once its last restore command has answered.
        QTRY_VERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QTRY_COMPARE(EndToEnd::guardsOf(m_world->homePath()), QList<qint64>());
        QCOMPARE(m_world->mac().promptCount(), 0);
    }

private:
    void restartAfterACrash(const QList<qint64> &cores, int port)
    {
        // What a crash without the guard leaves: the core still serving and the Mac still pointing at it.
        QCOMPARE(EndToEnd::coresBelow(m_world->homePath()), cores);
        QVERIFY(TunnelFixtures::listening(port));
        const QStringList leftSettings = EndToEnd::clientProxySettings(m_world->mac());
        QVERIFY(leftSettings.contains(QStringLiteral("Wi-Fi socks %1").arg(port)));
        QCOMPARE(EndToEnd::fetchThrough(EndToEnd::systemProxy(m_world->mac()).socks(), EndToEnd::page),
                 EndToEnd::pageBody);

        m_world->mac().clearRecords();
        EndToEnd::Client &restarted = startClient({QStringLiteral("--print-log")});
        QVERIFY2(restarted.waitForLog(startupCleanupLine, 30'000), qPrintable(restarted.log()));
        QTRY_COMPARE(EndToEnd::coresBelow(m_world->homePath()), QList<qint64>());
        // The client itself ended the core, without asking for a password.
        const QList<SimulatedMac::Invocation> kills = m_world->mac().invocations(QStringLiteral("kill"));
        QVERIFY(std::any_of(kills.cbegin(), kills.cend(), [&](const SimulatedMac::Invocation &kill) {
            return kill.arguments.contains(QString::number(cores.first()));
        }));
        QCOMPARE(m_world->mac().promptCount(), 0);
        // And it does not reconnect by itself.
        QVERIFY(restarted.process().state() == QProcess::Running);
        QVERIFY(!restarted.log().contains(connectedLine));
    }

    EndToEnd::Client &startClient(const QStringList &arguments)
    {
        const QString probe =
            QStringLiteral("http://127.0.0.1:%1/generate_204").arg(m_world->probes().internet().serverPort());
        m_clients.push_back(std::make_unique<EndToEnd::Client>(arguments, probe));
        return *m_clients.back();
    }

    // The client started with the self-test switch, connected, with traffic flowing through the system proxy.
    EndToEnd::Client &connectedClient()
    {
        EndToEnd::Client &client =
            startClient({QStringLiteral("--print-log"), QStringLiteral("--tovren-autoconnect-smoke")});
        [&] {
            QVERIFY2(client.waitForLog(connectedLine, connectTimeoutMs), qPrintable(client.log()));
            QCOMPARE(EndToEnd::coresBelow(m_world->homePath()).size(), 1);
            const EndToEnd::SystemProxy proxy = EndToEnd::systemProxy(m_world->mac());
            QVERIFY(proxy.socksEnabled);
            QCOMPARE(EndToEnd::fetchThrough(proxy.socks(), EndToEnd::page), EndToEnd::pageBody);
        }();
        m_reaper.adopt(EndToEnd::guardsOf(m_world->homePath())); // they outlive the client
        return client;
    }

    std::unique_ptr<ConnectionWorld> m_world;
    SimulatedMac::NetworkService m_userSettings;
    EndToEnd::OrphanReaper m_reaper;
    std::vector<std::unique_ptr<EndToEnd::Client>> m_clients;
};

QTEST_GUILESS_MAIN(TestE2eProcess)
#include "test_e2e_process.moc"
