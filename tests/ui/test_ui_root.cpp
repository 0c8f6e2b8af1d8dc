#include "AuthView.h"
#include "MainWindow.h"
#include "RecordingActions.h"
#include "RootView.h"
#include "TestHome.h"
#include "Typography.h"
#include "UiTestSupport.h"

#include "AIEnhancedModeCard.h"
#include "AccountPages.h"
#include "ConnectionPanel.h"
#include "HomeControls.h"
#include "HomeView.h"
#include "MetricCard.h"
#include "NodePanel.h"
#include "PageParts.h"
#include "Screenshots.h"
#include "SidebarView.h"
#include "StyledButton.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolButton>
#include <algorithm>

Q_DECLARE_METATYPE(std::optional<AppAlertAction>)

namespace {

QStringList buttonTitles(QMessageBox *box)
{
    QStringList titles;
    for (QAbstractButton *button : box->buttons())
        titles.append(button->text());
    titles.sort();
    return titles;
}

} // namespace

// The window frame: pages, the start-up task, the alert and the sign-in sheet.
class TestUiRoot : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void windowFrame()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        MainWindow window(actions);
        QCOMPARE(window.windowTitle(), QStringLiteral("Tovren"));
        QCOMPARE(window.minimumSize(), QSize(980, 680));
        QCOMPARE(window.size(), QSize(1180, 780));
        QSignalSpy firstShown(&window, &MainWindow::firstShown);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // bootstrap first, then the self-test switch, once however often the window shows.
        QTRY_COMPARE(actions.calls, QStringList({"bootstrap", "runAutoconnectSmokeTestIfRequested"}));
        window.hide();
        window.show();
        QCoreApplication::processEvents();
        QCOMPARE(actions.calls.size(), 2);
        QCOMPARE(firstShown.count(), 1);

        RootView *root = window.rootView();
        QCOMPARE(root->currentPage(), root->homeView());
        state.setSelectedPage(AppPage::invite);
        QCOMPARE(root->currentPage(), root->inviteView());

        // Closed to the menu bar, the window says once that the client keeps running, and comes back when the
        // application is activated (a click on the Dock icon).
        QGuiApplication::setQuitOnLastWindowClosed(false);
        for (int round = 0; round < 2; ++round) {
            window.close();
            QVERIFY(!window.isVisible());
            window.applicationActivated();
            QVERIFY(window.isVisible());
        }
        QCOMPARE(std::count_if(state.logs().cbegin(), state.logs().cend(),
                               [](const LogEntry &entry) { return entry.message == MainWindow::keepsRunningMessage; }),
                 1);
    }

    // Text from the control plane is shown as typed, and a dark system theme leaves every label readable.
    void controlPlaneTextUnderADarkTheme()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        const QString markup = QStringLiteral("<b>标记</b>");
        APIUser user = testUser();
        user.identity = markup;
        state.setCurrentUser(user);
        state.setDevices({testDevice(markup, false)});
        state.appendLog(markup);
        MainWindow window(actions);
        window.show();
        state.setAlertMessage(markup);
        imitateDarkSystemTheme();

        int marked = 0;
        for (QLabel *label : window.findChildren<QLabel *>()) {
            label->ensurePolished();
            QVERIFY2(label->palette().color(label->foregroundRole()) != QColor(0xee, 0xee, 0xee),
                     qPrintable(label->text()));
            if (label->text().contains(markup)) {
                QCOMPARE(label->textFormat(), Qt::PlainText);
                ++marked;
            }
        }
        QCOMPARE(marked, 4); // the account box, the log, the device row and the alert
        QCOMPARE(window.rootView()->alert()->textFormat(), Qt::PlainText);
    }

    // The drawn controls answer the keyboard, and Tab visits them in reading order.
    void keyboard()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        MainWindow window(actions);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        state.setEndpoints({testEndpoint("a", "东京"), testEndpoint("b", "首尔"), testEndpoint("c", "伦敦")});
        state.setNodesExpanded(true);      // rows made after everything else
        QCoreApplication::processEvents(); // and shown on the next turn of the loop

        SidebarView *sidebar = window.rootView()->sidebar();
        HomeView *page = window.rootView()->homeView();
        const QList<NodeRow *> rows = page->nodePanel()->rows();
        QList<QWidget *> chain;
        for (QWidget *widget = window.nextInFocusChain(); widget != &window; widget = widget->nextInFocusChain()) {
            if (widget->isVisible() && (widget->focusPolicy() & Qt::TabFocus))
                chain.append(widget);
        }
        const QList<QWidget *> reading{sidebar->pageButtons().first(),
                                       sidebar->pageButtons().last(),
                                       sidebar->accountButton(),
                                       page->connectionPanel()->connectButton(),
                                       page->nodePanel()->refreshButton(),
                                       rows[0],
                                       rows[2],
                                       page->nodePanel()->expandButton(),
                                       page->aiCard()->toggleButton()};
        for (qsizetype i = 1; i < reading.size(); ++i)
            QVERIFY2(chain.indexOf(reading[i - 1]) >= 0 && chain.indexOf(reading[i - 1]) < chain.indexOf(reading[i]),
                     qPrintable(QString::number(i)));

        const QList<std::pair<FocusButton *, AppPage>> controls{
            {page->connectionPanel()->connectButton(), AppPage::home},
            {rows[0], AppPage::home},
            {sidebar->pageButtons()[1], AppPage::home},
            {window.rootView()->settingsView()->launchAtLoginRow()->toggle(), AppPage::settings},
        };
        for (const auto &[control, shownOn] : controls) {
            state.setSelectedPage(shownOn);
            control->clearFocus();
            const QImage plain = control->grab().toImage();
            control->setFocus(Qt::TabFocusReason);
            QVERIFY(control->showsFocusRing());
            QVERIFY(control->grab().toImage() != plain);
            QSignalSpy presses(control, &QAbstractButton::clicked);
            QTest::keyClick(control, Qt::Key_Space);
            QTest::keyClick(control, Qt::Key_Return);
            QCOMPARE(presses.count(), 2);
        }
    }

    void minimumSizeKeepsTheConnectButtonAndCardsInView()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        QList<Endpoint> many;
        for (int i = 0; i < 20; ++i)
            many.append(testEndpoint(QString::number(i), QStringLiteral("东京")));
        state.setEndpoints(many);
        state.setNodesExpanded(true);
        state.setConnectionState(ConnectionState::configReady); // with the component button, the panel is tallest
        MainWindow window(actions);
        window.resize(MainWindow::minimumContentSize);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QScrollArea *scroll = window.rootView()->currentScrollArea();
        QCOMPARE(scroll->verticalScrollBar()->maximum(), 0);
        ConnectionPanel *panel = window.rootView()->homeView()->connectionPanel();
        for (QWidget *widget : std::initializer_list<QWidget *>{panel->connectButton(), panel->componentButton(),
                                                                panel->endpointCard(), panel->durationCard()}) {
            const QRect shown(widget->mapTo(scroll->viewport(), QPoint()), widget->size());
            QVERIFY(scroll->viewport()->rect().contains(shown));
        }
        QVERIFY(window.rootView()->homeView()->nodePanel()->list()->verticalScrollBar()->maximum() > 0);
    }

    void alertButtons_data()
    {
        QTest::addColumn<std::optional<AppAlertAction>>("action");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("press");
        QTest::addColumn<QString>("call");
        QTest::newRow("plain alert") << std::optional<AppAlertAction>() << QStringList{"知道了"} << "知道了"
                                     << "";
        QTest::newRow("install, accepted") << std::optional(AppAlertAction::installWireGuardTools)
                                           << QStringList{"一键安装组件", "稍后"} << "一键安装组件"
                                           << "installWireGuardTools";
        QTest::newRow("install, later") << std::optional(AppAlertAction::installWireGuardTools)
                                        << QStringList{"一键安装组件", "稍后"} << "稍后"
                                        << "";
        QTest::newRow("terminal, accepted") << std::optional(AppAlertAction::openTerminalInstaller)
                                            << QStringList{"打开终端安装", "稍后"} << "打开终端安装"
                                            << "installWireGuardToolsInTerminal";
        QTest::newRow("terminal, later") << std::optional(AppAlertAction::openTerminalInstaller)
                                         << QStringList{"打开终端安装", "稍后"} << "稍后"
                                         << "";
    }
    void alertButtons()
    {
        TestHome home;
        QFETCH(std::optional<AppAlertAction>, action);
        QFETCH(QStringList, buttons);
        QFETCH(QString, press);
        QFETCH(QString, call);
        AppState state;
        RecordingActions actions(state);
        RootView root(actions);
        root.show();
        state.setAlertAction(action);
        state.setAlertMessage(QStringLiteral("需要安装连接组件。"));
        QMessageBox *box = root.alert();
        QVERIFY(box);
        QCOMPARE(box->windowTitle(), QStringLiteral("Tovren"));
        QCOMPARE(box->text(), QStringLiteral("需要安装连接组件。"));
        QStringList expected = buttons;
        expected.sort();
        QCOMPARE(buttonTitles(box), expected);
        click(buttonTitled(box, press));
        QTRY_VERIFY(!state.alertMessage());
        QVERIFY(!state.alertAction());
        QVERIFY(!root.alert());
        QCOMPARE(actions.calls.contains(call), !call.isEmpty());
        QVERIFY(!actions.calls.contains(call.isEmpty() ? "installWireGuardTools" : "none"));
    }

    void alertDismissedWithEscapeIsCleared()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        RootView root(actions);
        root.show();
        state.setAlertAction(AppAlertAction::installWireGuardTools);
        state.setAlertMessage(QStringLiteral("x"));
        QVERIFY(root.alert());
        root.alert()->reject();
        QTRY_VERIFY(!state.alertMessage());
        QVERIFY(!actions.calls.contains("installWireGuardTools"));
    }

    // Regression: the installer's own failure alert used to be wiped by the button that started it.
    void alertRaisedByTheTerminalInstallerStays()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        actions.onTerminalInstaller = [&state] { state.setAlertMessage(QStringLiteral("打开终端安装失败：磁盘已满")); };
        RootView root(actions);
        root.show();
        state.setAlertAction(AppAlertAction::openTerminalInstaller);
        state.setAlertMessage(QStringLiteral("需要在终端里安装。"));
        click(buttonTitled(root.alert(), QStringLiteral("打开终端安装")));
        QTRY_COMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("打开终端安装失败：磁盘已满")));
        QVERIFY(root.alert());
        QCOMPARE(root.alert()->text(), QStringLiteral("打开终端安装失败：磁盘已满"));
        QCOMPARE(buttonTitles(root.alert()), QStringList{"知道了"});
    }

    void sheetFollowsTheState()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        RootView root(actions);
        root.show();
        QVERIFY(!root.authSheet());
        state.setShowAuthSheet(true);
        QVERIFY(root.authSheet());
        root.authView()->identityField()->setText(QStringLiteral("typed@example.com"));

        // Escape dismisses it, and the state hears of it.
        root.authSheet()->reject();
        QTRY_VERIFY(!state.showAuthSheet());
        QVERIFY(!root.authSheet());

        // Shown again, it starts empty.
        state.setShowAuthSheet(true);
        QVERIFY(root.authView()->identityField()->text().isEmpty());
        click(root.authView()->closeButton());
        QVERIFY(!state.showAuthSheet());
        QVERIFY(!root.authSheet());
    }
};

QTEST_MAIN(TestUiRoot)
#include "test_ui_root.moc"
