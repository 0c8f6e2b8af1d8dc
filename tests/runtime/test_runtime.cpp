#include "runtime/CommandRunner.h"
#include "runtime/HostPaths.h"
#include "runtime/PrivilegedCommand.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeError.h"
#include "runtime/SingBoxRuntimeRules.h"

#include "base/ProductPaths.h"

#include "testkit/AwaitTask.h"
#include "testkit/SimulatedMac.h"
#include "testkit/TestHome.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

Q_DECLARE_METATYPE(std::optional<SingBoxRuntimeError::Case>)

using namespace Qt::StringLiterals;
using namespace SingBox;
using Case = SingBoxRuntimeError::Case;

namespace {

// The failure an owner would raise for a command that exited with a non-zero status.
struct OwnerFailure
{
    QString message;
};
const auto makeOwnerFailure = [](const QString &message) { return OwnerFailure{message}; };

QStringList shell(const QString &script)
{
    return {u"-c"_s, script};
}
const QString sh = u"/bin/sh"_s;

// What one of the raising runners returned, or the message of the owner's failure it threw.
template<typename Run> QString outcome(Run run)
{
    try {
        return awaitTask(run());
    } catch (const OwnerFailure &failure) {
        return "failed: " + failure.message;
    }
}

const QString noteCleaned = u"已清理上次异常退出留下的 Tovren 连接进程。"_s;

// A process the test owns, ended when the test lets go of it.
struct OwnedProcess : QProcess
{
    explicit OwnedProcess(const QStringList &command)
    {
        start(command.first(), command.mid(1));
        waitForStarted();
    }
    ~OwnedProcess() override
    {
        kill();
        waitForFinished();
    }
};

// A child whose parent never reaps it: once it ends it stays a zombie, which `ps` still lists, so it survives
// every kill the way a process of another user would. Its parent, a shell turned into sleep, goes with the test.
struct UnreapedChild final : OwnedProcess
{
    qint64 pid = 0;
    explicit UnreapedChild(const QStringList &command)
        : OwnedProcess(QStringList{"/bin/sh", "-c", R"("$0" "$@" & echo $!; exec sleep 60)"} + command)
    {
        waitForReadyRead();
        pid = readAllStandardOutput().trimmed().toLongLong();
    }
    bool hasEnded() const
    {
        QFile stat(u"/proc/%1/stat"_s.arg(pid));
        return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
    }
};

bool writeScript(const QString &file, const QByteArray &body)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile::remove(file); // the stand-in tools are links: replace, never write through
    QFile script(file);
    return script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nPATH=/usr/bin:/bin\n" + body) > 0 &&
           script.setPermissions(script.permissions() | QFile::ExeOwner);
}

} // namespace

// The command runners and the administrator shell; the rules that read the core's configuration and what the
// system tools print; starting, stopping and cleaning up the core (the stand-in core of the simulated Mac, scripted
// cores that fail on demand, and leftovers of earlier runs told apart by their command lines).
class TestRuntime : public QObject
{
    Q_OBJECT

    std::optional<TestHome> m_home;
    std::optional<QTemporaryDir> m_work;

    QString work(const QString &relative) const { return m_work->filePath(relative); }
    // A configuration the stand-in core runs: one mixed inbound on the port (a number, or a quoted text).
    QString config(const QByteArray &port, const QByteArray &outbound = R"({"type":"direct","tag":"direct"})") const
    {
        QDir().mkpath(work("Protocols"));
        QFile json(work("Protocols/tovren-active.json"));
        json.open(QIODevice::WriteOnly);
        json.write(R"({"inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":)" + port +
                   R"(}],"outbounds":[)" + outbound + "]}");
        return json.fileName();
    }
    static QString runtimeFile(const QString &name) { return ProductPaths::singBoxDirectory() + u'/' + name; }
    static QByteArray freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return QByteArray::number(probe.serverPort());
    }
    static bool listening(int port)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        return socket.waitForConnected(200);
    }
    static bool processAlive(qint64 pid) { return ::kill(pid_t(pid), 0) == 0; }
    static bool eventually(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 10000); }
    static void writePidFile(qint64 pid)
    {
        QDir().mkpath(ProductPaths::singBoxDirectory());
        QFile file(runtimeFile("sing-box.pid"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(pid) + "\n") > 0);
    }
    // A script named like a core of ours, run with the active configuration of an older client.
    QStringList ownCore(bool ignoreTerm) const
    {
        writeScript(work("old-client/sing-box"),
                    QByteArray(ignoreTerm ? "trap '' TERM\n" : "") + "while :; do sleep 0.1; done\n");
        return {work("old-client/sing-box"), "run", "-c", work("old-client/tovren-active.json")};
    }

