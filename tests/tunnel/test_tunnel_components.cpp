// The connection components of the WireGuard path: the in-app installation through Homebrew and the Terminal
// installer, as the application state offers them.
#include "TunnelFixtures.h"

#include "core/AppState.h"
#include "core/ProductPaths.h"

#include "SimulatedMac.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace TunnelFixtures;

namespace {

QStringList newestLogs(const AppState &state, int count)
{
    QStringList messages;
    for (const LogEntry &entry : state.logs().mid(0, count))
        messages.prepend(entry.message); // oldest first
    return messages;
}

// Runs the Terminal installer with zsh, without a terminal (the closing key prompt then returns at once), with
// `brew` found only on the given search path.
struct ScriptRun
{
    int status = -1;
    QString output;
};
ScriptRun runInstaller(const QString &script, const QString &searchPath)
{
    QProcess zsh;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), searchPath);
    environment.insert(QStringLiteral("TERM"), QStringLiteral("dumb"));
    zsh.setProcessEnvironment(environment);
    zsh.setProcessChannelMode(QProcess::MergedChannels);
    zsh.setStandardInputFile(QProcess::nullDevice());
    zsh.start(QStringLiteral("/usr/bin/setsid"), {QStringLiteral("/usr/bin/zsh"), script});
    if (!zsh.waitForFinished(20'000))
        return {};
    return {zsh.exitCode(), QString::fromUtf8(zsh.readAll())};
}

} // namespace

