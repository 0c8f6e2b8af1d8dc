#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeError.h"

#include "core/ProductPaths.h"

#include "AwaitTask.h"
#include "TestHome.h"

#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace std::chrono_literals;

namespace {

// A host root with the process tools the runtime uses, and a place for a proxy core.
class CoreHost final
{
public:
    CoreHost()
    {
        link("/usr/bin/lsof", "usr/sbin/lsof");
        link("/bin/ps", "bin/ps");
        link("/bin/kill", "bin/kill");
        link("/bin/sh", "bin/sh");
        qputenv("TOVREN_HOST_ROOT", m_root.path().toLocal8Bit());
    }
    ~CoreHost() { qunsetenv("TOVREN_HOST_ROOT"); }
    Q_DISABLE_COPY_MOVE(CoreHost)

    QString path(const QString &macPath) const { return m_root.path() + macPath; }

    // A core written as a shell script; $1 is check or run, $3 the configuration.
    void installScriptedCore(const QByteArray &body)
    {
        const QString file = path("/opt/homebrew/bin/sing-box");
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile script(file);
        QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // The script uses this machine's utilities, whatever PATH the runtime gives the core.
        script.write("#!/bin/sh\nPATH=/usr/bin:/bin\n" + body);
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
    }

private:
    void link(const QString &target, const QString &relative)
    {
        const QString file = m_root.filePath(relative);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile::link(target, file);
    }

    QTemporaryDir m_root;
};

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString writeConfig(const QString &directory, const QString &name, const QByteArray &listenPort)
{
    const QString file = directory + u'/' + name;
    QFile config(file);
    config.open(QIODevice::WriteOnly | QIODevice::Truncate);
    config.write(R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" + listenPort + "}]}");
    return file;
}

QString runtimeFile(const QString &name)
{
    return ProductPaths::singBoxDirectory() + u'/' + name;
}

