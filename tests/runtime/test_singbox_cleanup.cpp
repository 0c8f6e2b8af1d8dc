#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeError.h"
#include "runtime/SingBoxRuntimeRules.h"

#include "tunnel/LocalProxyPorts.h"

#include "RuntimeFixtures.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace RuntimeFixtures;

// Leftovers of earlier runs: found through the pid file and the listeners of the ports, told apart by their
// command lines, ended, and, when they will not end, escalated or reported.
class TestSingBoxCleanup : public RuntimeTestCase
{
    Q_OBJECT

private:
    // A script named like a core of ours; it ignores SIGTERM when asked to.
    QString ownCoreScript(bool ignoreTerm) const
    {
        const QString file = workPath("old-client/sing-box");
        writeScript(file, QByteArray(ignoreTerm ? "trap '' TERM\n" : "") + "while :; do sleep 0.1; done\n");
        return file;
    }

    QString activeConfigPath() const { return workPath("old-client/tovren-active.json"); }

private Q_SLOTS:
    void stalePidFileOfAnUnrelatedProgramKillsNothing()
    {
        SimulatedMac mac;
        const auto unrelated = spawn("/bin/sleep", {"30"});
        writePidFile(unrelated->processId());
        SingBoxRuntimeCoordinator runtime;

        awaitTask(runtime.stop(true));
        QTest::qWait(400);
        QCOMPARE(unrelated->state(), QProcess::Running);
        QCOMPARE(mac.promptCount(), 0);
        QVERIFY(mac.invocations("kill").isEmpty());

        const QStringList notes = awaitTask(runtime.cleanupOwnedRuntime({freePort()}, true));
        QCOMPARE(notes, QStringList{noteChecked});
        QCOMPARE(unrelated->state(), QProcess::Running);
        QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        QVERIFY(mac.invocations("kill").isEmpty());
    }

    void ownLeftoverThatIgnoresTermIsKilled_data()
    {
        QTest::addColumn<bool>("throughStop");
        QTest::newRow("cleanup") << false;
        QTest::newRow("stop") << true;
    }

    void ownLeftoverThatIgnoresTermIsKilled()
    {
        // A core of an earlier run, known only through the pid file it left, that shrugs off SIGTERM.
        QFETCH(bool, throughStop);
        SimulatedMac mac;
        const auto leftover = spawn(ownCoreScript(true), {"run", "-c", activeConfigPath()});
        writePidFile(leftover->processId());

        SingBoxRuntimeCoordinator runtime;
        if (throughStop) {
            awaitTask(runtime.stop(false));
        } else {
            QCOMPARE(awaitTask(runtime.cleanupOwnedRuntime({freePort()}, false)), QStringList{noteCleaned});
            QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        }
        QVERIFY(eventually([&] { return leftover->state() == QProcess::NotRunning; }));
        QCOMPARE(leftover->exitStatus(), QProcess::CrashExit);
        QCOMPARE(leftover->exitCode(), SIGKILL);
        QCOMPARE(mac.promptCount(), 0);
    }

    void ownLeftoverOnThePortIsFoundThroughLsof()
    {
        // A stand-in core still serving the port from a crashed client's configuration; no pid file.
        SimulatedMac mac;
        const int port = freePort();
        const QString oldConfig = writeConfig(workPath("old-client"), "tovren-active.json", QByteArray::number(port));
        const auto leftover = spawn(mac.path("/opt/homebrew/bin/sing-box"), {"run", "-c", oldConfig});
        QVERIFY(eventually([&] { return listening(port); }));

        SingBoxRuntimeCoordinator runtime;
        const TunnelActivation activation = awaitTask(
            runtime.start(writeConfig(workPath("Protocols"), "tovren-active.json", QByteArray::number(port))));
        QCOMPARE(activation.recoveryNotes, QStringList{noteCleaned});
        QCOMPARE(leftover->state(), QProcess::NotRunning);
        QVERIFY(listening(port));
        const QStringList lsof = mac.invocations("lsof").first().arguments;
        QCOMPARE(lsof, SingBox::listeningArguments(port));
        const qint64 core = *runtime.managedProcessId();
        awaitTask(runtime.stop(false));
        QVERIFY(eventually([&] { return !processAlive(core); }));
    }

    void foreignListenerIsNamedBeforeTheCoreRuns_data()
    {
        QTest::addColumn<bool>("portAsText");
        QTest::newRow("port as number") << false;
        QTest::newRow("port as decimal text") << true;
    }