class TestTunnelComponents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void inAppInstallation_data()
    {
        QTest::addColumn<bool>("homebrew");
        QTest::addColumn<QString>("brewFailure");
        QTest::addColumn<ComponentInstallState>("state");
        QTest::addColumn<std::optional<AppAlertAction>>("action");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("log");
        QTest::newRow("installed") << true << QString() << ComponentInstallState(ComponentInstallState::installed)
                                   << std::optional<AppAlertAction>() << "连接组件已安装完成，请重新点击一键连接。"
                                   << "Tovren 连接组件安装完成。";
        QTest::newRow("no Homebrew") << false << QString()
                                     << ComponentInstallState(ComponentInstallState::needsHomebrew)
                                     << std::optional<AppAlertAction>(AppAlertAction::openTerminalInstaller)
                                     << "未检测到 Homebrew，Tovren "
                                        "暂时无法在应用内完成组件安装。\n\n点击“打开终端安装”后，会进入一次性安装引导。"
                                        "安装完成后回到 Tovren 再点一键连接。"
                                     << "未检测到 Homebrew，切换到终端安装引导。";
        QTest::newRow("brew fails")
            << true << "Error: wireguard-tools: no bottle available!"
            << ComponentInstallState::makeFailed("连接组件安装失败：Error: wireguard-tools: no bottle available!")
            << std::optional<AppAlertAction>(AppAlertAction::installWireGuardTools)
            << "连接组件安装失败：Error: wireguard-tools: no bottle available!"
            << "连接组件安装失败：连接组件安装失败：Error: wireguard-tools: no bottle available!";
    }
    void inAppInstallation()
    {
        QFETCH(bool, homebrew);
        QFETCH(QString, brewFailure);
        QFETCH(ComponentInstallState, state);
        QFETCH(std::optional<AppAlertAction>, action);
        QFETCH(QString, alert);
        QFETCH(QString, log);
        TestHome home;
        SimulatedMac::Options options;
        options.homebrew = homebrew;
        SimulatedMac mac(options);
        QVERIFY(mac.isValid());
        mac.setBrewInstallFailure(brewFailure);
        AppState app;

        awaitTask(app.installWireGuardTools());

        QCOMPARE(app.componentInstallState(), state);
        QCOMPARE(app.alertAction(), action);
        QCOMPARE(app.alertMessage(), alert);
        QCOMPARE(newestLogs(app, 2), (QStringList{QStringLiteral("正在一键安装 Tovren 连接组件。"), log}));
        // Homebrew runs as the user; it would refuse to run as root.
        QCOMPARE(mac.promptCount(), 0);
        const bool succeeded = homebrew && brewFailure.isEmpty();
        QCOMPARE(mac.isInstalled(SimulatedMac::Package::WireGuardTools), succeeded);
        QCOMPARE(mac.isInstalled(SimulatedMac::Package::HomebrewBash), succeeded);
        const QList<SimulatedMac::Invocation> brews = mac.invocations(QStringLiteral("brew"));
        QCOMPARE(brews.size(), homebrew ? 1 : 0);
        if (homebrew)
            QCOMPARE(brews.first().arguments, (QStringList{"install", "bash", "wireguard-tools"}));
    }

    void terminalInstallerIsWrittenAndOpened()
    {
        TestHome home;
        SimulatedMac mac;
        AppState app;

        awaitTask(app.installWireGuardToolsInTerminal());

        const QString script = ProductPaths::installersDirectory() + QStringLiteral("/install-wireguard-tools.command");
        QFile file(script);
        QVERIFY(file.exists());
        QCOMPARE(file.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QList<SimulatedMac::Invocation> opened = mac.invocations(QStringLiteral("open"));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().arguments, QStringList{script});
        QCOMPARE(app.logs().first().message, QStringLiteral("已打开终端安装 Tovren 连接组件。"));
        QCOMPARE(app.alertMessage(), std::nullopt);

        // A second run replaces the script in place.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.close();
        QCOMPARE(app.makeWireGuardToolsInstallScript(), script);
        QVERIFY(file.size() > 0);
    }

    void terminalInstallerScriptRuns_data()
    {
        QTest::addColumn<QString>("brewBody");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("no Homebrew") << QString() << 1
                                     << QStringList{
                                            "Homebrew was not found on this Mac.",
                                            "Please install Homebrew first, then open Tovren and click connect again:",
                                            "/bin/bash -c \"$(curl -fsSL https://raw.githubusercontent.com/"
                                            "Homebrew/install/HEAD/install.sh)\""};
        QTest::newRow("installed") << "echo \"brew $*\"" << 0
                                   << QStringList{
                                          "brew install bash wireguard-tools",
                                          "WireGuard Tools installed. Return to Tovren and click connect again."};
        QTest::newRow("brew fails") << "echo broken; exit 3" << 3
                                    << QStringList{"broken", "Installation failed. Please check the output above."};
    }
    void terminalInstallerScriptRuns()
    {
        QFETCH(QString, brewBody);
        QFETCH(int, status);
        QFETCH(QStringList, lines);
        if (QFileInfo::exists("/opt/homebrew/bin/brew") || QFileInfo::exists("/usr/local/bin/brew"))
            QSKIP("this machine has Homebrew at one of the paths the script tries first");
        TestHome home;
        SimulatedMac mac;
        AppState app;
        const QString script = app.makeWireGuardToolsInstallScript();

        // `brew` only on the search path, as a stand-in.
        QDir bin(home.path());
        QVERIFY(bin.mkpath(QStringLiteral("bin")));
        if (!brewBody.isEmpty())
            QVERIFY(writeScript(bin.filePath(QStringLiteral("bin/brew")), brewBody.toUtf8() + "\n"));
        const ScriptRun run =
            runInstaller(script, bin.filePath(QStringLiteral("bin")) + QStringLiteral(":/usr/bin:/bin"));

        QCOMPARE(run.status, status);
        QVERIFY2(run.output.contains(QLatin1String("Tovren WireGuard Tools installer")), qPrintable(run.output));
        qsizetype at = 0;
        for (const QString &line : lines) {
            at = run.output.indexOf(line + u'\n', at);
            QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing in order: %1\n%2").arg(line, run.output)));
        }
    }

    void terminalInstallerThatCannotBeWrittenIsReported()
    {
        TestHome home;
        SimulatedMac mac;
        AppState app;
        // Something that is not a folder stands where the installers go.
        QVERIFY(QDir().mkpath(ProductPaths::productDirectory()));
        QFile blocker(ProductPaths::installersDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        awaitTask(app.installWireGuardToolsInTerminal());

        QVERIFY(app.alertMessage().has_value());
        QVERIFY(app.alertMessage()->contains(ProductPaths::installersDirectory()));
        QCOMPARE(app.alertAction(), std::nullopt);
        QCOMPARE(app.logs().first().message, QStringLiteral("打开终端安装失败：") + *app.alertMessage());
        QVERIFY(mac.invocations(QStringLiteral("open")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTunnelComponents)
#include "test_tunnel_components.moc"
