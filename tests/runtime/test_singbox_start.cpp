#include "runtime/CommandRunner.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeError.h"
#include "runtime/SingBoxRuntimeRules.h"

#include "core/ProductPaths.h"

#include "RuntimeFixtures.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace RuntimeFixtures;

// Starting the core: the stand-in core of the simulated Mac, and scripted cores that fail on demand.
class TestSingBoxStart : public RuntimeTestCase
{
    Q_OBJECT

private:
    QString config(const QByteArray &listenPort) const
    {
        return writeConfig(workPath("Protocols"), "tovren-active.json", listenPort);
    }

private Q_SLOTS:
    void startServesThePortUntilStopped()
    {
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const int port = freePort();
        const QString file = config(QByteArray::number(port));

        SingBoxRuntimeCoordinator runtime;
        const TunnelActivation activation = awaitTask(runtime.start(file));
        QCOMPARE(activation, (TunnelActivation{TunnelActivation::Mode::singBox, file, port, {}}));
        const std::optional<qint64> core = runtime.managedProcessId();
        QVERIFY(core);
        QVERIFY(listening(port));
        QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        QCOMPARE(runtime.lastLogURL(), runtimeFile("sing-box.log"));
        QVERIFY(eventually([] { return QFileInfo(runtimeFile("sing-box.log")).size() > 0; }));

        awaitTask(runtime.stop(false));
        QVERIFY(!runtime.managedProcessId());
        QVERIFY(eventually([&] { return !processAlive(*core); }));
        QVERIFY(!listening(port));
        QCOMPARE(mac.promptCount(), 0);
    }

    void secondStartReplacesTheFirstCore()
    {
        SimulatedMac mac;
        const int port = freePort();
        const QString file = config(QByteArray::number(port));
        SingBoxRuntimeCoordinator runtime;
        awaitTask(runtime.start(file));
        const qint64 first = *runtime.managedProcessId();

        // The held core is told to stop and, if it still holds the port, removed as a leftover of ours.
        const TunnelActivation again = awaitTask(runtime.start(file));
        QCOMPARE(again.proxyPort, port);
        QVERIFY(*runtime.managedProcessId() != first);
        QVERIFY(eventually([&] { return !processAlive(first); }));
        QVERIFY(listening(port));
        const qint64 second = *runtime.managedProcessId();
        awaitTask(runtime.stop(false));
        QVERIFY(eventually([&] { return !processAlive(second); }));
    }

    void configurationRejectedByTheCore()
    {
        SimulatedMac mac;
        const int port = freePort();
        const QString file = workPath("tovren-active.json");
        QFile json(file);
        QVERIFY(json.open(QIODevice::WriteOnly));
        json.write(QStringLiteral(R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":%1}],)"
                                  R"("outbounds":[{"type":"vless","tag":"proxy","server":"192.0.2.1"}]})")
                       .arg(port)
                       .toUtf8());
        json.close();

        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(file));
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::invalidConfig);
        // What the core itself says, without its colour codes.
        const CommandResult check =
            awaitTask(CommandRunner::runResult(mac.path("/opt/homebrew/bin/sing-box"), {"check", "-c", file}));
        QVERIFY(check.combinedOutput().contains(u'\x1B'));
        QCOMPARE(error.message(), SingBox::cleanMessage(check.combinedOutput()));
        QVERIFY(!error.message().contains(u'\x1B'));
        QVERIFY(!runtime.managedProcessId());
        QVERIFY(!listening(port));
    }

    void missingCoreChangesNothing()
    {
        SimulatedMac mac(withoutCore());
        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(config("19090")));
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::missingBinary);
        QVERIFY(!QFileInfo::exists(ProductPaths::singBoxDirectory()));
    }

    void coreThatExitsAtOnceShowsItsLastLogLines_data()
    {
        QTest::addColumn<QByteArray>("run");
        QTest::addColumn<QString>("message");
        QStringList lastTen;
        for (int i = 21; i <= 30; ++i)
            lastTen << QStringLiteral("ERROR step %1").arg(i);
        QTest::newRow("30 coloured lines")
            << QByteArray(
                   R"sh(i=1; while [ $i -le 30 ]; do printf '\033[31mERROR\033[0m step %d\n' $i; i=$((i+1)); done; exit 1)sh")
            << lastTen.join(u'\n');
        QTest::newRow("silent") << QByteArray("exit 0") << QStringLiteral("没有捕获到 sing-box 输出日志。");
        QTest::newRow("both streams") << QByteArray("echo out; echo err >&2; exit 2") << QStringLiteral("out\nerr");
        // Relative paths of a template resolve in the client's runtime folder, wherever the client was started.
        QTest::newRow("in the runtime folder") << QByteArray("pwd -P; exit 1") << QStringLiteral("<runtime folder>");
    }

    void coreThatExitsAtOnceShowsItsLastLogLines()
    {
        QFETCH(QByteArray, run);
        QFETCH(QString, message);
        SimulatedMac mac(withoutCore());
        QVERIFY(installScriptedCore(mac, "[ \"$1\" = check ] && exit 0\n" + run + "\n"));
        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(config(QByteArray::number(freePort()))));
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::exitedEarly);
        QCOMPARE(error.message(),
                 message.replace("<runtime folder>", QFileInfo(ProductPaths::singBoxDirectory()).canonicalFilePath()));
        QVERIFY(!runtime.managedProcessId());
        QCOMPARE(mac.promptCount(), 0);
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
        // or fails with other words, which end the start whatever they say.
        QFETCH(bool, secondRunServes);
        SimulatedMac mac(withoutCore());
        QVERIFY(installScriptedCore(mac, QByteArray(R"sh(
[ "$1" = check ] && exit 0
runs="$(dirname "$3")/runs"
echo run >> "$runs"
if [ "$(wc -l < "$runs")" -eq 1 ]; then
  echo 'FATAL start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:19090: bind: address already in use'
  exit 1
fi
)sh") + (secondRunServes ? "exec sleep 30\n" : "echo second failure; exit 1\n")));
        SingBoxRuntimeCoordinator runtime;
        const QString file = config(QByteArray::number(freePort()));
        if (secondRunServes) {
            const TunnelActivation activation = awaitTask(runtime.start(file));
            QVERIFY(activation.recoveryNotes.isEmpty());
            const std::optional<qint64> core = runtime.managedProcessId();
            QVERIFY(core);
            awaitTask(runtime.stop(false));
            QVERIFY(eventually([&] { return !processAlive(*core); }));
        } else {
            const auto error = failureOf<SingBoxRuntimeError>(runtime.start(file));
            QCOMPARE(error.kind(), SingBoxRuntimeError::Case::exitedEarly);
            // The log was emptied before the second start.
            QCOMPARE(error.message(), QStringLiteral("second failure"));
        }
        QFile runs(workPath("Protocols/runs"));
        QVERIFY(runs.open(QIODevice::ReadOnly));
        QCOMPARE(runs.readAll().count('\n'), 2);
    }
};

QTEST_GUILESS_MAIN(TestSingBoxStart)
#include "test_singbox_start.moc"
