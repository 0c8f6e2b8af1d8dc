#include "../flows/ConnectionWorld.h"
#include "EndToEnd.h"
#include "EndWithTest.h"

#include "api/SessionStore.h"
#include "core/Preferences.h"

#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

constexpr int connectTimeoutMs = 90'000;
const QString connectedLine = QStringLiteral("sing-box 内核已连接：");
// The alert's log line once every candidate failed.
const QString connectFailedLine = QStringLiteral("连接失败：已尝试");
const QString startupCleanupLine = QStringLiteral("已检查并清理上次异常退出残留连接。");

// Cores whose client was killed are handed to this process (a child subreaper, set in initTestCase); it reaps
// them as soon as they end, as launchd does on a Mac. Unreaped, an ended core would stay listed by `ps` and look
// alive to the client's clean-up.
class OrphanReaper final : public QObject
{
public:
    OrphanReaper()
    {
        m_timer.callOnTimeout(this, &OrphanReaper::reap);
        m_timer.start(10);
    }
    void adopt(const QList<qint64> &pids) { m_pids += pids; }

private:
    void reap()
    {
        // 0: still running; otherwise reaped now, or not a child of ours at all.
        m_pids.removeIf([](qint64 pid) { return ::waitpid(pid_t(pid), nullptr, WNOHANG) != 0; });
    }

    QTimer m_timer;
    QList<qint64> m_pids;
};

// One run of the real client executable with the world's environment; whatever it printed to its activity log.
class Client final
{
public:
    explicit Client(const QStringList &arguments, const QString &internetProbe)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TOVREN_PROBE_TARGETS"), QStringLiteral("direct=") + internetProbe);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endWithTest(m_process);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_log += QString::fromUtf8(m_process.readAllStandardOutput()); });
        m_process.start(qEnvironmentVariable("TOVREN_BUILD_DIR") + QStringLiteral("/src/app/tovren"), arguments);
    }
    ~Client()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(10'000);
        }
    }
    Q_DISABLE_COPY_MOVE(Client)

    QProcess &process() { return m_process; }
    const QString &log() const { return m_log; }

    // True once the log holds the text; false when the client ended, the log showed `failure` or the time ran
    // out first.
    bool waitForLog(const QString &text, int timeoutMs, const QString &failure = connectFailedLine)
    {
        [[maybe_unused]] const bool settled = QTest::qWaitFor(
            [&] {
                return m_log.contains(text) || m_log.contains(failure) || m_process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return m_log.contains(text);
    }
    bool waitForEnd(int timeoutMs)
    {
        return QTest::qWaitFor([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    }

private:
    QProcess m_process;
    QString m_log;
};

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
    }

    void cleanup()
    {
        m_clients.clear();
        // Cores the clients left behind are ours to end: they run with a configuration in this test's home.
        const QList<qint64> left = EndToEnd::coresBelow(m_world->homePath());
        for (qint64 pid : left)
            ::kill(pid_t(pid), SIGKILL);
        m_reaper.adopt(left);
        QVERIFY(QTest::qWaitFor([this] { return EndToEnd::coresBelow(m_world->homePath()).isEmpty(); }, 5000));
        m_world.reset();
    }

    void quittingWhileConnectedLeavesNothingBehind()
    {
        Client &client = connectedClient();
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
        QCOMPARE(EndToEnd::clientProxySettings(m_world->mac()), QStringList());
        QCOMPARE(m_world->mac().promptCount(), 0);
    }

    void aCrashIsCleanedUpAtTheNextStart()
    {
        Client &crashed = connectedClient();
        if (QTest::currentTestFailed())
            return;
        const QList<qint64> cores = EndToEnd::coresBelow(m_world->homePath());
        QCOMPARE(cores.size(), 1);
        const int port = EndToEnd::systemProxy(m_world->mac()).socksPort;

        crashed.process().kill(); // no clean-up of any kind
        QVERIFY(crashed.waitForEnd(15'000));
        m_reaper.adopt(cores);
        // What a crash leaves: the core still serving and the Mac still pointing at it.
        QCOMPARE(EndToEnd::coresBelow(m_world->homePath()), cores);
        QVERIFY(TunnelFixtures::listening(port));
        const QStringList leftSettings = EndToEnd::clientProxySettings(m_world->mac());
        QVERIFY(leftSettings.contains(QStringLiteral("Wi-Fi socks %1").arg(port)));
        QCOMPARE(EndToEnd::fetchThrough(EndToEnd::systemProxy(m_world->mac()).socks(), EndToEnd::page),
                 EndToEnd::pageBody);

        m_world->mac().clearRecords();
        Client &restarted = startClient({QStringLiteral("--print-log")});
        QVERIFY2(restarted.waitForLog(startupCleanupLine, 30'000), qPrintable(restarted.log()));
        QTRY_COMPARE(EndToEnd::coresBelow(m_world->homePath()), QList<qint64>());
        QVERIFY(!TunnelFixtures::listening(port));
        QCOMPARE(EndToEnd::clientProxySettings(m_world->mac()), QStringList());
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

private:
    Client &startClient(const QStringList &arguments)
    {
        const QString probe =
            QStringLiteral("http://127.0.0.1:%1/generate_204").arg(m_world->probes().internet().serverPort());
        m_clients.push_back(std::make_unique<Client>(arguments, probe));
        return *m_clients.back();
    }

    // The client started with the self-test switch, connected, with traffic flowing through the system proxy.
    Client &connectedClient()
    {
        Client &client = startClient({QStringLiteral("--print-log"), QStringLiteral("--tovren-autoconnect-smoke")});
        [&] {
            QVERIFY2(client.waitForLog(connectedLine, connectTimeoutMs), qPrintable(client.log()));
            QCOMPARE(EndToEnd::coresBelow(m_world->homePath()).size(), 1);
            const EndToEnd::SystemProxy proxy = EndToEnd::systemProxy(m_world->mac());
            QVERIFY(proxy.socksEnabled);
            QCOMPARE(EndToEnd::fetchThrough(proxy.socks(), EndToEnd::page), EndToEnd::pageBody);
        }();
        return client;
    }

    std::unique_ptr<ConnectionWorld> m_world;
    OrphanReaper m_reaper;
    std::vector<std::unique_ptr<Client>> m_clients;
};

QTEST_GUILESS_MAIN(TestE2eProcess)
#include "test_e2e_process.moc"