private Q_SLOTS:
    void init() { m_home.emplace(), m_work.emplace(); }
    void cleanup() { m_work.reset(), m_home.reset(); }

    void ownersReadResultsTheirWay_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        // The tunnel coordinator's rule: standard output, or a failure carrying stderr, else stdout.
        QTest::addColumn<QString>("forOutput");
        // The installer's rule: the combined output, on success and on failure alike.
        QTest::addColumn<QString>("combined");
        QTest::newRow("success, only stderr") << "printf warn >&2" << 0 << u""_s << u"warn"_s << u""_s << u"warn"_s;
        QTest::newRow("success, both") << "printf out; printf err >&2" << 0 << u"out"_s << u"err"_s << u"out"_s
                                       << u"out\nerr"_s;
        QTest::newRow("failure, stdout only") << "printf 'usage: x'; exit 1" << 1 << u"usage: x"_s << u""_s
                                              << u"failed: usage: x"_s << u"failed: usage: x"_s;
        QTest::newRow("failure prefers stderr") << "printf out; printf denied >&2; exit 3" << 3 << u"out"_s
                                                << u"denied"_s << u"failed: denied"_s << u"failed: out\ndenied"_s;
        QTest::newRow("white-space stderr still wins")
            << "printf out; printf ' ' >&2; exit 2" << 2 << u"out"_s << u" "_s << u"failed:  "_s << u"failed: out\n "_s;
        QTest::newRow("ended by a signal") << "kill -9 $$" << 9 << u""_s << u""_s << u"failed: "_s << u"failed: "_s;
        QTest::newRow("invalid utf-8 reads as empty")
            << "printf ok; printf '\\377\\376' >&2" << 0 << u"ok"_s << u""_s << u"ok"_s << u"ok"_s;
    }
    void ownersReadResultsTheirWay()
    {
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, forOutput);
        QFETCH(QString, combined);
        const CommandResult result = awaitTask(CommandRunner::runResult(sh, shell(script)));
        QCOMPARE(result.status, status);
        QCOMPARE(result.standardOutput, out);
        QCOMPARE(result.standardError, err);
        QCOMPARE(outcome([&] { return CommandRunner::runForOutput(sh, shell(script), makeOwnerFailure); }), forOutput);
        QCOMPARE(outcome([&] { return CommandRunner::runForCombinedOutput(sh, shell(script), makeOwnerFailure); }),
                 combined);
    }

    void childThatDidNotStart()
    {
        const QString missing = u"/no/such/tool"_s;
        const CommandResult result = awaitTask(CommandRunner::runResult(missing, {u"x"_s}));
        QCOMPARE(result.status, 127);
        QVERIFY(result.standardOutput.isEmpty() && !result.standardError.isEmpty());
        // The raising runners report the launch error itself, not the owner's failure.
        QVERIFY_THROWS_EXCEPTION(CommandLaunchError,
                                 awaitTask(CommandRunner::runForCombinedOutput(missing, {}, makeOwnerFailure)));
        QVERIFY_THROWS_EXCEPTION(CommandLaunchError,
                                 awaitTask(CommandRunner::runForOutput(missing, {}, makeOwnerFailure)));
    }

    void outputBeyondPipeBuffersArrivesWhileTheLoopRuns()
    {
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(0);
        const QString script = u"i=0; while [ $i -lt 20 ]; do head -c 10000 /dev/zero | tr '\\0' a; "
                               "head -c 10000 /dev/zero | tr '\\0' b >&2; i=$((i+1)); done"_s;
        const CommandResult result = awaitTask(CommandRunner::runResult(sh, shell(script)));
        QCOMPARE(result.standardOutput, QString(200000, u'a'));
        QCOMPARE(result.standardError, QString(200000, u'b'));
        QVERIFY(ticks > 0);
    }

    void installerRunnerReplacesSearchPath()
    {
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", "/somewhere/else:/usr/bin:/bin");
        QCOMPARE(awaitTask(CommandRunner::runForCombinedOutput(sh, shell("printf %s \"$PATH\""), makeOwnerFailure)),
                 HostPaths::searchPath());
        // The others inherit the client's environment unchanged.
        QCOMPARE(awaitTask(CommandRunner::runResult(sh, shell("printf %s \"$PATH\""))).standardOutput,
                 u"/somewhere/else:/usr/bin:/bin"_s);
    }

    void administratorShell()
    {
        SimulatedMac mac;
        // (Plain literals: moc cannot read raw strings that end in an escaped quote.)
        const QString quoted = "printf '%s' 'C:\\new \"dir\" \\\"x\\\" \\\\ end' 'a\\\"b'";
        QCOMPARE(awaitTask(PrivilegedCommand::runResult(quoted)).standardOutput.trimmed(),
                 "C:\\new \"dir\" \\\"x\\\" \\\\ enda\\\"b");
        QCOMPARE(awaitTask(PrivilegedCommand::runResult("false\nprintf ok")).status, 0); // the last line's status
        const CommandResult failed = awaitTask(PrivilegedCommand::runResult("true\nprintf nope >&2; exit 3"));
        QVERIFY2(failed.status != 0 && failed.standardError.contains("nope"), qPrintable(failed.standardError));
        QCOMPARE(mac.promptCount(), 3); // one prompt for each text, whatever its lines
        QCOMPARE(mac.prompts().first().command, quoted);

        // A dismissed dialog is an ordinary failure of the raising runner, carrying osascript's words.
        mac.setPromptCancelled(true);
        try {
            awaitTask(PrivilegedCommand::run("true", makeOwnerFailure));
            QFAIL("a cancelled prompt did not fail");
        } catch (const OwnerFailure &failure) {
            QVERIFY2(failure.message.contains("User canceled"), qPrintable(failure.message));
        }
    }

    void rules()
    {
        QCOMPARE(SingBox::listenPorts("inbounds: ["), QList<int>{19090}); // not json: the default entry
        QCOMPARE(SingBox::listenPorts(R"({"inbounds":[{"listen_port":19110},{"listen_port":"19090"},)"
                                      R"({"listen_port":"+7890"},{"listen_port":19090}]})"),
                 (QList<int>{7890, 19090, 19110}));
        QCOMPARE(
            SingBox::listenPorts(R"({"inbounds":[{"listen_port":"78x"},{"listen_port":" 7890"},{"listen_port":7890.5},)"
                                 R"({"listen_port":true},{"listen_port":0},{"listen_port":70000},{"listen_port":"-1"},)"
                                 R"({"tag":"x"},"text",{"listen_port":19110}]})"),
            QList<int>{19110});
        // Ours: the active configuration, the runtime folder in any case, the earlier product name.
        for (const QString mine : {"/opt/homebrew/bin/sing-box run -c /Users/a/x/tovren-active.json",
                                   "/usr/local/bin/SING-BOX run -c /Users/a/Library/Application Support/TOVREN/x.json",
                                   "/opt/homebrew/bin/sing-box run -c /tmp/meriq.json"})
            QVERIFY2(isOwnedSingBoxCommand(mine), qPrintable(mine));
        QVERIFY(!isOwnedSingBoxCommand("/opt/homebrew/bin/sing-box run -c /tmp/tmp.x1/config.json")); // the user's
        QCOMPARE(parsePID(" 4242\n"), std::optional<int>(4242));
        // kill(0) signals the whole process group and kill(-1) every process the user may signal.
        for (const QString text : {"42a", "99999999999", "0", "-1"})
            QCOMPARE(parsePID(text), std::nullopt);
        QCOMPARE(parseListeningPIDs("812\n77\n\nlsof: WARNING x\n812\n"), (QList<int>{812, 77, 812}));
        // Field output over a range, as macOS prints it (with the descriptor field): per asked port, in output order.
        QCOMPARE(
            parseListeners("p812\nf3\nn127.0.0.1:19091\nf4\nn[::1]:19091\np77\nf5\nn*:19110\nn*:8080\np9\nn*:19091\n",
                           {19090, 19091, 19110}),
            (QList<QList<int>>{{}, {812, 9}, {77}}));
        // The core's failure text: colour codes and blank lines gone, the last ten lines kept.
        QStringList thirty, lastTen;
        for (int i = 1; i <= 30; ++i) {
            thirty << u"\x1B[31mERROR\x1B[0m line %1 \x1B[1;33m!\x1B[m"_s.arg(i) << u"\r"_s;
            if (i > 20)
                lastTen << u"ERROR line %1 !"_s.arg(i);
        }
        QCOMPARE(cleanMessage(thirty.join('\n')), lastTen.join('\n'));
        QCOMPARE(cleanMessage("\x1B[0m \n\x1B[31m"), u"没有捕获到 sing-box 输出日志。"_s);
    }

    void startServesThePortUntilStopped()
    {
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const int port = freePort().toInt();
        const QString file = config(QByteArray::number(port));
        SingBoxRuntimeCoordinator runtime;
        QCOMPARE(awaitTask(runtime.start(file)), (SingBoxStart{file, port, {}}));
        const qint64 first = *runtime.managedProcessId();
        QVERIFY(listening(port));
        QCOMPARE(runtime.lastLogURL(), runtimeFile("sing-box.log"));
        QVERIFY(eventually([&] { return QFileInfo(runtimeFile("sing-box.log")).size() > 0; }));
        // A second start replaces the held core: told to stop and, if it still holds the port, removed as ours.
        QCOMPARE(awaitTask(runtime.start(file)).proxyPort, port);
        const qint64 second = *runtime.managedProcessId();
        QVERIFY(second != first && listening(port));
        QVERIFY(eventually([&] { return !processAlive(first); }));
        awaitTask(runtime.stop(false));
        QVERIFY(!runtime.managedProcessId());
        QVERIFY(eventually([&] { return !processAlive(second); }));
        QVERIFY(!listening(port));
        QVERIFY(awaitTask(runtime.cleanupOwnedRuntime({port, freePort().toInt()}, true)).isEmpty());
        QCOMPARE(mac.promptCount(), 0);
    }

    void startFailures_data()
    {
        QTest::addColumn<QByteArray>("core"); // empty: none installed; "stand-in": the simulated Mac's
        QTest::addColumn<Case>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("no core") << QByteArray() << Case::missingBinary << QString();
        QTest::newRow("configuration refused") << QByteArray("stand-in") << Case::invalidConfig << u"check"_s;
        QTest::newRow("silent") << QByteArray("exit 0") << Case::exitedEarly << u"没有捕获到 sing-box 输出日志。"_s;
        QTest::newRow("both streams") << QByteArray("echo out; echo err >&2; exit 2") << Case::exitedEarly
                                      << u"out\nerr"_s;
        // Relative paths of a template resolve in the client's runtime folder, wherever the client was started.
        QTest::newRow("in the runtime folder") << QByteArray("pwd -P; exit 1") << Case::exitedEarly << u"runtime"_s;
    }
    void startFailures()
    {
        QFETCH(QByteArray, core);
        QFETCH(Case, kind);
        QFETCH(QString, message);
        SimulatedMac::Options options;
        options.proxyCore = core == "stand-in";
        SimulatedMac mac(options);
        const QString coreFile = mac.path("/opt/homebrew/bin/sing-box");
        QVERIFY(core.isEmpty() || options.proxyCore || writeScript(coreFile, "[ \"$1\" = check ] && exit 0\n" + core));
        const QByteArray port = freePort();
        // With the stand-in, an outbound it refuses.
        const QString file = config(port, options.proxyCore ? R"({"type":"vless","server":"192.0.2.1"})" : "{}");
        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(file));
        QCOMPARE(error.kind(), kind);
        if (message == "check") { // what the core itself says, without its colour codes
            const CommandResult check = awaitTask(CommandRunner::runResult(coreFile, {"check", "-c", file}));
            QVERIFY(check.combinedOutput().contains(u'\x1B') && !error.message().contains(u'\x1B'));
            message = SingBox::cleanMessage(check.combinedOutput());
        }
        if (message == "runtime")
            message = QFileInfo(ProductPaths::singBoxDirectory()).canonicalFilePath();
        QCOMPARE(error.message(), core.isEmpty() ? error.message() : message);
        QVERIFY(!runtime.managedProcessId() && !listening(port.toInt()));
        QVERIFY(!core.isEmpty() || !QFileInfo::exists(ProductPaths::singBoxDirectory())); // nothing changed
        QCOMPARE(mac.promptCount(), 0);
    }

    void portConflictGetsOneMoreStart()
    {
        // The first run reports a taken port that the clean-up could not see; the second run fails with other
        // words, which end the start whatever they say.
        SimulatedMac::Options options;
        options.proxyCore = false;
        SimulatedMac mac(options);
        QVERIFY(writeScript(mac.path("/opt/homebrew/bin/sing-box"), R"sh(
[ "$1" = check ] && exit 0
runs="$(dirname "$3")/runs"
echo run >> "$runs"
[ "$(wc -l < "$runs")" -gt 1 ] && echo second failure && exit 1
echo 'FATAL start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:19090: bind: address already in use'
exit 1
)sh"));
        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(config(freePort())));
        QCOMPARE(error.kind(), Case::exitedEarly);
        QCOMPARE(error.message(), u"second failure"_s); // the log was emptied before the second start
        QFile runs(work("Protocols/runs"));
        QVERIFY(runs.open(QIODevice::ReadOnly));
        QCOMPARE(runs.readAll().count('\n'), 2);
    }

    void ownLeftoverThatIgnoresTermIsKilled()
    {
        // A core of an earlier run, known only through the pid file it left, that shrugs off SIGTERM.
        SimulatedMac mac;
        OwnedProcess leftover(ownCore(true));
        writePidFile(leftover.processId());
        SingBoxRuntimeCoordinator runtime;
        QCOMPARE(awaitTask(runtime.cleanupOwnedRuntime({freePort().toInt()}, false)), QStringList{noteCleaned});
        QVERIFY(eventually([&] { return leftover.state() == QProcess::NotRunning; }));
        QCOMPARE(leftover.exitCode(), SIGKILL);
        QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        QCOMPARE(mac.promptCount(), 0);
    }

    void ownCoreThatWillNotEnd_data()
    {
        QTest::addColumn<bool>("throughStop");
        QTest::addColumn<bool>("allowPrivilege");
        QTest::addColumn<bool>("promptCancelled");
        QTest::addColumn<std::optional<Case>>("failure");
        QTest::newRow("cleanup without rights")
            << false << false << false << std::optional(Case::staleRuntimeNeedsCleanup);
        QTest::newRow("cleanup with rights") << false << true << false << std::optional<Case>();
        QTest::newRow("cleanup, cancelled") << false << true << true << std::optional(Case::privilegedLaunchFailed);
        // Stopping never fails, not even when the prompt is dismissed.
        QTest::newRow("stop, cancelled") << true << true << true << std::optional<Case>();
    }
    void ownCoreThatWillNotEnd()
    {
        QFETCH(bool, throughStop);
        QFETCH(bool, allowPrivilege);
        QFETCH(bool, promptCancelled);
        QFETCH(std::optional<Case>, failure);
        SimulatedMac mac;
        mac.setPromptCancelled(promptCancelled);
        const UnreapedChild stubborn(ownCore(false));
        writePidFile(stubborn.pid);
        QVERIFY(eventually([&] { return processAlive(stubborn.pid); }));
        SingBoxRuntimeCoordinator runtime;
        if (throughStop) {
            awaitTask(runtime.stop(allowPrivilege));
        } else if (failure) {
            const auto error =
                failureOf<SingBoxRuntimeError>(runtime.cleanupOwnedRuntime({freePort().toInt()}, allowPrivilege));
            QCOMPARE(error.kind(), *failure);
            QVERIFY(!promptCancelled || error.message().contains(u"User canceled"_s));
        } else {
            QCOMPARE(awaitTask(runtime.cleanupOwnedRuntime({freePort().toInt()}, allowPrivilege)),
                     QStringList{noteCleaned});
        }
        QVERIFY(stubborn.hasEnded());
        QCOMPARE(mac.promptCount(), allowPrivilege ? 1 : 0);
        if (allowPrivilege)
            QVERIFY(mac.prompts().first().command.contains(u"kill -9 %1 "_s.arg(stubborn.pid)));
    }
};

QTEST_GUILESS_MAIN(TestRuntime)
#include "test_runtime.moc"
