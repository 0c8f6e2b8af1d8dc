#include "AppDelegate.h"
#include "MainWindow.h"
#include "MenuBar.h"
#include "QuitInterceptor.h"
#include "RecordingActions.h"
#include "TestHome.h"
#include "Typography.h"
#include "UiTestSupport.h"

#include <QCoro/QCoroSignal>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

Q_DECLARE_METATYPE(ConnectionState)

namespace {

// A clean-up that runs until the test lets it finish.
class Gate : public QObject
{
    Q_OBJECT
public:
    int started = 0;
    bool finished = false;
    QCoro::Task<> cleanup()
    {
        ++started;
        co_await qCoro(this, &Gate::open);
        finished = true;
    }
Q_SIGNALS:
    void open();
};

} // namespace

// Quitting, the menu bar item and the picture command.
class TestUiShell : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void slowCleanupIsCutOffByTheGuard()
    {
        TestHome home;
        QObject state;
        Gate gate;
        AppDelegate delegate(std::chrono::milliseconds(50));
        delegate.attach(&state, [&gate] { return gate.cleanup(); });
        QSignalSpy replies(&delegate, &AppDelegate::terminationApproved);

        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateLater);
        QCOMPARE(gate.started, 1);
        QVERIFY(replies.isEmpty());
        QTRY_COMPARE(replies.count(), 1);
        QVERIFY(!gate.finished);

        // A second request during the clean-up goes through at once and starts nothing new.
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateNow);
        QCOMPARE(gate.started, 1);

        // The clean-up ending later does not answer again.
        Q_EMIT gate.open();
        QTRY_VERIFY(gate.finished);
        QTest::qWait(20);
        QCOMPARE(replies.count(), 1);
    }

    void quickCleanupRepliesOnce()
    {
        TestHome home;
        QObject state;
        Gate gate;
        AppDelegate delegate(std::chrono::milliseconds(100));
        delegate.attach(&state, [&gate] { return gate.cleanup(); });
        QSignalSpy replies(&delegate, &AppDelegate::terminationApproved);
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateLater);
        Q_EMIT gate.open();
        QTRY_COMPARE(replies.count(), 1);
        QTest::qWait(250); // past the guard
        QCOMPARE(replies.count(), 1);
        QVERIFY(delegate.didReplyToTermination());
    }

    void failingCleanupStillQuits()
    {
        TestHome home;
        QObject state;
        AppDelegate delegate(std::chrono::seconds(30));
        delegate.attach(&state, []() -> QCoro::Task<> {
            throw std::runtime_error("proxy settings locked");
            co_return;
        });
        QSignalSpy replies(&delegate, &AppDelegate::terminationApproved);
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateLater);
        QTRY_COMPARE(replies.count(), 1);
    }

    void quitBeforeTheWindowShowedSkipsTheCleanup()
    {
        TestHome home;
        AppDelegate delegate;
        QCOMPARE(delegate.guard(), std::chrono::milliseconds(3000));
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateNow);

        // A state that is gone counts as never handed over.
        auto *state = new QObject;
        Gate gate;
        AppDelegate late;
        late.attach(state, [&gate] { return gate.cleanup(); });
        delete state;
        QCOMPARE(late.shouldTerminate(), AppDelegate::Reply::terminateNow);
        QCOMPARE(gate.started, 0);
    }

    void everyQuitGoesThroughTheDelegate()
    {
        TestHome home;
        QObject state;
        Gate gate;
        AppDelegate delegate(std::chrono::seconds(30));
        delegate.attach(&state, [&gate] { return gate.cleanup(); });
        int finished = 0;
        QuitInterceptor interceptor(delegate, [&finished] {
            ++finished;
            QCoreApplication::exit(0);
        });
        // The platform's quit (menu, Cmd+Q, end of session) arrives as a Quit event while the loop runs.
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QTimer::singleShot(50, &gate, [&gate] { Q_EMIT gate.open(); });
        QTimer::singleShot(5000, [] { QCoreApplication::exit(1); }); // watchdog
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(interceptor.swallowedQuitRequests(), 1);
        QCOMPARE(gate.started, 1);
        QVERIFY(gate.finished);
        QCOMPARE(finished, 1);
    }

    void statusLabel_data()
    {
        QTest::addColumn<bool>("speeds");
        QTest::addColumn<double>("down");
        QTest::addColumn<double>("up");
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("text");
        QTest::newRow("name and image") << false << 1572864.0 << 12288.0 << true << "Tovren";
        QTest::newRow("speeds") << true << 1572864.0 << 12288.0 << false << "↓ 1.5 MB/s  ↑ 12 KB/s";
        QTest::newRow("just below a kilobyte") << true << 1023.0 << 0.0 << false << "↓ 1023 B/s  ↑ 0 B/s";
        QTest::newRow("one kilobyte") << true << 1024.0 << 0.0 << false << "↓ 1 KB/s  ↑ 0 B/s";
    }
    void statusLabel()
    {
        TestHome home;
        QFETCH(bool, speeds);
        QFETCH(double, down);
        QFETCH(double, up);
        QFETCH(bool, image);
        QFETCH(QString, text);
        AppState state;
        state.stopSpeedMonitor();
        RecordingActions actions(state);
        MenuBarItem item(actions, [] {});
        state.setShowMenuBarSpeedValue(speeds);
        state.setDownloadSpeedBps(down);
        state.setUploadSpeedBps(up);
        const MenuBarStatusLabel label = MenuBarStatusLabel::of(state);
        QCOMPARE(label.showsImage, image);
        QCOMPARE(label.text, text);
        QCOMPARE(item.toolTip(), text);
        QCOMPARE(item.menu()->speedAction()->isVisible(), speeds);
        if (speeds)
            QCOMPARE(item.menu()->speedAction()->text(), text);

        // The status area shows the label as a picture, 22 points high, drawn again only when the label changes.
        const QImage picture = item.image();
        QCOMPARE(picture.height(), 44);
        QImage blank(picture.size(), picture.format());
        blank.fill(Qt::transparent);
        QVERIFY(picture != blank);
        const int draws = item.imageDraws();
        state.setUploadSpeedBps(up + 0.4);
        state.setSelectedPage(AppPage::plans);
        QCOMPARE(item.imageDraws(), draws);
        state.setShowMenuBarSpeedValue(!speeds);
        QCOMPARE(item.imageDraws(), draws + 1);
    }

    void speedSwitchSurvivesARestart()
    {
        TestHome home;
        {
            AppState state;
            RecordingActions actions(state);
            MenuBarMenu menu(actions, [] {});
            QVERIFY(!menu.speedSwitch()->isChecked());
            menu.speedSwitch()->trigger();
            QVERIFY(state.showMenuBarSpeed());
            QVERIFY(menu.speedSwitch()->isChecked());
        }
        AppState restarted;
        QVERIFY(restarted.showMenuBarSpeed());
        RecordingActions actions(restarted);
        MenuBarMenu menu(actions, [] {});
        QVERIFY(menu.speedSwitch()->isChecked());
    }

    void menuEntries_data()
    {
        QTest::addColumn<ConnectionState>("connection");
        QTest::addColumn<QString>("title");
        QTest::newRow("disconnected") << ConnectionState(ConnectionState::disconnected) << "一键连接";
        QTest::newRow("components missing") << ConnectionState(ConnectionState::configReady) << "一键连接";
        QTest::newRow("failed") << ConnectionState::makeFailed("x") << "一键连接";
        QTest::newRow("preparing") << ConnectionState(ConnectionState::preparing) << "正在连接";
        QTest::newRow("connected") << ConnectionState(ConnectionState::connected) << "断开连接";
        QTest::newRow("disconnecting") << ConnectionState(ConnectionState::disconnecting) << "正在断开";
        QTest::newRow("repairing") << ConnectionState(ConnectionState::repairing) << "正在修复";
    }
    void menuEntries()
    {
        TestHome home;
        QFETCH(ConnectionState, connection);
        QFETCH(QString, title);
        AppState state;
        RecordingActions actions(state);
        int quits = 0;
        MenuBarMenu menu(actions, [&quits] { ++quits; });
        QSignalSpy raised(&actions, &StateActions::dashboardRequested);

        QStringList entries;
        for (QAction *action : menu.actions()) {
            if (action->isVisible())
                entries.append(action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        QCOMPARE(entries, QStringList({"显示仪表盘", "实时显示网速", "出站模式", "-", "一键连接", "退出"}));

        state.setConnectionState(connection);
        state.setIsBusy(true); // like the window's button: no second connect or disconnect
        QCOMPARE(menu.connectionAction()->text(), title);
        QVERIFY(!menu.connectionAction()->isEnabled());
        state.setIsBusy(false);
        menu.connectionAction()->trigger();
        QTRY_COMPARE(actions.last(), QStringLiteral("toggleConnection"));

        state.setSelectedPage(AppPage::settings);
        menu.dashboardAction()->trigger();
        QCOMPARE(state.selectedPage(), AppPage::home);
        QCOMPARE(raised.count(), 1);

        const QList<QAction *> modes = menu.outboundMenu()->actions();
        QCOMPARE(modes.size(), 2);
        QCOMPARE(modes[0]->text(), QStringLiteral("智能模式"));
        QVERIFY(modes[0]->isChecked());
        modes[1]->trigger();
        QCOMPARE(actions.last(), QStringLiteral("setOutboundMode(enhanced)"));
        QVERIFY(modes[0]->isChecked()); // only the state moves the check
        state.setOutboundModeValue(OutboundMode::enhanced);
        QVERIFY(modes[1]->isChecked());

        menu.quitAction()->trigger();
        QCOMPARE(quits, 1);
    }

    void clickingTheItemBringsTheWindowBack()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        MainWindow window(actions);
        MenuBarItem item(actions, [] {});
        // The offscreen platform has no tray: there is no icon, and the item still answers.
        QCOMPARE(item.trayIcon() != nullptr, MenuBarItem::available());
        state.setSelectedPage(AppPage::settings);
        item.activated(QSystemTrayIcon::Context); // that click only opens the menu
        QVERIFY(!window.isVisible());
        item.activated(QSystemTrayIcon::Trigger);
        QVERIFY(window.isVisible());
        QCOMPARE(state.selectedPage(), AppPage::settings); // the window comes back as it was left
    }

    void screenshotCommand()
    {
        TestHome home;
        QTemporaryDir out;
        QProcess tovren;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        tovren.setProcessEnvironment(env);
        tovren.start(qEnvironmentVariable("TOVREN_BUILD_DIR") + "/src/app/tovren", {"--screenshots", out.path()});
        QVERIFY(tovren.waitForFinished(60000));
        QCOMPARE(tovren.exitCode(), 0);
        for (const QString name : {"home-signed-out", "home-connected", "sign-in-sheet", "plans", "invite", "settings",
                                   "settings-feedback", "home-dark", "home-many-endpoints"}) {
            const QImage picture(out.filePath(name + QStringLiteral(".png")));
            QVERIFY2(!picture.isNull(), qPrintable(name));
            QCOMPARE(picture.size(), name == "home-many-endpoints" ? QSize(980, 680) : QSize(1180, 780));
        }
        // The sidebar is 232 wide: its border line is the last column of it.
        const QImage home_(out.filePath(QStringLiteral("home-signed-out.png")));
        QCOMPARE(home_.pixelColor(231, 400).lightness() < 230, true);
        QCOMPARE(home_.pixelColor(200, 400), QColor(Qt::white));
        // The connect button is black when signed out and green when connected, in the same place.
        const QImage connected(out.filePath(QStringLiteral("home-connected.png")));
        const QColor off = home_.pixelColor(543, 300);
        const QColor on = connected.pixelColor(543, 300);
        QVERIFY(off.lightness() < 20);
        QVERIFY(on.green() > on.red() + 50);
    }
};

QTEST_MAIN(TestUiShell)
#include "test_ui_shell.moc"
