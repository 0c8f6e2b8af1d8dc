// Hostile values in everything the client hands to a shell: network service names (the privileged networksetup
// batch), the user's folder (wg-quick's configuration path, the repair script, the Terminal installer), pid files,
// and the AI launcher's Terminal script. On the simulated Mac the shell texts really run. Every case proves that
// nothing the value smuggled in ran (it would touch $PWNED) and that each tool got the value as one whole word.
#include "testkit/TunnelFixtures.h"

#include "base/ProductPaths.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/PrivilegedCommand.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "state/AppState.h"
#include "tunnel/TunnelCoordinator.h"

#include "testkit/AwaitTask.h"
#include "testkit/SimulatedMac.h"
#include "testkit/TestHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace TunnelFixtures;
using Kind = SimulatedMac::ProxyKind;

namespace {

// Each would run `touch $PWNED` if any layer let it reach a shell as code. None holds a slash, so they also
// serve as folder names.
const QList<std::pair<const char *, QString>> hostileTexts{
    {"single quote", QStringLiteral("Wi-Fi'; touch $PWNED #")},
    {"command substitution", QStringLiteral("$(touch $PWNED)")},
    {"backticks", QStringLiteral("`touch $PWNED`")},
    {"double quotes", QStringLiteral("a\"; touch $PWNED; echo \"b")},
    {"backslashes", QStringLiteral("c:\\x\\\"; touch $PWNED \\")},
    {"and-list, leading dash", QStringLiteral("-x && touch $PWNED || y")},
    {"semicolon, spaces, tab", QStringLiteral("Joe's  LAN;\ttouch $PWNED")},
};

const QString lineBreakText = QStringLiteral("LAN\n$(touch $PWNED)");

QSet<QString> toolsRun(const SimulatedMac &mac)
{
    QSet<QString> tools;
    for (const SimulatedMac::Invocation &run : mac.invocations())
        tools.insert(run.tool);
    return tools;
}

// Arguments that hold `fragment` must be exactly one of `whole`: a value split into words, or glued to others,
// shows up here. osascript and the shell it starts get the shell text itself.
QStringList splitArguments(const SimulatedMac &mac, const QString &fragment, const QStringList &whole)
{
    QStringList wrong;
    for (const SimulatedMac::Invocation &run : mac.invocations()) {
        for (const QString &argument : run.arguments) {
            if (argument.contains(fragment) && !whole.contains(argument) && run.tool != QLatin1String("osascript") &&
                run.tool != QLatin1String("sh"))
                wrong << run.tool + QStringLiteral(": ") + argument;
        }
    }
    return wrong;
}

// A home whose folder name is hostile: the product folders, and with them every configuration and script path,
// carry it.
class HostileHome final
{
public:
    explicit HostileHome(const QString &folderName)
    {
        m_path = m_home.path() + u'/' + folderName;
        QDir().mkpath(m_path);
        qputenv("HOME", QFile::encodeName(m_path));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_path + QStringLiteral("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_path + QStringLiteral("/data")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_path + QStringLiteral("/cache")));
    }
    QString path() const { return m_path; }

private:
    TestHome m_home; // restores the variables
    QString m_path;
};

void addHostileRows()
{
    QTest::addColumn<QString>("text");
    for (const auto &[name, text] : hostileTexts)
        QTest::newRow(name) << text;
}

} // namespace

class TestHardeningInjection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_markers;
    QString m_marker;

