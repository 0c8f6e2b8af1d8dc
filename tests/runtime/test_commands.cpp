#include "runtime/CommandRunner.h"
#include "runtime/HostPaths.h"
#include "runtime/PrivilegedCommand.h"

#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include <QCoroTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// The failure an owner would raise for a command that exited with a non-zero status.
struct OwnerFailure
{
    QString message;
};
OwnerFailure makeOwnerFailure(const QString &message)
{
    return OwnerFailure{message};
}

QStringList shell(const QString &script)
{
    return {QStringLiteral("-c"), script};
}
const QString sh = QStringLiteral("/bin/sh");

// Outcome of one of the raising runners, flattened for comparison.
struct Raised
{
    QString output;
    std::optional<QString> failure;
};

template<typename Run> Raised capture(Run run)
{
    try {
        return Raised{awaitTask(run()), std::nullopt};
    } catch (const OwnerFailure &failure) {
        return Raised{QString(), failure.message};
    }
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;

private Q_SLOTS:
    void ownersReadResultsTheirWay_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("standardOutput");
        QTest::addColumn<QString>("standardError");
        // The tunnel coordinator's rule: standard output, or a failure carrying stderr, else stdout.
        QTest::addColumn<QString>("forOutput");
        QTest::addColumn<bool>("forOutputFails");
        // The installer's rule: the combined output, on success and on failure alike.
        QTest::addColumn<QString>("combined");

        QTest::newRow("success with only stderr") << "printf warn >&2" << 0 << ""
                                                  << "warn"
                                                  << "" << false << "warn";
        QTest::newRow("success with both") << "printf out; printf err >&2" << 0 << "out"
                                           << "err"
                                           << "out" << false << "out\nerr";
        QTest::newRow("failure with stdout only") << "printf 'usage: x'; exit 1" << 1 << "usage: x"
                                                  << ""
                                                  << "usage: x" << true << "usage: x";
        QTest::newRow("failure with nothing") << "exit 1" << 1 << ""
                                              << ""
                                              << "" << true << "";
        QTest::newRow("failure prefers stderr") << "printf out; printf denied >&2; exit 3" << 3 << "out"
                                                << "denied"
                                                << "denied" << true << "out\ndenied";
        QTest::newRow("whitespace-only stderr still wins") << "printf out; printf ' ' >&2; exit 2" << 2 << "out"
                                                           << " "
                                                           << " " << true << "out\n ";
        QTest::newRow("invalid utf-8 reads as empty") << "printf 'ok'; printf '\\377\\376' >&2" << 0 << "ok"
                                                      << ""
                                                      << "ok" << false << "ok";
        QTest::newRow("utf-8 kept") << "printf '已连接'" << 0 << "已连接"
                                    << ""
                                    << "已连接" << false << "已连接";
    }

    void ownersReadResultsTheirWay()
    {
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(QString, standardOutput);
        QFETCH(QString, standardError);
        QFETCH(QString, forOutput);
        QFETCH(bool, forOutputFails);
        QFETCH(QString, combined);

        const CommandResult result = awaitTask(CommandRunner::runResult(sh, shell(script)));
        QCOMPARE(result.status, status);
        QCOMPARE(result.standardOutput, standardOutput);
        QCOMPARE(result.standardError, standardError);

        const Raised tunnel = capture([&] { return CommandRunner::runForOutput(sh, shell(script), makeOwnerFailure); });
        QCOMPARE(tunnel.failure.has_value(), forOutputFails);
        QCOMPARE(forOutputFails ? *tunnel.failure : tunnel.output, forOutput);

        const Raised installer =
            capture([&] { return CommandRunner::runForCombinedOutput(sh, shell(script), makeOwnerFailure); });
        QCOMPARE(installer.failure.has_value(), status != 0);
        QCOMPARE(installer.failure.value_or(installer.output), combined);
    }

    void childThatDidNotStart_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::newRow("missing") << false;
        QTest::newRow("not executable") << true;
    }

    void childThatDidNotStart()
    {
        QFETCH(bool, exists);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tool"));
        if (exists) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\necho hi\n");
        }

        const CommandResult result = awaitTask(CommandRunner::runResult(path, {QStringLiteral("x")}));
        QCOMPARE(result.status, 127);
        QVERIFY(result.standardOutput.isEmpty());
        QVERIFY(!result.standardError.isEmpty());

        // The raising runners report the launch error itself, not the owner's failure.
        QVERIFY_THROWS_EXCEPTION(CommandLaunchError, awaitTask(CommandRunner::run(path, {})));
        QVERIFY_THROWS_EXCEPTION(CommandLaunchError,
                                 awaitTask(CommandRunner::runForOutput(path, {}, makeOwnerFailure)));
        QVERIFY_THROWS_EXCEPTION(CommandLaunchError,
                                 awaitTask(CommandRunner::runForCombinedOutput(path, {}, makeOwnerFailure)));
        try {
            awaitTask(CommandRunner::run(path, {}));
        } catch (const CommandLaunchError &error) {
            QCOMPARE(error.description(), result.standardError);
        }
    }

    void childEndedBySignalIsAFailure()
    {
        const CommandResult result = awaitTask(CommandRunner::runResult(sh, shell("kill -9 $$")));
        QCOMPARE(result.status, 9);
    }

    void outputBeyondPipeBuffersArrivesWhole()
    {
        // 200 000 bytes on each stream, interleaved, far beyond what a pipe holds; the event loop must keep
        // running while the child writes.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(0);
        const QString script = QStringLiteral("i=0; while [ $i -lt 20 ]; do head -c 10000 /dev/zero | tr '\\0' a; "
                                              "head -c 10000 /dev/zero | tr '\\0' b >&2; i=$((i+1)); done");
        const CommandResult result = awaitTask(CommandRunner::runResult(sh, shell(script)));
        QCOMPARE(result.status, 0);
        QCOMPARE(result.standardOutput, QString(200000, u'a'));
        QCOMPARE(result.standardError, QString(200000, u'b'));
        QVERIFY(ticks > 0);
    }

    void installerRunnerReplacesSearchPath()
    {
        qputenv("PATH", "/somewhere/else:/usr/bin:/bin");
        const QString path =
            awaitTask(CommandRunner::runForCombinedOutput(sh, shell("printf %s \"$PATH\""), makeOwnerFailure));
        QCOMPARE(path, HostPaths::searchPath());
        // The others inherit the client's environment unchanged.
        const CommandResult inherited = awaitTask(CommandRunner::runResult(sh, shell("printf %s \"$PATH\"")));
        QCOMPARE(inherited.standardOutput, QStringLiteral("/somewhere/else:/usr/bin:/bin"));
    }

    void shellWordsReachTheProgramUnchanged()
    {
        const QStringList names{
            "Wi-Fi", "Bob's iPhone", "USB 10/100/1000 LAN", R"("Office" $(touch x) `id` \n)", "'", "",
            "a''b",  "tab\there",    "line\nbreak"};
        const QStringList words =
            QStringList{"/bin/sh", "-c", R"(for a in "$@"; do printf '[%s]' "$a"; done)", "x"} + names;
        const CommandResult result =
            awaitTask(CommandRunner::runResult(sh, shell(PrivilegedCommand::shellCommandLine(words))));
        QCOMPARE(result.status, 0);
        QString expected;
        for (const QString &name : names)
            expected += u'[' + name + u']';
        QCOMPARE(result.standardOutput, expected);
    }

    void administratorCommandReachesTheShellUnchanged_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("output");
        // (Plain literals: moc cannot read raw strings that end in an escaped quote.)
        QTest::newRow("backslashes and quotes") << "printf '%s' 'C:\\new \"dir\" \\\"x\\\" \\\\ end'"
                                                << "C:\\new \"dir\" \\\"x\\\" \\\\ end";
        QTest::newRow("already escaped quote") << "printf '%s' 'a\\\"b'"
                                               << "a\\\"b";
        QTest::newRow("several lines, last status wins") << "false\nprintf ok"
                                                         << "ok";
    }

    void administratorCommandReachesTheShellUnchanged()
    {
        QFETCH(QString, command);
        QFETCH(QString, output);
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const CommandResult result = awaitTask(PrivilegedCommand::runResult(command));
        QCOMPARE(result.status, 0);
        QCOMPARE(result.standardOutput.trimmed(), output);
        QCOMPARE(mac.promptCount(), 1);
        QCOMPARE(mac.prompts().first().command, command);
    }

    void administratorCommandFailures()
    {
        SimulatedMac mac;
        // The status of a text of several lines is that of its last line.
        CommandResult result = awaitTask(PrivilegedCommand::runResult("true\nprintf nope >&2; exit 3"));
        QVERIFY(result.status != 0);
        QVERIFY2(result.standardError.contains("nope"), qPrintable(result.standardError));

        // A dismissed dialog is an ordinary failure of the raising runner, carrying osascript's words.
        mac.setPromptCancelled(true);
        try {
            awaitTask(PrivilegedCommand::run("true", makeOwnerFailure));
            QFAIL("a cancelled prompt did not fail");
        } catch (const OwnerFailure &failure) {
            QVERIFY2(failure.message.contains("User canceled"), qPrintable(failure.message));
        }
        QCOMPARE(mac.promptCount(), 2);
    }

    void networkSetupBatchUnderOnePrompt()
    {
        // Service names with quotes and spaces reach networksetup unchanged through the administrator shell.
        SimulatedMac mac;
        const QStringList services{"Bob's \"Home\" LAN", "USB 10/100/1000 LAN"};
        mac.setServices(QStringList{"Wi-Fi"} + services);
        QList<QStringList> commands;
        for (const QString &service : services) {
            mac.rejectAsUser(service);
            commands << QStringList{"-setwebproxy", service, "127.0.0.1", "19090", "off"}
                     << QStringList{"-setwebproxystate", service, "on"};
        }
        const CommandResult result =
            awaitTask(PrivilegedCommand::runResult(PrivilegedCommand::networkSetupShellScript(commands)));
        QCOMPARE(result.status, 0);
        QCOMPARE(mac.promptCount(), 1);
        for (const QString &service : services) {
            const SimulatedMac::ProxySetting web = mac.proxy(service, SimulatedMac::ProxyKind::Web);
            QVERIFY(web.enabled);
            QCOMPARE(web.server, QStringLiteral("127.0.0.1"));
            QCOMPARE(web.port, 19090);
        }
    }

    void runnersOverlap()
    {
        // Two commands of different owners run side by side: the second finishes while the first waits
        // for it, which only works when neither blocks the thread.
        QTemporaryDir dir;
        const QString flag = dir.filePath(QStringLiteral("flag"));
        auto waiting = CommandRunner::runResult(
            sh, shell(QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done; printf done").arg(flag)));
        const CommandResult touched = awaitTask(CommandRunner::runResult(sh, shell("touch '" + flag + "'")));
        QCOMPARE(touched.status, 0);
        QCOMPARE(awaitTask(std::move(waiting)).standardOutput, QStringLiteral("done"));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "test_commands.moc"