    void foreignListenerIsNamedBeforeTheCoreRuns()
    {
        QFETCH(bool, portAsText);
        SimulatedMac mac;
        const int port = freePort();
        const auto listener = spawn("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", QString::number(port)});
        QVERIFY(eventually([&] { return listening(port); }));
        const QByteArray number = QByteArray::number(port);
        const QString file =
            writeConfig(workPath("Protocols"), "tovren-active.json", portAsText ? '"' + number + '"' : number);

        SingBoxRuntimeCoordinator runtime;
        const auto error = failureOf<SingBoxRuntimeError>(runtime.start(file));
        QCOMPARE(error.kind(), SingBoxRuntimeError::Case::portInUse);
        QCOMPARE(error.port(), port);
        QCOMPARE(error.message(),
                 QStringLiteral("%1 /usr/bin/microsocks -i 127.0.0.1 -p %2").arg(listener->processId()).arg(port));
        QVERIFY(error.description().startsWith(QStringLiteral("本地代理端口 %1 已被占用").arg(port)));
        // Nothing was launched: the log is only created right before the core runs.
        QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.log")));
        QCOMPARE(listener->state(), QProcess::Running);
        QVERIFY(mac.invocations("kill").isEmpty());
    }

    void rangeQueryCleansUpLikeThePerPortQueries_data()
    {
        // Layouts on the 21 local ports: own cores (the ports of each), foreign listeners, and a listener whose
        // command line ps cannot read (gone by then, or hidden); and what the clean-up reports.
        QTest::addColumn<QList<QList<int>>>("ownCores");
        QTest::addColumn<QList<int>>("foreign");
        QTest::addColumn<int>("unreadable");
        QTest::addColumn<QStringList>("notes");
        QTest::addColumn<int>("heldPort"); // named by portInUse; 0: the clean-up succeeds
        using Cores = QList<QList<int>>;
        using Ports = QList<int>;
        QTest::newRow("none") << Cores{} << Ports{} << 0 << QStringList{} << 0;
        QTest::newRow("own cores") << Cores{{19090}, {19104}} << Ports{} << 0 << QStringList{noteCleaned} << 0;
        QTest::newRow("foreign, the earlier port named")
            << Cores{} << Ports{19110, 19095} << 0 << QStringList{} << 19095;
        QTest::newRow("both") << Cores{{19091}} << Ports{19093} << 0 << QStringList{} << 19093;
        QTest::newRow("unreadable command line") << Cores{} << Ports{} << 19092 << QStringList{} << 0;
        QTest::newRow("one pid on two ports") << Cores{{19096, 19110}} << Ports{} << 0 << QStringList{noteCleaned} << 0;
    }

    void rangeQueryCleansUpLikeThePerPortQueries()
    {
        QFETCH(QList<QList<int>>, ownCores);
        QFETCH(QList<int>, foreign);
        QFETCH(int, unreadable);
        QFETCH(QStringList, notes);
        QFETCH(int, heldPort);
        using Query = SingBoxRuntimeCoordinator::PortQuery;
        SimulatedMac mac;
        // The other listeners outlive both clean-ups, so that both can name the same processes.
        const QList<int> otherPorts = unreadable ? foreign + QList<int>{unreadable} : foreign;
        std::vector<std::unique_ptr<OwnedProcess>> others;
        for (int port : otherPorts)
            others.push_back(spawn("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", QString::number(port)}));
        if (unreadable) {
            const QByteArray pid = QByteArray::number(others.back()->processId());
            QVERIFY(writeScript(mac.path("/bin/ps"),
                                "[ \"$2 $4\" = '" + pid + " command=' ] && exit 1\nexec /bin/ps \"$@\"\n"));
        }

        QStringList outcomes;
        for (const Query query : {Query::perPort, Query::range}) {
            mac.clearRecords();
            QList<int> held = otherPorts;
            std::vector<std::unique_ptr<OwnedProcess>> cores;
            for (const QList<int> &corePorts : ownCores) {
                QJsonArray inbounds;
                for (int port : corePorts) {
                    inbounds.append(QJsonObject{{"type", "mixed"},
                                                {"tag", QStringLiteral("in%1").arg(port)},
                                                {"listen", "127.0.0.1"},
                                                {"listen_port", port}});
                }
                const QJsonObject configuration{
                    {"inbounds", inbounds},
                    {"outbounds", QJsonArray{QJsonObject{{"type", "direct"}, {"tag", "direct"}}}}};
                const QString config = workPath(QString::number(corePorts.first()) + "/tovren-active.json");
                QDir().mkpath(QFileInfo(config).path());
                QFile file(config);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(QJsonDocument(configuration).toJson());
                file.close();
                cores.push_back(spawn(mac.path("/opt/homebrew/bin/sing-box"), {"run", "-c", config}));
                held << corePorts;
            }
            QVERIFY(eventually([&] { return std::all_of(held.cbegin(), held.cend(), listening); }));

            SingBoxRuntimeCoordinator runtime;
            runtime.setPortQuery(query);
            QString outcome;
            try {
                QCOMPARE(awaitTask(runtime.cleanupOwnedRuntime(
                             LocalProxyPorts::systemProxyPortRange() << LocalProxyPorts::aiProxyPort, false)),
                         notes);
                QCOMPARE(heldPort, 0);
            } catch (const SingBoxRuntimeError &error) {
                QCOMPARE(error.kind(), SingBoxRuntimeError::Case::portInUse);
                QCOMPARE(error.port(), heldPort);
                outcome = error.description();
            }
            for (const auto &core : cores)
                QVERIFY(eventually([&] { return core->state() == QProcess::NotRunning; }));
            const QList<SimulatedMac::Invocation> kills = mac.invocations("kill");
            const auto terms =
                std::count_if(kills.cbegin(), kills.cend(), [](const auto &k) { return k.arguments.size() == 1; });
            outcomes << outcome + QStringLiteral(" / %1 cores ended").arg(terms);
            if (query == Query::range)
                QVERIFY(mac.invocations("lsof").size() <= 2);
        }
        QCOMPARE(outcomes.last(), outcomes.first());
        QVERIFY(outcomes.first().endsWith(QStringLiteral(" %1 cores ended").arg(ownCores.size())));
    }

    void ownCoreThatWillNotEnd_data()
    {
        QTest::addColumn<bool>("throughStop");
        QTest::addColumn<bool>("allowPrivilege");
        QTest::addColumn<bool>("promptCancelled");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<std::optional<SingBoxRuntimeError::Case>>("failure");
        using Case = SingBoxRuntimeError::Case;
        QTest::newRow("cleanup without rights")
            << false << false << false << 0 << std::optional(Case::staleRuntimeNeedsCleanup);
        QTest::newRow("cleanup with rights") << false << true << false << 1 << std::optional<Case>();
        QTest::newRow("cleanup, prompt cancelled")
            << false << true << true << 1 << std::optional(Case::privilegedLaunchFailed);
        QTest::newRow("stop without rights") << true << false << false << 0 << std::optional<Case>();
        QTest::newRow("stop with rights") << true << true << false << 1 << std::optional<Case>();
        // Stopping never fails, not even when the prompt is dismissed.
        QTest::newRow("stop, prompt cancelled") << true << true << true << 1 << std::optional<Case>();
    }

    void ownCoreThatWillNotEnd()
    {
        // A child nobody reaps stays listed by ps after every kill, like a core of another user.
        QFETCH(bool, throughStop);
        QFETCH(bool, allowPrivilege);
        QFETCH(bool, promptCancelled);
        QFETCH(int, prompts);
        QFETCH(std::optional<SingBoxRuntimeError::Case>, failure);
        SimulatedMac mac;
        mac.setPromptCancelled(promptCancelled);
        const UnreapedChild stubborn(ownCoreScript(false), {"run", "-c", activeConfigPath()});
        writePidFile(stubborn.pid());
        QVERIFY(eventually([&] { return processAlive(stubborn.pid()); }));

        SingBoxRuntimeCoordinator runtime;
        if (throughStop) {
            awaitTask(runtime.stop(allowPrivilege));
        } else if (failure) {
            const auto error =
                failureOf<SingBoxRuntimeError>(runtime.cleanupOwnedRuntime({freePort()}, allowPrivilege));
            QCOMPARE(error.kind(), *failure);
            if (promptCancelled)
                QVERIFY2(error.message().contains(QStringLiteral("User canceled")), qPrintable(error.message()));
        } else {
            QCOMPARE(awaitTask(runtime.cleanupOwnedRuntime({freePort()}, allowPrivilege)), QStringList{noteCleaned});
            QVERIFY(!QFileInfo::exists(runtimeFile("sing-box.pid")));
        }
        QVERIFY(stubborn.hasEnded());
        QCOMPARE(mac.promptCount(), prompts);
        if (prompts > 0)
            QCOMPARE(mac.prompts().first().command, SingBox::privilegedTerminationScript({int(stubborn.pid())}));
    }

    void nothingToCleanUp()
    {
        SimulatedMac mac;
        SingBoxRuntimeCoordinator runtime;
        awaitTask(runtime.stop(true));
        QVERIFY(!runtime.managedProcessId());
        QVERIFY(awaitTask(runtime.cleanupOwnedRuntime({freePort(), freePort()}, true)).isEmpty());
        QCOMPARE(mac.promptCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSingBoxCleanup)
#include "test_singbox_cleanup.moc"