    bool pwned() const { return QFileInfo::exists(m_marker); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_markers.isValid());
        m_marker = m_markers.filePath(QStringLiteral("pwned"));
        qputenv("PWNED", QFile::encodeName(m_marker));
        // The detector works: text that does reach the administrator shell as code touches the marker.
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        QCOMPARE(awaitTask(PrivilegedCommand::runResult(QStringLiteral("touch $PWNED"))).status, 0);
        QVERIFY(pwned());
        QVERIFY(QFile::remove(m_marker));
    }

    void cleanup() { QVERIFY2(!pwned(), "a hostile value ran as a command"); }

    void serviceNamesReachNetworksetupWhole_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<bool>("throughPrompt");
        for (const auto &[name, text] : hostileTexts) {
            QTest::addRow("%s, as the user", name) << text << false;
            QTest::addRow("%s, through the prompt", name) << text << true;
        }
    }
    void serviceNamesReachNetworksetupWhole()
    {
        QFETCH(QString, service);
        QFETCH(bool, throughPrompt);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        mac.setServices(QStringList{service});
        const SimulatedMac::ProxySetting before{true, QStringLiteral("10.0.0.2"), 8080, false};
        mac.setProxy(service, Kind::Web, before);
        if (throughPrompt)
            mac.rejectAsUser(service);

        MacOSSystemProxyManager manager;
        const QStringList notes = awaitTask(manager.enableLocalProxy(19095));
        QCOMPARE(notes.value(0), QStringLiteral("已为 %1 启用 HTTP/HTTPS/SOCKS 系统代理。").arg(service));
        for (Kind kind : {Kind::Web, Kind::SecureWeb, Kind::Socks})
            QCOMPARE(mac.proxy(service, kind), (SimulatedMac::ProxySetting{true, "127.0.0.1", 19095, false}));
        awaitTask(manager.disableLocalProxy(true));
        QCOMPARE(mac.proxy(service, Kind::Web), before);
        QVERIFY(!mac.proxy(service, Kind::Socks).enabled);

        QCOMPARE(mac.promptCount() > 0, throughPrompt);
        // The prompt's shell text runs in sh; nothing else but networksetup ran.
        QCOMPARE(toolsRun(mac),
                 (throughPrompt ? QSet<QString>{"networksetup", "osascript", "sh"} : QSet<QString>{"networksetup"}));
        int privileged = 0;
        for (const SimulatedMac::Invocation &run : mac.invocations(QStringLiteral("networksetup"))) {
            // Every verb but the listing names the service as its first argument, whole.
            if (run.arguments.value(0) != QLatin1String("-listallnetworkservices"))
                QCOMPARE(run.arguments.value(1), service);
            privileged += run.privileged;
        }
        QCOMPARE(privileged > 0, throughPrompt);
    }

    void serviceNameWithALineBreakIsReadAsTwoUnknownServices()
    {
        // networksetup lists one service per line: such a name becomes two names no service answers to, which
        // fail as the user and through the prompt without running anything.
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        mac.setServices(QStringList{lineBreakText});
        MacOSSystemProxyManager manager;
        const QStringList notes = awaitTask(manager.enableLocalProxy(19090));
        QCOMPARE(notes, QStringList{"部分网络服务的系统代理增强未成功：LAN、$(touch $PWNED)。"});
        QCOMPARE(mac.promptCount(), 1);
        QCOMPARE(toolsRun(mac), (QSet<QString>{"networksetup", "osascript", "sh"}));
        for (const SimulatedMac::Invocation &run : mac.invocations(QStringLiteral("networksetup"))) {
            if (run.arguments.value(0) != QLatin1String("-listallnetworkservices"))
                QVERIFY2(QStringList({"LAN", "$(touch $PWNED)"}).contains(run.arguments.value(1)),
                         qPrintable(run.arguments.join(u' ')));
        }
        QVERIFY(!mac.proxy(lineBreakText, Kind::Web).enabled);
    }

    void userFolderReachesWgQuickWhole_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("homebrewBash");
        bool homebrewBash = false;
        for (const auto &[name, text] : hostileTexts) {
            QTest::newRow(name) << text << homebrewBash;
            homebrewBash = !homebrewBash;
        }
        QTest::newRow("line break") << lineBreakText << true;
    }
    void userFolderReachesWgQuickWhole()
    {
        QFETCH(QString, text);
        QFETCH(bool, homebrewBash);
        HostileHome home(text);
        SimulatedMac::Options options;
        options.wireGuardTools = true;
        options.homebrewBash = homebrewBash;
        SimulatedMac mac(options);
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        ProbeServer direct;
        QVERIFY(direct.start());
        qputenv("TOVREN_PROBE_TARGETS",
                QStringLiteral("direct=http://127.0.0.1:%1/generate_204").arg(direct.serverPort()).toUtf8());
        // The first "up" fails like a leftover interface: the repair script runs with the path as well.
        mac.queueWgQuickFailure(QStringLiteral("up"), QStringLiteral("Unable to create utun interface"));

        TunnelCoordinator tunnel;
        const TunnelActivation activation =
            awaitTask(tunnel.connect(wireGuardConfiguration(), Endpoint{}, OutboundMode::smart, false, false));
        const QString conf = ProductPaths::protocolsDirectory() + QStringLiteral("/tovren-active.conf");
        QVERIFY(conf.contains(text));
        QCOMPARE(activation.mode, TunnelActivation::Mode::wgQuick);
        QCOMPARE(mac.wireGuardTunnels(), QStringList{"tovren-active"});
        QCOMPARE(mac.state().tunnel(QStringLiteral("tovren-active"))->configPath, conf);
        awaitTask(tunnel.disconnect());
        qunsetenv("TOVREN_PROBE_TARGETS");
        QVERIFY(mac.wireGuardTunnels().isEmpty());

        QList<QStringList> wgQuickRuns;
        for (const SimulatedMac::Invocation &run : mac.invocations(QStringLiteral("wg-quick")))
            wgQuickRuns << run.arguments;
        const QList<QStringList> expected{{"down", conf}, {"up", conf},  {"down", conf}, {"down", "tovren-active"},
                                          {"up", conf},   {"down", conf}};
        QCOMPARE(wgQuickRuns, expected);
        QCOMPARE(splitArguments(mac, home.path(), {conf}), QStringList());
    }

    void userFolderReachesTheInstallerWhole_data() { addHostileRows(); }
    void userFolderReachesTheInstallerWhole()
    {
        QFETCH(QString, text);
        HostileHome home(text);
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        AppState app;
        awaitTask(app.installWireGuardToolsInTerminal());
        const QString script = ProductPaths::installersDirectory() + QStringLiteral("/install-wireguard-tools.command");
        QVERIFY(QFileInfo(script).isExecutable());
        const QList<SimulatedMac::Invocation> opened = mac.invocations(QStringLiteral("open"));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().arguments, QStringList{script});
        QCOMPARE(app.logs().first().message, QStringLiteral("已打开终端安装 Tovren 连接组件。"));
    }

    void hostilePidFilesEndNothing_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("every process") << QByteArray("-1\n");
        QTest::newRow("process group") << QByteArray("0");
        QTest::newRow("signal switch") << QByteArray("-9 1");
        QTest::newRow("command after pid") << QByteArray("1; touch $PWNED");
        QTest::newRow("substitution") << QByteArray("$(touch $PWNED)");
        QTest::newRow("two lines") << QByteArray("1\n-1\n");
        QTest::newRow("beyond int") << QByteArray("4294967297");
    }
    void hostilePidFilesEndNothing()
    {
        QFETCH(QByteArray, content);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const QString pidFile = ProductPaths::singBoxDirectory() + QStringLiteral("/sing-box.pid");
        QVERIFY(ProductPaths::writePrivateFileAtomically(pidFile, content));

        SingBoxRuntimeCoordinator runtime;
        awaitTask(runtime.stop(true));
        awaitTask(runtime.cleanupOwnedRuntime({freePort()}, true));
        QVERIFY(!QFileInfo::exists(pidFile));
        QCOMPARE(mac.promptCount(), 0);
        QCOMPARE(mac.invocations(QStringLiteral("kill")).size(), 0);
        // Nothing from the file was taken for a pid and looked up (a listener that turned up on the free port
        // meanwhile may be).
        for (const SimulatedMac::Invocation &run : mac.invocations(QStringLiteral("ps")))
            QVERIFY2(!content.contains(run.arguments.value(1).toUtf8()), qPrintable(run.arguments.join(u' ')));
    }

    void launcherScriptRunsOnlyTheTool_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<bool>("installed");
        bool installed = true;
        for (const auto &[name, text] : hostileTexts) {
            QTest::addRow("%s", name) << text << text << installed;
            installed = !installed;
        }
    }
    void launcherScriptRunsOnlyTheTool()
    {
        // The Terminal script is recorded, not run, by the simulated Mac: run it here with zsh (Terminal's shell),
        // with the tool (a program of exactly that name) present or missing. A name with a leading dash is taken
        // for an option by `command -v`, so it counts as missing.
        QFETCH(QString, command);
        QFETCH(QString, displayName);
        QFETCH(bool, installed);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const auto model = std::make_shared<StateModel>();
        AppState app({.model = model});
        QVERIFY(eventually([&] { return app.startupCleanupFinished(); }));
        app.toggleAIEnhancedMode();
        model->setConnectionState(ConnectionState::connected);
        app.openAIToolLauncher(command, displayName);
        QTRY_COMPARE_WITH_TIMEOUT(mac.terminalScripts().size(), 1, 10000);

        QTemporaryDir bin;
        if (installed) {
            QVERIFY(writeScript(bin.filePath(command), "echo \"tool ran with $# arguments\"\n"));
        }
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), bin.path() + QStringLiteral(":/usr/bin:/bin"));
        environment.insert(QStringLiteral("TERM"), QStringLiteral("dumb"));
        shell.setProcessEnvironment(environment);
        shell.setStandardInputFile(QProcess::nullDevice());
        shell.start(QStringLiteral("/usr/bin/zsh"), {QStringLiteral("-c"), mac.terminalScripts().first()});
        QVERIFY(shell.waitForFinished(20'000));
        const QString output = QString::fromUtf8(shell.readAllStandardOutput());
        QCOMPARE(shell.exitCode(), 0);
        QVERIFY2(output.contains(QStringLiteral("Tovren AI增强功能已注入代理环境：127.0.0.1:19110\n")),
                 qPrintable(output));
        if (installed)
            QVERIFY2(output.endsWith(QStringLiteral("tool ran with 0 arguments\n")), qPrintable(output));
        else
            QVERIFY2(output.endsWith(QStringLiteral("未检测到 %1 命令，请先安装或检查 PATH。\n").arg(displayName)),
                     qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestHardeningInjection)
#include "test_hardening_injection.moc"
