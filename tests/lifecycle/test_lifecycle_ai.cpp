#include "SimulatedMac.h"
#include "TestHome.h"
#include "core/AppState.h"
#include "core/Workspace.h"

#include <QFile>
#include <QTest>

namespace {

// Records what the client hands to the desktop; opening can be made to fail.
struct DesktopRecorder
{
    QStringList copied;
    QList<QUrl> opened;
    bool openSucceeds = true;

    void install()
    {
        Workspace::install({[this](const QUrl &url) {
                                opened.append(url);
                                return openSucceeds;
                            },
                            [this](const QString &text) {
                                copied.append(text);
                                return true;
                            },
                            {}});
    }
    ~DesktopRecorder() { Workspace::install({}); }
};

QStringList loggedMessages(const AppState &state)
{
    QStringList messages; // oldest first
    for (const LogEntry &entry : state.logs())
        messages.prepend(entry.message);
    return messages;
}

const QString codexScript = QStringLiteral("export HTTP_PROXY=http://127.0.0.1:19110\n"
                                           "export HTTPS_PROXY=http://127.0.0.1:19110\n"
                                           "export ALL_PROXY=socks5h://127.0.0.1:19110\n"
                                           "export NO_PROXY=localhost,127.0.0.1,::1\n"
                                           "clear\n"
                                           "echo 'Tovren AI增强功能已注入代理环境：127.0.0.1:19110'\n"
                                           "echo 'HTTP_PROXY / HTTPS_PROXY / ALL_PROXY 已设置。'\n"
                                           "echo ''\n"
                                           "if command -v 'codex' >/dev/null 2>&1; then\n"
                                           "  'codex'\n"
                                           "else\n"
                                           "  echo '未检测到 Codex 命令，请先安装或检查 PATH。'\n"
                                           "fi");

// A state past its start-up clean-up (which runs against the simulated Mac of the test), its log emptied.
std::unique_ptr<AppState> startedState()
{
    auto state = std::make_unique<AppState>();
    for (int waited = 0; !state->startupCleanupFinished() && waited < 20000; waited += 20)
        QTest::qWait(20);
    state->setLogs({});
    return state;
}

} // namespace

