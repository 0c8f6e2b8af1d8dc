#include "AuthView.h"
#include "MainWindow.h"
#include "RecordingActions.h"
#include "RootView.h"
#include "TestHome.h"
#include "Typography.h"
#include "UiTestSupport.h"

#include "AccountPages.h"
#include "HomeView.h"
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QToolButton>

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

QAbstractButton *buttonTitled(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *button : box->buttons()) {
        if (button->text() == title)
            return button;
    }
    return nullptr;
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
