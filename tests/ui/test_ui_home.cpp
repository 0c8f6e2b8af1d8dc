#include "AIEnhancedModeCard.h"
#include "ConnectionPanel.h"
#include "HomeControls.h"
#include "HomeView.h"
#include "LogPanel.h"
#include "MetricCard.h"
#include "NodePanel.h"
#include "PageParts.h"
#include "RecordingActions.h"
#include "SidebarView.h"
#include "StyledButton.h"
#include "TestHome.h"
#include "Typography.h"
#include "UiTestSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

Q_DECLARE_METATYPE(ConnectionState)
Q_DECLARE_METATYPE(ComponentInstallState)

// The home page and the sidebar follow the state and start the right operations.
class TestUiHome : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void connectButtonFollowsTheState_data()
    {
        QTest::addColumn<ConnectionState>("connection");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("green");
        QTest::newRow("disconnected") << ConnectionState(ConnectionState::disconnected) << false << "一键连接" << false;
        QTest::newRow("preparing while busy")
            << ConnectionState(ConnectionState::preparing) << true << "正在连接" << false;
        QTest::newRow("components missing")
            << ConnectionState(ConnectionState::configReady) << false << "一键连接" << false;
        QTest::newRow("connected") << ConnectionState(ConnectionState::connected) << false << "断开连接" << true;
        QTest::newRow("connected while busy")
            << ConnectionState(ConnectionState::connected) << true << "断开连接" << true;
        QTest::newRow("disconnecting") << ConnectionState(ConnectionState::disconnecting) << true << "正在断开"
                                       << false;
        QTest::newRow("repairing") << ConnectionState(ConnectionState::repairing) << false << "正在修复" << false;
        QTest::newRow("failed") << ConnectionState::makeFailed("端口被占用") << false << "一键连接" << false;
    }
    void connectButtonFollowsTheState()
    {
        TestHome home;
        QFETCH(ConnectionState, connection);
        QFETCH(bool, busy);
        QFETCH(QString, title);
        QFETCH(bool, green);
        AppState state;
        RecordingActions actions(state);
        ConnectionPanel panel(actions);
        state.setConnectionState(connection);
        state.setIsBusy(busy);
        ConnectButton *button = panel.connectButton();
        QCOMPARE(button->text(), title);
        QCOMPARE(button->isEnabled(), !busy);
        QCOMPARE(button->showsConnected(), green);
        QCOMPARE(button->size(), QSize(178, 178));
        panel.show();
        click(button);
        QCOMPARE(actions.calls.count("toggleConnection"), busy ? 0 : 1);
    }

    void componentButtonOnlyWhileComponentsAreMissing_data()
    {
        QTest::addColumn<ConnectionState>("connection");
        QTest::addColumn<ComponentInstallState>("install");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("enabled");
        const ConnectionState ready(ConnectionState::configReady);
        QTest::newRow("idle") << ready << ComponentInstallState() << true << "一键安装连接组件" << true;
        QTest::newRow("installing") << ready << ComponentInstallState(ComponentInstallState::installing) << true
                                    << "正在安装组件" << false;
        QTest::newRow("installed") << ready << ComponentInstallState(ComponentInstallState::installed) << true
                                   << "组件已安装" << true;
        QTest::newRow("needs Homebrew") << ready << ComponentInstallState(ComponentInstallState::needsHomebrew) << true
                                        << "重新安装组件" << true;
        QTest::newRow("failed") << ready << ComponentInstallState::makeFailed("x") << true << "重新安装组件" << true;
        QTest::newRow("disconnected hides it")
            << ConnectionState(ConnectionState::disconnected) << ComponentInstallState() << false << "" << true;
        QTest::newRow("connected hides it")
            << ConnectionState(ConnectionState::connected) << ComponentInstallState(ComponentInstallState::installed)
            << false << "" << true;
        QTest::newRow("failed connection hides it")
            << ConnectionState::makeFailed("x") << ComponentInstallState() << false << "" << true;
    }
    void componentButtonOnlyWhileComponentsAreMissing()
    {
        TestHome home;
        QFETCH(ConnectionState, connection);
        QFETCH(ComponentInstallState, install);
        QFETCH(bool, shown);
        QFETCH(QString, title);
        QFETCH(bool, enabled);
        AppState state;
        RecordingActions actions(state);
        ConnectionPanel panel(actions);
        panel.show();
        state.setConnectionState(connection);
        state.setComponentInstallState(install);
        StyledButton *button = panel.componentButton();
        QCOMPARE(button->isVisible(), shown);
        if (!shown)
            return;
        QCOMPARE(button->text(), title);
        QCOMPARE(button->isEnabled(), enabled);
        click(button);
        QCOMPARE(actions.calls.count("installWireGuardTools"), enabled ? 1 : 0);
    }

    void durationCard_data()
    {
        QTest::addColumn<int>("secondsAgo");
        QTest::addColumn<QString>("text");
        QTest::newRow("just connected") << 0 << "00:00";
        QTest::newRow("an hour and more") << 3725 << "62:05";
        QTest::newRow("two hours do not wrap") << 7200 << "120:00";
        QTest::newRow("a clock set back reads zero") << -30 << "00:00";
    }
    void durationCard()
    {
        TestHome home;
        QFETCH(int, secondsAgo);
        QFETCH(QString, text);
        AppState state;
        RecordingActions actions(state);
        ConnectionPanel panel(actions);
        QCOMPARE(panel.durationCard()->value(), QStringLiteral("--:--"));
        state.setConnectedAt(QDateTime::currentDateTime().addSecs(-secondsAgo));
        QCOMPARE(panel.durationCard()->value(), text);
    }

    void durationRedrawsEverySecondWhileShown()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        ConnectionPanel panel(actions);
        QVERIFY(!panel.durationTimer()->isActive());
        panel.show();
        QVERIFY(panel.durationTimer()->isActive());
        QCOMPARE(panel.durationTimer()->interval(), 1000);
        // The clock moves on without any change of state: only the timer can redraw the card.
        state.setConnectedAt(QDateTime::currentDateTime().addSecs(-59));
        QTRY_COMPARE_WITH_TIMEOUT(panel.durationCard()->value(), QStringLiteral("01:00"), 3000);
        panel.hide();
        QVERIFY(!panel.durationTimer()->isActive());
    }

    void emptyCatalogueFallsBackToThePlaceholder()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        SidebarView sidebar(actions);
        HomeView page(actions);
        QCOMPARE(sidebar.serviceText()->text(), QStringLiteral("节点服务正常"));
        state.setEndpoints({});
        QCOMPARE(sidebar.serviceText()->text(), QStringLiteral("节点服务待同步"));
        QVERIFY(page.nodePanel()->rows().isEmpty());
        QCOMPARE(page.connectionPanel()->endpointCard()->value(), QStringLiteral("香港"));
        QCOMPARE(page.connectionPanel()->latencyCard()->value(), QStringLiteral("38 ms"));
    }

    void nodeListExpandsAndSelects()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        NodePanel panel(actions);
        panel.show();

        // Two endpoints: the button is there and flips the flag, and the list stays as it is.
        QCOMPARE(panel.rows().size(), 2);
        QCOMPARE(panel.expandButton()->text(), QStringLiteral("展开全部节点"));
        click(panel.expandButton());
        QVERIFY(state.nodesExpanded());
        QCOMPARE(panel.expandButton()->text(), QStringLiteral("收起节点"));
        QCOMPARE(panel.rows().size(), 2);
        click(panel.expandButton());
        QVERIFY(!state.nodesExpanded());

        state.setEndpoints({testEndpoint("a", "东京"), testEndpoint("b", "首尔"), testEndpoint("c", "伦敦")});
        QCOMPARE(panel.rows().size(), 2);
        QVERIFY(panel.rows()[0]->isHighlighted()); // nothing chosen yet: the first one is what would connect
        state.setNodesExpanded(true);
        QCOMPARE(panel.rows().size(), 3);

        click(panel.rows()[2]);
        QCOMPARE(actions.last(), QStringLiteral("selectEndpoint(c)"));
        QCOMPARE(state.selectedEndpointId(), std::optional<QString>(QStringLiteral("c")));
        QVERIFY(panel.rows()[2]->isHighlighted());
        QVERIFY(!panel.rows()[0]->isHighlighted());
    }

    void logPanelShowsTheVisibleEntries()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        LogPanel panel(actions);
        state.appendLog(QStringLiteral("第二条"));
        state.appendLog(QStringLiteral("第三条"));
        QCOMPARE(panel.shownMessages(), QStringList({"第三条", "第二条"}));
        QCOMPARE(panel.toggleButton()->text(), QStringLiteral("日志"));
        click(panel.toggleButton());
        QVERIFY(state.logsExpanded());
        QCOMPARE(panel.toggleButton()->text(), QStringLiteral("收起"));
        QCOMPARE(panel.shownMessages(), QStringList({"第三条", "第二条", "客户端已就绪。"}));
    }

    void modeSwitchAndAICard()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        HomeView page(actions);
        page.show();
        SegmentedMode *mode = page.connectionPanel()->modeSwitch();
        QVERIFY(mode->segment(OutboundMode::smart)->isChecked());
        click(mode->segment(OutboundMode::enhanced));
        QCOMPARE(actions.last(), QStringLiteral("setOutboundMode(enhanced)"));
        // The state has not changed, so the switch still shows the current mode.
        QVERIFY(mode->segment(OutboundMode::smart)->isChecked());
        QVERIFY(!mode->segment(OutboundMode::enhanced)->isChecked());

        AIEnhancedModeCard *card = page.aiCard();
        QCOMPARE(card->toggleButton()->text(), QStringLiteral("AI增强功能"));
        QCOMPARE(card->infoButton()->toolTip(), QStringLiteral("查看 AI 增强模式说明"));
        click(card->toggleButton());
        QCOMPARE(actions.last(), QStringLiteral("toggleAIEnhancedMode"));
        click(card->telegramButton());
        QCOMPARE(actions.last(), QStringLiteral("openTelegramProxy"));
        state.setAiEnhancedModeEnabledValue(true);
        QCOMPARE(card->toggleButton()->text(), QStringLiteral("已开启AI增强功能"));

        QVERIFY(!card->popover());
        click(card->infoButton());
        QVERIFY(card->popover());
        QVERIFY(card->popover()->findChild<QLabel *>()->text().contains(QStringLiteral("\n\nTelegram强制连接")));
    }

    void accountBox_data()
    {
        QTest::addColumn<bool>("token");
        QTest::addColumn<bool>("user");
        QTest::addColumn<QString>("identity");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<QString>("plan");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("pressing");
        QTest::newRow("signed out") << false << false << "未登录" << false << "未开通套餐 · 0 / 0 设备"
                                    << "登录账号"
                                    << "sheet";
        QTest::newRow("token without a loaded user") << true << false << "未登录" << false << "未开通套餐 · 0 / 0 设备"
                                                     << "登录账号"
                                                     << "sheet";
        QTest::newRow("signed in") << true << true << "user@example.com" << false << "月费套餐 · 0 / 3 设备"
                                   << "退出登录"
                                   << "logout";
        QTest::newRow("a long address is cut, whole in the tool tip")
            << true << true << "a.very.long.mailbox.name@subscribers.example.com" << true << "月费套餐 · 0 / 3 设备"
            << "退出登录"
            << "logout";
    }
    void accountBox()
    {
        TestHome home;
        QFETCH(bool, token);
        QFETCH(bool, user);
        QFETCH(QString, identity);
        QFETCH(bool, cut);
        QFETCH(QString, plan);
        QFETCH(QString, button);
        QFETCH(QString, pressing);
        AppState state;
        RecordingActions actions(state);
        actions.signedIn = token;
        if (user) {
            APIUser signedIn = testUser();
            signedIn.identity = identity;
            state.setCurrentUser(signedIn);
        }
        SidebarView sidebar(actions);
        sidebar.show();
        ElidedLabel *shown = sidebar.accountIdentity();
        QCOMPARE(shown->fullText(), identity);
        QCOMPARE(shown->text() != identity, cut);
        QCOMPARE(shown->toolTip(), cut ? identity : QString());
        QCOMPARE(sidebar.accountPlan()->text(), plan);
        QCOMPARE(sidebar.accountButton()->text(), button);
        click(sidebar.accountButton());
        QCOMPARE(state.showAuthSheet(), pressing == "sheet");
        QCOMPARE(actions.calls.contains("logout"), pressing == "logout");
    }

    void sidebarSelectsPages()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        SidebarView sidebar(actions);
        sidebar.show();
        QCOMPARE(sidebar.width(), 232);
        const QList<SidebarButton *> buttons = sidebar.pageButtons();
        QCOMPARE(buttons.size(), 4);
        QStringList titles;
        for (SidebarButton *button : buttons)
            titles.append(button->text());
        QCOMPARE(titles, QStringList({"首页", "套餐", "邀请", "设置"}));
        QVERIFY(buttons[0]->isHighlighted());
        click(buttons[3]);
        QCOMPARE(state.selectedPage(), AppPage::settings);
        QVERIFY(buttons[3]->isHighlighted());
        QVERIFY(!buttons[0]->isHighlighted());
    }
};

QTEST_MAIN(TestUiHome)
#include "test_ui_home.moc"