class TestLifecycleAI : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toggleAIEnhancedMode_data()
    {
        QTest::addColumn<bool>("startsOn");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QStringList>("logLines");
        QTest::addColumn<bool>("proxyReadyAfter"); // aiProxyReady was true before the toggle

        const QString on = QStringLiteral("AI 增强模式已开启。");
        const QString off = QStringLiteral("AI 增强模式已关闭。");
        const QString notice = QStringLiteral("AI 增强模式变更将在下次一键连接后完全生效。");
        QTest::newRow("off->on, idle") << false << false << QStringList{on} << true;
        QTest::newRow("off->on, connected: ready untouched") << false << true << QStringList{on, notice} << true;
        QTest::newRow("on->off, idle") << true << false << QStringList{off} << false;
        QTest::newRow("on->off, connected: ready cleared") << true << true << QStringList{off, notice} << false;
    }

    void toggleAIEnhancedMode()
    {
        QFETCH(bool, startsOn);
        QFETCH(bool, connected);
        QFETCH(QStringList, logLines);
        QFETCH(bool, proxyReadyAfter);

        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        {
            const auto first = startedState();
            if (startsOn)
                first->toggleAIEnhancedMode(); // stored, so the next state starts with it
        }
        const auto ownedState = startedState();
        AppState &state = *ownedState;
        QCOMPARE(state.aiEnhancedModeEnabled(), startsOn);
        state.setAiProxyReady(true);
        if (connected)
            state.setConnectionState(ConnectionState::connected);

        state.toggleAIEnhancedMode();
        QCOMPARE(state.aiEnhancedModeEnabled(), !startsOn);
        QCOMPARE(loggedMessages(state), logLines);
        QCOMPARE(state.aiProxyReady(), proxyReadyAfter);
        QCOMPARE(state.connectionState().kind(),
                 connected ? ConnectionState::connected : ConnectionState::disconnected);
        QCOMPARE(state.preferences().boolValue(AppState::aiEnhancedModeEnabledKey), std::optional<bool>(!startsOn));
    }

    void outboundModeIsStoredAndLoggedOnlyOnChange()
    {
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        {
            const auto ownedState = startedState();
            AppState &state = *ownedState;
            state.setOutboundMode(OutboundMode::smart); // already in force
            QCOMPARE(loggedMessages(state), QStringList());
            QVERIFY(!state.preferences().stringValue(AppState::outboundModeKey).has_value());

            state.setConnectionState(ConnectionState::connected);
            state.setOutboundMode(OutboundMode::enhanced);
            state.setOutboundMode(OutboundMode::enhanced);
            QCOMPARE(loggedMessages(state), QStringList{QStringLiteral("已切换出站模式：增强模式。")});
            QCOMPARE(state.connectionState().kind(), ConnectionState::connected);
        }
        const auto ownedReopened = startedState();
        AppState &reopened = *ownedReopened;
        QCOMPARE(reopened.outboundMode(), OutboundMode::enhanced);
        QCOMPARE(reopened.preferences().stringValue(AppState::outboundModeKey), std::optional<QString>("enhanced"));
        reopened.setOutboundMode(OutboundMode::smart);
        QCOMPARE(loggedMessages(reopened), QStringList{QStringLiteral("已切换出站模式：智能模式。")});
        QCOMPARE(reopened.preferences().stringValue(AppState::outboundModeKey), std::optional<QString>("smart"));
    }

    void telegramLinkIsCopiedAndOpened_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("openSucceeds");
        QTest::newRow("default port") << 19090 << true;
        QTest::newRow("moved port, handler refuses") << 19093 << false;
    }

    void telegramLinkIsCopiedAndOpened()
    {
        QFETCH(int, port);
        QFETCH(bool, openSucceeds);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        DesktopRecorder desktop;
        desktop.openSucceeds = openSucceeds;
        desktop.install();
        const auto ownedState = startedState();
        AppState &state = *ownedState;
        state.setLocalProxyPort(port);

        state.openTelegramProxy(); // no connection needed
        const QString link = QStringLiteral("tg://socks?server=127.0.0.1&port=") + QString::number(port);
        QCOMPARE(desktop.copied, QStringList{link});
        QCOMPARE(desktop.opened.size(), 1);
        QCOMPARE(desktop.opened.first().toString(QUrl::FullyEncoded), link);
        QCOMPARE(loggedMessages(state), QStringList{QStringLiteral("已打开 Telegram 本地 SOCKS 代理入口。")});
    }

    void launcherRefusesWithoutModeOrConnection_data()
    {
        QTest::addColumn<bool>("aiMode");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("alert");
        const QString modeFirst = QStringLiteral("请先开启 AI增强功能，并重新一键连接后再启动 Claude。");
        const QString needsConnection =
            QStringLiteral("请先开启 AI增强功能并完成一键连接，再启动 Claude AI 代理环境。");
        QTest::newRow("mode off, idle: mode check first") << false << int(ConnectionState::disconnected) << modeFirst;
        QTest::newRow("mode off, connected") << false << int(ConnectionState::connected) << modeFirst;
        QTest::newRow("mode on, preparing") << true << int(ConnectionState::preparing) << needsConnection;
        QTest::newRow("mode on, repairing") << true << int(ConnectionState::repairing) << needsConnection;
    }

    void launcherRefusesWithoutModeOrConnection()
    {
        QFETCH(bool, aiMode);
        QFETCH(int, state);
        QFETCH(QString, alert);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const auto ownedApp = startedState();
        AppState &app = *ownedApp;
        if (aiMode)
            app.toggleAIEnhancedMode();
        app.setConnectionState(ConnectionState::Kind(state));
        app.setAlertAction(AppAlertAction::installWireGuardTools);
        const int logsBefore = app.logs().size();

        app.openAIToolLauncher(QStringLiteral("claude"), QStringLiteral("Claude"));
        QCOMPARE(app.alertMessage(), std::optional<QString>(alert));
        QCOMPARE(app.alertAction(), std::nullopt);
        QCOMPARE(app.logs().size(), logsBefore);
        QTest::qWait(200);
        QVERIFY(mac.invocations(QStringLiteral("osascript")).isEmpty());
    }

    void launcherRunsTheScriptInTerminal_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("aiPort");
        QTest::addColumn<QString>("script");
        QTest::newRow("codex") << "codex" << 19110 << codexScript;
        QString quoted = codexScript;
        quoted.replace(QStringLiteral("19110"), QStringLiteral("19111"));
        quoted.replace(QStringLiteral("'codex'"), QStringLiteral("'a'\\''b\"c\\d'"));
        // A single quote is shell-quoted; the double quote and backslash survive the AppleScript literal.
        QTest::newRow("quote, double quote, backslash") << "a'b\"c\\d" << 19111 << quoted;
    }

    void launcherRunsTheScriptInTerminal()
    {
        QFETCH(QString, command);
        QFETCH(int, aiPort);
        QFETCH(QString, script);
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        const auto ownedApp = startedState();
        AppState &app = *ownedApp;
        app.toggleAIEnhancedMode();
        app.setConnectionState(ConnectionState::connected);
        app.setLocalAIProxyPort(aiPort);
        QVERIFY(!app.aiProxyReady()); // not consulted

        app.openAIToolLauncher(command, QStringLiteral("Codex"));
        QCOMPARE(app.logs().first().message, QStringLiteral("已打开 Codex AI 代理启动器。"));
        QCOMPARE(app.alertMessage(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(mac.terminalScripts(), QStringList{script}, 10000);

        const QList<SimulatedMac::Invocation> runs = mac.invocations(QStringLiteral("osascript"));
        QCOMPARE(runs.size(), 1);
        QString literal = script;
        literal.replace(QStringLiteral("\\"), QStringLiteral("\\\\"))
            .replace(QStringLiteral("\""), QStringLiteral("\\\""));
        QCOMPARE(runs.first().arguments,
                 (QStringList{QStringLiteral("-e"),
                              QStringLiteral("tell application \"Terminal\"\n  activate\n  do script \"") + literal +
                                  QStringLiteral("\"\nend tell")}));
    }

    void launcherThatCannotStartIsPresented()
    {
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        QVERIFY(QFile::remove(mac.path(QStringLiteral("/usr/bin/osascript"))));
        const auto ownedApp = startedState();
        AppState &app = *ownedApp;
        app.toggleAIEnhancedMode();
        app.setConnectionState(ConnectionState::connected);

        app.openAIToolLauncher(QStringLiteral("claude"), QStringLiteral("Claude"));
        QVERIFY(app.alertMessage().has_value() && !app.alertMessage()->isEmpty());
        QCOMPARE(app.logs().first().message, QStringLiteral("Claude 启动器打开失败：") + *app.alertMessage());
        QVERIFY(!app.logs().first().message.contains(QStringLiteral("已打开")));
    }
};

QTEST_GUILESS_MAIN(TestLifecycleAI)
#include "test_lifecycle_ai.moc"
