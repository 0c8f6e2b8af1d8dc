#include "AccountPages.h"
#include "AuthView.h"
#include "DevicePanels.h"
#include "FeedbackViews.h"
#include "NodePanel.h"
#include "PageParts.h"
#include "Pill.h"
#include "RecordingActions.h"
#include "StyledButton.h"
#include "TestHome.h"
#include "Typography.h"
#include "UiTestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

// The sign-in sheet and the plans, invitation and settings pages.
class TestUiAccount : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void signInButtonEnabling_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("everything filled in") << "a@b.cn"
                                              << "pw" << true << false << true;
        QTest::newRow("agreement not ticked") << "a@b.cn"
                                              << "pw" << false << false << false;
        QTest::newRow("no password") << "a@b.cn"
                                     << "" << true << false << false;
        QTest::newRow("no dot after the at sign") << "a@bcn"
                                                  << "pw" << true << false << false;
        QTest::newRow("blank inside the address") << "a b@c.cn"
                                                  << "pw" << true << false << false;
        QTest::newRow("ideographic space inside") << "a\u3000b@c.cn"
                                                  << "pw" << true << false << false;
        QTest::newRow("capitals and surrounding blanks are fine") << "  Ann@Mail.CN \n"
                                                                  << "pw" << true << false << true;
        QTest::newRow("busy") << "a@b.cn"
                              << "pw" << true << true << false;
    }
    void signInButtonEnabling()
    {
        TestHome home;
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QFETCH(bool, busy);
        QFETCH(bool, enabled);
        AppState state;
        RecordingActions actions(state);
        AuthView view(actions);
        view.show();
        view.identityField()->setText(email);
        view.passwordField()->setText(password);
        view.agreement()->setChecked(accepted);
        state.setIsBusy(busy);
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("登录"));
        QCOMPARE(view.primaryButton()->isEnabled(), enabled);
        click(view.primaryButton());
        QCOMPARE(actions.calls.size(), enabled ? 1 : 0);
    }

    void signInSendsTheNormalisedAddress()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        AuthView view(actions);
        view.show();
        view.identityField()->setText(QStringLiteral("  Ann@Mail.CN\t"));
        view.passwordField()->setText(QStringLiteral(" Secret "));
        view.agreement()->setChecked(true);
        click(view.primaryButton());
        QCOMPARE(actions.last(), QStringLiteral("login(ann@mail.cn, Secret )"));
    }

    void registeringLeavesTheCodeToTheControlPlane()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        AuthView view(actions);
        view.show();
        QVERIFY(!view.verificationCodeField()->isVisible());
        QCOMPARE(view.modeButton()->text(), QStringLiteral("没有账号，注册一个"));
        click(view.modeButton());
        QVERIFY(view.isRegistering());
        QVERIFY(view.verificationCodeField()->isVisible());
        QVERIFY(view.inviteCodeField()->isVisible());
        QCOMPARE(view.primaryButton()->text(), QStringLiteral("注册并登录"));
        QCOMPARE(view.modeButton()->text(), QStringLiteral("已有账号，去登录"));
        view.identityField()->setText(QStringLiteral("New@Example.com "));
        view.passwordField()->setText(QStringLiteral("pw"));
        view.agreement()->setChecked(true);
        QVERIFY(view.primaryButton()->isEnabled()); // empty code: the control plane decides
        view.inviteCodeField()->setText(QStringLiteral(" INV "));
        click(view.primaryButton());
        QCOMPARE(actions.last(), QStringLiteral("register(new@example.com,pw,, INV )"));
    }

    void resendCountdown()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        AuthView view(actions);
        view.setCooldownTick(std::chrono::milliseconds(5));
        view.show();
        click(view.modeButton());
        StyledButton *send = view.sendCodeButton();
        QCOMPARE(send->text(), QStringLiteral("发送验证码"));
        QVERIFY(!send->isEnabled()); // no address yet
        view.identityField()->setText(QStringLiteral(" Code@Example.com"));
        QVERIFY(send->isEnabled());

        actions.hold = true;
        QStringList titles;
        connect(view.cooldownTimer(), &QTimer::timeout, this, [&] { titles.append(send->text()); });
        click(send);
        QCOMPARE(actions.last(), QStringLiteral("sendVerificationCode(code@example.com)"));
        QCOMPARE(send->text(), QStringLiteral("发送中..."));
        QVERIFY(!send->isEnabled());
        Q_EMIT actions.release();
        QTRY_VERIFY(!view.isSendingCode());
        QCOMPARE(send->text(), QStringLiteral("60秒后重发"));
        QVERIFY(!send->isEnabled());
        QTRY_COMPARE(send->text(), QStringLiteral("发送验证码"));
        QVERIFY(send->isEnabled());
        QCOMPARE(titles.size(), 60); // one step per tick, and the countdown stops at zero
        QCOMPARE(titles.first(), QStringLiteral("59秒后重发"));
        QCOMPARE(titles.at(58), QStringLiteral("1秒后重发"));
        QVERIFY(!view.cooldownTimer()->isActive());
    }

    void failedSendStartsNoCountdown()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        actions.sendCodeResult = false;
        AuthView view(actions);
        view.show();
        click(view.modeButton());
        view.identityField()->setText(QStringLiteral("a@b.cn"));
        click(view.sendCodeButton());
        QTRY_VERIFY(!view.isSendingCode());
        QCOMPARE(view.codeCooldownRemaining(), 0);
        QCOMPARE(view.sendCodeButton()->text(), QStringLiteral("发送验证码"));
        QVERIFY(view.sendCodeButton()->isEnabled());
    }

    void sheetClosedWhileTheCodeIsOnItsWay()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        actions.hold = true;
        auto *view = new AuthView(actions);
        view->show();
        click(view->modeButton());
        view->identityField()->setText(QStringLiteral("a@b.cn"));
        click(view->sendCodeButton());
        delete view;
        Q_EMIT actions.release(); // the answer arrives for a view that is gone
        QCoreApplication::processEvents();
    }

    void plansPage()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        PlansView page(actions);
        QCOMPARE(page.header()->pill()->text(), QStringLiteral("当前：未开通套餐"));
        QVERIFY(!page.ordersSection());
        QCOMPARE(page.deviceLimit()->text(), QStringLiteral("当前账号最多可绑定 0 台设备。"));
        const QList<PlanRow *> rows = page.planRows();
        QCOMPARE(rows.size(), 3);
        for (PlanRow *row : rows)
            QCOMPARE(row->button()->buttonStyle(),
                     row->plan().featured ? ButtonStyle::secondary : ButtonStyle::primaryCapsule);
        QVERIFY(rows[1]->plan().featured);
        page.show();
        click(rows[2]->button());
        QCOMPARE(actions.last(), QStringLiteral("purchase(yearly)"));

        state.setCurrentUser(testUser());
        state.setMaxDevices(5);
        state.setOrders({{"o1", "月费套餐", "paid", "29.99 CNY"}});
        QCOMPARE(page.header()->pill()->text(), QStringLiteral("当前：月费套餐"));
        QCOMPARE(page.deviceLimit()->text(), QStringLiteral("当前账号最多可绑定 5 台设备。"));
        QVERIFY(page.ordersSection());
        state.setOrders({});
        QVERIFY(!page.ordersSection());
    }

    void refreshAndCheckShowThatTheyRun()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        actions.hold = true;
        InviteView invite(actions);
        SettingsView settings(actions);
        NodePanel nodes(actions);
        for (QWidget *page : std::initializer_list<QWidget *>{&invite, &settings, &nodes})
            page->show();
        QCOMPARE(invite.code()->text(), QStringLiteral("登录后显示"));
        const QList<std::pair<StyledButton *, QString>> buttons{
            {nodes.refreshButton(), "刷新中..."},
            {settings.rows()[0]->button(), "检查中..."},
            {settings.currentDevicePanel()->refreshButton(), "刷新中..."},
            {invite.refreshButton(), "刷新中..."},
        };
        for (const auto &[button, busyTitle] : buttons) {
            const QString title = button->text();
            click(button);
            click(button); // a second press while it runs starts nothing
            QCOMPARE(button->text(), busyTitle);
            QVERIFY(!button->isEnabled());
            Q_EMIT actions.release();
            QTRY_VERIFY(button->isEnabled());
            QCOMPARE(button->text(), title);
        }
        click(invite.copyButton());
        QCOMPARE(actions.calls, QStringList({"refreshPublicData", "refreshPublicData", "refreshPrivateData",
                                             "refreshPrivateData", "copyInviteLink"}));
        QVERIFY(invite.copyButton()->isEnabled());
    }

    void ticketList_data()
    {
        QTest::addColumn<int>("tickets");
        QTest::addColumn<int>("rows");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("two") << 2 << 2;
        QTest::newRow("five show three") << 5 << 3;
    }
    void ticketList()
    {
        TestHome home;
        QFETCH(int, tickets);
        QFETCH(int, rows);
        AppState state;
        RecordingActions actions(state);
        TicketList list(actions);
        QList<Ticket> all;
        for (int i = 0; i < tickets; ++i)
            all.append({QString::number(i), QStringLiteral("工单%1").arg(i), QStringLiteral("open"), "05-01"});
        state.setTickets(all);
        QCOMPARE(list.shownRows().size(), rows);
        QCOMPARE(list.showsEmptyNote(), tickets == 0);
        if (rows > 0)
            QCOMPARE(list.shownRows().first(), qMakePair(QStringLiteral("open"), QStringLiteral("工单0")));
    }

    void boundDevices()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        state.setCurrentUser(testUser());
        state.setDevices({testDevice("mac", true), testDevice("phone", false), testDevice("pad", false)});
        BoundDevicesPanel panel(actions);
        panel.show();
        QCOMPARE(panel.rows().size(), 2);
        QCOMPARE(panel.usage()->text(), QStringLiteral("0 / 3 设备"));
        QVERIFY(!panel.rows()[0]->actionButton()->isEnabled());
        QCOMPARE(panel.rows()[0]->actionButton()->text(), QStringLiteral("当前"));
        click(panel.rows()[0]->actionButton());
        QVERIFY(actions.calls.isEmpty());

        // Unbinding asks first, naming the device; cancelling starts nothing.
        StyledButton *unbind = panel.rows()[1]->actionButton();
        click(unbind);
        QVERIFY(panel.confirmation()->text().contains(QStringLiteral("“phone · v9.7.3”")));
        click(buttonTitled(panel.confirmation(), QStringLiteral("取消")));
        QTRY_VERIFY(!panel.confirmation());
        QVERIFY(actions.calls.isEmpty());
        actions.hold = true;
        click(unbind);
        click(buttonTitled(panel.confirmation(), QStringLiteral("解绑")));
        QTRY_COMPARE(actions.last(), QStringLiteral("unbindDevice(phone)"));
        QCOMPARE(unbind->text(), QStringLiteral("解绑中..."));
        click(unbind);
        QVERIFY(!panel.confirmation());
        Q_EMIT actions.release();
        QTRY_COMPARE(unbind->text(), QStringLiteral("解绑"));
        QCOMPARE(actions.calls.size(), 1);
        actions.hold = false;

        QCOMPARE(panel.expandButton()->text(), QStringLiteral("展开全部设备"));
        click(panel.expandButton());
        QVERIFY(state.devicesExpanded());
        QCOMPARE(panel.rows().size(), 3);
        QCOMPARE(panel.expandButton()->text(), QStringLiteral("收起设备"));
    }

    void currentDevice()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        CurrentDevicePanel panel(actions);
        QCOMPARE(panel.deviceName()->text(), QStringLiteral("等待绑定"));
        QCOMPARE(panel.valueOf(QStringLiteral("系统")), QStringLiteral("macOS"));
        QCOMPARE(panel.valueOf(QStringLiteral("版本")), QStringLiteral("v9.7.3"));
        QCOMPARE(panel.valueOf(QStringLiteral("状态")), QStringLiteral("未绑定"));
        QCOMPARE(panel.valueOf(QStringLiteral("最后登录")), QStringLiteral("-"));
        Device mac = testDevice("mac", true);
        mac.lastLogin = QStringLiteral("05-14");
        state.setCurrentDevice(mac);
        QCOMPARE(panel.deviceName()->text(), QStringLiteral("mac · v9.7.3"));
        QCOMPARE(panel.valueOf(QStringLiteral("状态")), QStringLiteral("active"));
        QCOMPARE(panel.valueOf(QStringLiteral("最后登录")), QStringLiteral("05-14"));
    }

    void feedbackForm()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        FeedbackRow row(actions);
        row.show();
        QVERIFY(!row.form());
        QCOMPARE(row.capsule()->text(), QStringLiteral("展开"));
        click(row.toggleButton());
        QVERIFY(state.feedbackExpanded());
        QCOMPARE(row.capsule()->text(), QStringLiteral("收起"));
        QVERIFY(row.form());
        QVERIFY(row.ticketList());

        // Untouched, the initial texts are what is sent.
        click(row.form()->submitButton());
        QCOMPARE(actions.last(), QStringLiteral("submitFeedback(macOS 连接失败||连接时卡在正在启动隧道。)"));

        row.form()->titleField()->setText(QStringLiteral("  标题  "));
        row.form()->emailField()->setText(QStringLiteral("me@x.cn"));
        click(row.form()->submitButton());
        QCOMPARE(actions.last(), QStringLiteral("submitFeedback(  标题  |me@x.cn|连接时卡在正在启动隧道。)"));

        state.setIsBusy(true);
        QVERIFY(!row.form()->submitButton()->isEnabled());
        state.setIsBusy(false);

        // Collapsing and expanding again starts from the initial texts.
        click(row.toggleButton());
        QVERIFY(!row.form());
        click(row.toggleButton());
        QCOMPARE(row.form()->titleField()->text(), QStringLiteral("macOS 连接失败"));
        QVERIFY(row.form()->emailField()->text().isEmpty());
    }

    void settingsPage()
    {
        TestHome home;
        AppState state;
        RecordingActions actions(state);
        SettingsView page(actions);
        page.show();
        QCOMPARE(page.header()->pill()->text(), QStringLiteral("已是最新"));
        const QList<SettingsRow *> rows = page.rows();
        QCOMPARE(rows[0]->value(), QStringLiteral("当前 v9.7.3 · 最新 v9.7.3 · 已是最新"));
        QCOMPARE(rows[2]->value(), QStringLiteral("SOCKS 127.0.0.1:19090"));
        QCOMPARE(rows[3]->value(), QStringLiteral("注入 HTTP_PROXY / ALL_PROXY 到 127.0.0.1:19110"));
        QCOMPARE(rows[4]->value(), rows[3]->value());
        state.setLocalProxyPort(19093);
        QCOMPARE(rows[2]->value(), QStringLiteral("SOCKS 127.0.0.1:19093"));

        click(rows[1]->button());
        QCOMPARE(actions.last(), QStringLiteral("openClientHome"));
        click(rows[3]->button());
        QCOMPARE(actions.last(), QStringLiteral("openAIToolLauncher(codex,Codex)"));
        click(rows[4]->button());
        QCOMPARE(actions.last(), QStringLiteral("openAIToolLauncher(claude,Claude)"));

        click(page.launchAtLoginRow()->toggle());
        QCOMPARE(actions.last(), QStringLiteral("setLaunchAtLogin(1)"));
        QVERIFY(state.launchAtLogin());

        // The menu bar switch shows the stored preference and writes it back.
        QVERIFY(page.menuBarRow()->toggle()->isChecked());
        click(page.menuBarRow()->toggle());
        QVERIFY(!state.menuBarEnabled());
        AppState reread;
        QVERIFY(!reread.menuBarEnabled());
    }
};

QTEST_MAIN(TestUiAccount)
#include "test_ui_account.moc"