void writePidFile(qint64 pid)
{
    QDir().mkpath(ProductPaths::singBoxDirectory());
    QFile file(runtimeFile("sing-box.pid"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(QByteArray::number(pid) + "\n");
}

// A process the test owns, ended with the test.
class OwnedProcess final : public QProcess
{
public:
    ~OwnedProcess() override
    {
        if (state() != NotRunning) {
            kill();
            waitForFinished();
        }
    }
};

std::unique_ptr<OwnedProcess> spawn(const QString &program, const QStringList &arguments)
{
    auto process = std::make_unique<OwnedProcess>();
    process->start(program, arguments);
    process->waitForStarted();
    return process;
}

bool processAlive(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

// Runs the event loop until the condition holds or the watchdog fires.
bool eventually(const std::function<bool()> &condition)
{
    for (int i = 0; i < 200 && !condition(); ++i)
        QTest::qWait(50);
    return condition();
}

SingBoxRuntimeError startFailure(SingBoxRuntimeCoordinator &runtime, const QString &config)
{
    try {
        awaitTask(runtime.start(config));
    } catch (const SingBoxRuntimeError &error) {
        return error;
    }
    throw std::runtime_error("the start did not fail with a runtime error");
}

const QString noteCleaned = QStringLiteral("已清理上次异常退出留下的 Tovren 连接进程。");
const QString noteChecked = QStringLiteral("已检查本地代理端口，未发现 Tovren 残留占用。");

} // namespace

class TestSingBoxRuntime : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<CoreHost> m_host;
    std::unique_ptr<QTemporaryDir> m_work;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_host = std::make_unique<CoreHost>();
        m_work = std::make_unique<QTemporaryDir>();
    }

    void cleanup()
    {
        m_work.reset();
        m_host.reset();
        m_home.reset();
    }

    void missingCoreChangesNothing()
    {
        SingBoxRuntimeCoordinator runtime;
        const QString config = writeConfig(m_work->path(), "tovren-active.json", "19090");
        const SingBoxRuntimeError error = startFailure(runtime, config);
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::missingBinary);
        QVERIFY(!QFileInfo::exists(ProductPaths::singBoxDirectory()));
    }

    void rejectedConfigurationShowsCleanedCheckOutput()
    {
        m_host->installScriptedCore(R"sh(
if [ "$1" = check ]; then
  printf '\033[31mFATAL\033[0m[0000] decode config at %s: unknown field "x"\n' "$3" >&2
  exit 1
fi
echo ran >> "$(dirname "$3")/runs"
)sh");
        SingBoxRuntimeCoordinator runtime;
        const QString config = writeConfig(m_work->path(), "tovren-active.json", QByteArray::number(freePort()));
        const SingBoxRuntimeError error = startFailure(runtime, config);
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::invalidConfig);
        QCOMPARE(error.description(),
                 "sing-box 配置校验失败：FATAL[0000] decode config at " + config + ": unknown field \"x\"");
        QVERIFY(!QFileInfo::exists(m_work->filePath("runs")));
        QVERIFY(!runtime.managedProcessId());
    }

    void coreThatExitsAtOnceShowsItsLastLogLines_data()
    {
        QTest::addColumn<QByteArray>("run");
        QTest::addColumn<QString>("message");
        QStringList lastTen;
        for (int i = 21; i <= 30; ++i)
            lastTen << QStringLiteral("ERROR step %1").arg(i);
        QTest::newRow("30 coloured lines")
            << QByteArray(R"sh(i=1; while [ $i -le 30 ]; do printf '\033[31mERROR\033[0m step %d\n' $i; i=$((i+1)); done; exit 1)sh")
            << lastTen.join(u'\n');
        QTest::newRow("silent") << QByteArray("exit 0") << QStringLiteral("没有捕获到 sing-box 输出日志。");
        QTest::newRow("stderr too") << QByteArray("echo out; echo err >&2; exit 2") << QStringLiteral("out\nerr");
    }

    void coreThatExitsAtOnceShowsItsLastLogLines()
    {
        QFETCH(QByteArray, run);
        QFETCH(QString, message);
        m_host->installScriptedCore("[ \"$1\" = check ] && exit 0\n" + run + "\n");
        SingBoxRuntimeCoordinator runtime;
        const QString config = writeConfig(m_work->path(), "tovren-active.json", QByteArray::number(freePort()));
        const SingBoxRuntimeError error = startFailure(runtime, config);
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::exitedEarly);
        QCOMPARE(error.message(), message);
        QVERIFY(!runtime.managedProcessId());
        QCOMPARE(runtime.lastLogURL(), runtimeFile("sing-box.log"));
    }

    void portConflictGetsOneMoreStart_data()
    {
        QTest::addColumn<bool>("secondRunServes");
        QTest::newRow("second start serves") << true;
        QTest::newRow("second start fails too") << false;
    }

    void portConflictGetsOneMoreStart()
    {
        // The first run reports a taken port that the cleanup could not see; the second run either serves
        // or fails with different words, which end the start whatever they say.
        QFETCH(bool, secondRunServes);
        m_host->installScriptedCore(QByteArray(R"sh(
[ "$1" = check ] && exit 0
runs="$(dirname "$3")/runs"
echo run >> "$runs"
if [ "$(wc -l < "$runs")" -eq 1 ]; then
  echo 'FATAL start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:19090: bind: address already in use'
  exit 1
fi
)sh") + (secondRunServes ? "exec sleep 30\n" : "echo second failure; exit 1\n"));
        SingBoxRuntimeCoordinator runtime;
        const QString config = writeConfig(m_work->path(), "tovren-active.json", QByteArray::number(freePort()));
        if (secondRunServes) {
            const TunnelActivation activation = awaitTask(runtime.start(config));
            const std::optional<qint64> core = runtime.managedProcessId();
            QVERIFY(core);
            QVERIFY(activation.recoveryNotes.isEmpty());
            awaitTask(runtime.stop(false));
            QVERIFY(!runtime.managedProcessId());
            QVERIFY(eventually([&] { return !processAlive(*core); }));
        } else {
            const SingBoxRuntimeError error = startFailure(runtime, config);
            QCOMPARE(error.kind(), SingBoxRuntimeError::Case::exitedEarly);
            QCOMPARE(error.message(), QStringLiteral("second failure"));
        }
        QFile runs(m_work->filePath("runs"));
        QVERIFY(runs.open(QIODevice::ReadOnly));
        QCOMPARE(runs.readAll().count('\n'), 2);
    }

    void stalePidFileOfAnUnrelatedProgramKillsNothing()
    {
        const auto unrelated = spawn("/bin/sleep", {"30"});
        writePidFile(unrelated->processId());
        SingBoxRuntimeCoordinator runtime;

        awaitTask(runtime.stop(true));
        QTest::qWait(400);
        QCOMPARE(unrelated->state(), QProcess::Running);
        QVERIFY(QFileInfo::exists(runtimeFile("sing-box.pid")));

        const QStringList notes = awaitTask(runtime.cleanupOwnedRuntime({freePort()}, false));
        QCOMPARE(notes, QStringList{noteChecked});
        QCOMPARE(unrelated->state(), QProcess::Running);
        QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
    }

    void ownLeftoverThatIgnoresTermIsKilled_data()
    {
        QTest::addColumn<bool>("throughStop");
        QTest::newRow("cleanup") << false;
        QTest::newRow("stop") << true;
    }

    void ownLeftoverThatIgnoresTermIsKilled()
    {
        QFETCH(bool, throughStop);
        // A core of an earlier run, known only through the pid file it left, that shrugs off SIGTERM.
        const QString fakeCore = m_work->filePath("sing-box");
        QFile script(fakeCore);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("trap '' TERM\nwhile :; do sleep 0.1; done\n");
        script.close();
        const auto leftover = spawn("/bin/sh", {fakeCore, "run", "-c", m_work->filePath("tovren-active.json")});
        writePidFile(leftover->processId());

        SingBoxRuntimeCoordinator runtime;
        if (throughStop) {
            awaitTask(runtime.stop(false));
        } else {
            const QStringList notes = awaitTask(runtime.cleanupOwnedRuntime({freePort()}, false));
            QCOMPARE(notes, QStringList{noteCleaned});
            QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        }
        QVERIFY(eventually([&] { return leftover->state() == QProcess::NotRunning; }));
        QCOMPARE(leftover->exitStatus(), QProcess::CrashExit);
        QCOMPARE(leftover->exitCode(), SIGKILL);
    }

    void stopWithNothingToStop()
    {
        SingBoxRuntimeCoordinator runtime;
        awaitTask(runtime.stop(true));
        QVERIFY(!runtime.managedProcessId());
        QVERIFY(awaitTask(runtime.cleanupOwnedRuntime({freePort()}, false)).isEmpty());
    }

    void foreignListenerIsNamedBeforeTheCoreRuns_data()
    {
        QTest::addColumn<bool>("portAsText");
        QTest::newRow("number") << false;
        QTest::newRow("decimal text") << true;
    }

    void foreignListenerIsNamedBeforeTheCoreRuns()
    {
        QFETCH(bool, portAsText);
        m_host->installScriptedCore(R"sh(echo ran >> "$(dirname "$3")/runs"; exit 0)sh");
        const int port = freePort();
        const auto listener = spawn("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", QString::number(port)});
        QVERIFY(eventually([&] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(100);
        }));
        const QByteArray listenPort = portAsText ? '"' + QByteArray::number(port) + '"' : QByteArray::number(port);
        const QString config = writeConfig(m_work->path(), "tovren-active.json", listenPort);

        SingBoxRuntimeCoordinator runtime;
        const SingBoxRuntimeError error = startFailure(runtime, config);
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::portInUse);
        QCOMPARE(error.port(), port);
        QCOMPARE(error.message(),
                 QStringLiteral("%1 /usr/bin/microsocks -i 127.0.0.1 -p %2").arg(listener->processId()).arg(port));
        QVERIFY(!QFileInfo::exists(m_work->filePath("runs")));
        QCOMPARE(listener->state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestSingBoxRuntime)
#include "test_singbox_runtime.moc"
