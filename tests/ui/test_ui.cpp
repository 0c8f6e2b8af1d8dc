#include "state/AppState.h"

#include "state/StateActions.h"
#include "testkit/TestHome.h"
#include "ui/AIEnhancedModeCard.h"
#include "ui/AccountPages.h"
#include "ui/AppDelegate.h"
#include "ui/AuthView.h"
#include "ui/ConnectionPanel.h"
#include "ui/DevicePanels.h"
#include "ui/HomeControls.h"
#include "ui/HomeView.h"
#include "ui/MainWindow.h"
#include "ui/MenuBar.h"
#include "ui/MetricCard.h"
#include "ui/NodePanel.h"
#include "ui/PageParts.h"
#include "ui/RootView.h"
#include "ui/Screenshots.h"
#include "ui/SidebarView.h"
#include "ui/StyledButton.h"
#include "ui/Typography.h"

#include <QCheckBox>
#include <QCoro/QCoroSignal>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

Q_DECLARE_METATYPE(ConnectionState)
Q_DECLARE_METATYPE(ComponentInstallState)
Q_DECLARE_METATYPE(std::optional<AppAlertAction>)

// A StateActions that writes down every operation the views start instead of reaching the control plane or
// the system. The control-plane operations can be held open until release().
class RecordingActions final : public StateActions
{
    Q_OBJECT

public:
    explicit RecordingActions(AppState &state) : m_state(state) {}
    QStringList calls;
    bool sendCodeResult = true;
    bool hold = false;
    bool signedIn = false;
    std::function<void()> onTerminalInstaller;

    AppState &state() override { return m_state; }
    QCoro::Task<> bootstrap() override { co_return record("bootstrap"); }
    QCoro::Task<> cleanupBeforeExit() override { return m_state.cleanupBeforeExit(); }
    QCoro::Task<> runAutoconnectSmokeTestIfRequested() override { co_return record("selfTest"); }
    QCoro::Task<> toggleConnection() override { co_return record("toggleConnection"); }
    void selectEndpoint(const Endpoint &endpoint) override
    {
        record("selectEndpoint(" + endpoint.id + ")");
        m_state.selectEndpoint(endpoint);
    }
    void setOutboundMode(OutboundMode mode) override { record("setOutboundMode(" + rawValue(mode) + ")"); }
    void toggleAIEnhancedMode() override { record("toggleAIEnhancedMode"); }
    void openTelegramProxy() override { record("openTelegramProxy"); }
    void openAIToolLauncher(const QString &tool, const QString &name) override
    {
        record("openAIToolLauncher(" + tool + "," + name + ")");
    }
    QCoro::Task<> installWireGuardTools() override { co_return record("installWireGuardTools"); }
    QCoro::Task<> installWireGuardToolsInTerminal() override
    {
        record("installWireGuardToolsInTerminal");
        if (onTerminalInstaller)
            onTerminalInstaller();
        co_return;
    }
    QCoro::Task<bool> sendVerificationCode(QString identity) override
    {
        co_await held("sendVerificationCode(" + identity + ")");
        co_return sendCodeResult;
    }
    QCoro::Task<> login(QString id, QString pw) override { co_return record("login(" + id + "," + pw + ")"); }
    QCoro::Task<> registerAccount(QString id, QString pw, QString code, std::optional<QString> invite) override
    {
        co_return record("register(" + id + "," + pw + "," + code + "," + invite.value_or("") + ")");
    }
    QCoro::Task<> logout() override { co_return record("logout"); }
    QCoro::Task<> refreshPublicData() override { return held("refreshPublicData"); }
    QCoro::Task<> refreshPrivateData() override { return held("refreshPrivateData"); }
    QCoro::Task<> unbindDevice(Device device) override { return held("unbindDevice(" + device.id + ")"); }
    QCoro::Task<> submitFeedback(QString t, QString m, QString b) override { return m_state.submitFeedback(t, m, b); }
    void purchase(const Plan &plan) override { record("purchase(" + plan.id + ")"); }
    void copyInviteLink() override { record("copyInviteLink"); }
    void openClientHome() override { record("openClientHome"); }
    bool hasSessionToken() const override { return signedIn; }
    QString last() const { return calls.value(calls.size() - 1); }

Q_SIGNALS:
    void release();

private:
    AppState &m_state;
    void record(const QString &call) { calls.append(call); }
    QCoro::Task<> held(QString call)
    {
        record(call);
        if (hold)
            co_await qCoro(this, &RecordingActions::release);
    }
};

namespace {

struct Env
{
    TestHome home;
    std::shared_ptr<StateModel> model = std::make_shared<StateModel>();
    AppState state{{.model = model}};
    RecordingActions actions{state};
};

APIUser testUser(const QString &identity = QStringLiteral("user@example.com"))
{
    APIUser user;
    user.identity = identity;
    user.planName = QStringLiteral("月费套餐");
    user.maxDevices = 3;
    return user;
}

Device testDevice(const QString &id, bool current)
{
    Device device;
    device.id = id;
    device.name = id + " · v9.7.3";
    device.action = current ? "当前" : "解绑";
    device.isCurrent = current;
    return device;
}

Endpoint testEndpoint(const QString &id)
{
    return Endpoint{
        id, "东京", id, std::nullopt, 40, 10, NodeStatus::online, {ProtocolKind::vless}, ProtocolKind::vless};
}

void click(QAbstractButton *button)
{
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
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

// The views follow the state and start the right operations; quitting and the menu bar item.
class TestUi : public QObject
{
    Q_OBJECT

    std::unique_ptr<Env> e;

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }
    void init() { e = std::make_unique<Env>(); }
    void cleanup() { e.reset(); }

    void connectionControlsFollowTheState_data()
    {
        QTest::addColumn<ConnectionState>("connection");
        QTest::addColumn<ComponentInstallState>("install");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("component"); // empty: hidden; ending in "...": disabled
        using C = ConnectionState;
        using I = ComponentInstallState;
        QTest::newRow("disconnected") << C(C::disconnected) << I() << false << "一键连接" << QString();
        QTest::newRow("preparing") << C(C::preparing) << I() << true << "正在连接" << QString();
        QTest::newRow("connected") << C(C::connected) << I(I::installed) << false << "断开连接" << QString();
        QTest::newRow("connected, busy") << C(C::connected) << I() << true << "断开连接" << QString();
        QTest::newRow("disconnecting") << C(C::disconnecting) << I() << true << "正在断开" << QString();
        QTest::newRow("failed") << C::makeFailed("端口被占用") << I() << false << "一键连接" << QString();
        const C ready(C::configReady);
        const QString idle = "一键连接";
        QTest::newRow("components missing") << ready << I() << false << idle << QString("一键安装连接组件");
        QTest::newRow("installing") << ready << I(I::installing) << false << idle << QString("正在安装组件...");
        QTest::newRow("install failed") << ready << I::makeFailed("x") << false << idle << QString("重新安装组件");
    }

    void connectionControlsFollowTheState()
    {
        QFETCH(ConnectionState, connection);
        QFETCH(ComponentInstallState, install);
        QFETCH(bool, busy);
        QFETCH(QString, title);
        QFETCH(QString, component);
        ConnectionPanel panel(e->actions);
        MenuBarMenu menu(e->actions, [] {});
        e->model->setConnectionState(connection);
        e->model->setComponentInstallState(install);
        e->model->setIsBusy(busy);
        ConnectButton *button = panel.connectButton();
        QCOMPARE(panel.statusTitle()->text(), e->state.statusTitle()); // the headline follows too
        QCOMPARE(button->text(), title);
        QCOMPARE(menu.connectionAction()->text(), title);
        QCOMPARE(button->isEnabled(), !busy); // no second connect or disconnect from either
        QCOMPARE(menu.connectionAction()->isEnabled(), !busy);
        QCOMPARE(button->showsConnected(), connection.kind() == ConnectionState::connected);
        panel.show();
        click(button);
        menu.connectionAction()->trigger();
        QTRY_COMPARE(e->actions.calls.count("toggleConnection"), busy ? 0 : 2);
        StyledButton *install_ = panel.componentButton();
        QCOMPARE(install_->isVisible(), !component.isEmpty());
        if (component.isEmpty())
            return;
        const bool enabled = !component.endsWith("...");
        QCOMPARE(install_->text(), component.chopped(enabled ? 0 : 3));
        click(install_);
        QCOMPARE(e->actions.calls.count("installWireGuardTools"), enabled ? 1 : 0);
    }

    void connectionTime()
    {
        ConnectionPanel panel(e->actions);
        QCOMPARE(panel.latencyCard()->value(), QStringLiteral("38 ms")); // of the endpoint that would connect
        e->model->setConnectedAt(QDateTime::currentDateTime().addSecs(30));
        QCOMPARE(panel.durationCard()->value(), QStringLiteral("00:00")); // a clock set back
        // The clock moves on without any change of state: only the timer, running while shown, redraws the card.
        panel.show();
        e->model->setConnectedAt(QDateTime::currentDateTime().addSecs(-3659));
        QTRY_COMPARE_WITH_TIMEOUT(panel.durationCard()->value(), QStringLiteral("61:00"), 3000); // minutes do not wrap
        panel.hide();
        QVERIFY(!panel.durationTimer()->isActive());
    }

    void windowAndItsControls()
    {
        MainWindow window(e->actions);
        window.show();
        // bootstrap first, then the self-test switch, once however often the window shows.
        QTRY_COMPARE(e->actions.calls, QStringList({"bootstrap", "selfTest"}));
        // Closed to the menu bar, the window says once that the client keeps running, and comes back when the
        // application is activated (a click on the Dock icon).
        QGuiApplication::setQuitOnLastWindowClosed(false);
        for (int round = 0; round < 2; ++round) {
            window.close();
            QVERIFY(!window.isVisible());
            window.applicationActivated();
            QVERIFY(window.isVisible());
        }
        QCoreApplication::processEvents();
        QCOMPARE(e->actions.calls.size(), 2);
        QCOMPARE(std::count_if(e->state.logs().cbegin(), e->state.logs().cend(),
                               [](const LogEntry &entry) { return entry.message == MainWindow::keepsRunningMessage; }),
                 1);

        // The drawn controls answer the keyboard, and Tab visits them in reading order.
        QVERIFY(QTest::qWaitForWindowActive(&window));
        e->model->setEndpoints({testEndpoint("a"), testEndpoint("b"), testEndpoint("c")});
        e->state.setNodesExpanded(true);   // rows made after everything else
        QCoreApplication::processEvents(); // and shown on the next turn of the loop
        SidebarView *sidebar = window.rootView()->sidebar();
        ConnectButton *connect = window.rootView()->homeView()->connectionPanel()->connectButton();
        const QList<NodeRow *> rows = window.rootView()->homeView()->nodePanel()->rows();
        QList<QWidget *> chain;
        for (QWidget *widget = window.nextInFocusChain(); widget != &window; widget = widget->nextInFocusChain()) {
            if (widget->isVisible() && (widget->focusPolicy() & Qt::TabFocus))
                chain.append(widget);
        }
        const QList<QWidget *> reading{sidebar->pageButtons()[0], sidebar->accountButton(), connect, rows[0], rows[2]};
        for (qsizetype i = 1; i < reading.size(); ++i)
            QVERIFY(chain.indexOf(reading[i - 1]) >= 0 && chain.indexOf(reading[i - 1]) < chain.indexOf(reading[i]));
        for (FocusButton *control : std::initializer_list<FocusButton *>{connect, rows[0], sidebar->pageButtons()[1]}) {
            control->clearFocus();
            const QImage plain = control->grab().toImage();
            control->setFocus(Qt::TabFocusReason);
            QVERIFY(control->showsFocusRing() && control->grab().toImage() != plain);
            QSignalSpy presses(control, &QAbstractButton::clicked);
            QTest::keyClick(control, Qt::Key_Space);
            QTest::keyClick(control, Qt::Key_Return);
            QCOMPARE(presses.count(), 2);
        }

        // The account box: a token without a loaded user is still signed out; a long address is cut.
        RootView *root = window.rootView();
        e->actions.signedIn = true;
        click(root->sidebar()->accountButton());
        QVERIFY(e->state.showAuthSheet());
        e->state.setShowAuthSheet(false);
        const QString identity = QStringLiteral("a.very.long.mailbox.name@subscribers.example.com");
        e->model->setCurrentUser(testUser(identity));
        QVERIFY(root->sidebar()->accountIdentity()->text() != identity);
        QCOMPARE(root->sidebar()->accountIdentity()->toolTip(), identity); // whole in the tool tip
        click(root->sidebar()->accountButton());
        QCOMPARE(e->actions.last(), QStringLiteral("logout"));

        const QList<SettingsRow *> settings = root->settingsView()->rows();
        AIEnhancedModeCard *card = root->homeView()->aiCard();
        SegmentedMode *mode = root->homeView()->connectionPanel()->modeSwitch();
        const QList<std::tuple<AppPage, QAbstractButton *, QString>> controls{
            {AppPage::home, mode->segment(OutboundMode::enhanced), "setOutboundMode(enhanced)"},
            {AppPage::home, card->toggleButton(), "toggleAIEnhancedMode"},
            {AppPage::home, card->telegramButton(), "openTelegramProxy"},
            {AppPage::home, root->homeView()->nodePanel()->rows()[1], "selectEndpoint(b)"},
            {AppPage::plans, root->plansView()->planRows()[2]->button(), "purchase(yearly)"},
            {AppPage::invite, root->inviteView()->copyButton(), "copyInviteLink"},
            {AppPage::settings, settings[1]->button(), "openClientHome"},
            {AppPage::settings, settings[3]->button(), "openAIToolLauncher(codex,Codex)"},
            {AppPage::settings, settings[4]->button(), "openAIToolLauncher(claude,Claude)"},
        };
        for (const auto &[page, control, call] : controls) {
            e->state.setSelectedPage(page);
            click(control);
            QCOMPARE(e->actions.last(), call);
        }
        click(root->settingsView()->launchAtLoginRow()->toggle());
        QVERIFY(e->state.launchAtLogin());
        // Only the state moves the mode switch.
        QVERIFY(mode->segment(OutboundMode::smart)->isChecked() && !mode->segment(OutboundMode::enhanced)->isChecked());
        click(root->sidebar()->pageButtons()[3]);
        QCOMPARE(root->currentPage(), root->settingsView());
        click(root->settingsView()->menuBarRow()->toggle());
        QVERIFY(!e->state.menuBarEnabled() && !AppState().menuBarEnabled()); // stored
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("call"); // empty: the button is disabled
        QTest::newRow("filled in") << "  Ann@Mail.CN\t" << true << QString(" Secret ") << "login(ann@mail.cn, Secret )";
        QTest::newRow("agreement not ticked") << "a@b.cn" << false << QString("pw") << "";
        QTest::newRow("no password") << "a@b.cn" << true << QString() << "";
        QTest::newRow("ideographic space inside") << "a\u3000b@c.cn" << true << QString("pw") << "";
    }

    void signIn()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QFETCH(QString, call);
        AuthView view(e->actions);
        view.show();
        view.identityField()->setText(email);
        view.passwordField()->setText(password);
        view.agreement()->setChecked(accepted);
        QCOMPARE(view.primaryButton()->isEnabled(), !call.isEmpty());
        click(view.primaryButton());
        QCOMPARE(e->actions.calls, call.isEmpty() ? QStringList() : QStringList{call});
        e->model->setIsBusy(true);
        QVERIFY(!view.primaryButton()->isEnabled());
    }

    void resendCountdown_data()
    {
        QTest::addColumn<bool>("sent");
        QTest::newRow("sent") << true;
        QTest::newRow("not sent") << false;
    }
    void resendCountdown()
    {
        QFETCH(bool, sent);
        e->actions.sendCodeResult = sent;
        e->actions.hold = true;
        AuthView view(e->actions);
        view.setCooldownTick(std::chrono::milliseconds(5));
        view.show();
        click(view.modeButton());
        StyledButton *send = view.sendCodeButton();
        QVERIFY(!send->isEnabled()); // no address yet
        view.identityField()->setText(QStringLiteral(" Code@Example.com"));
        QStringList titles;
        connect(view.cooldownTimer(), &QTimer::timeout, this, [&] { titles.append(send->text()); });
        click(send);
        QCOMPARE(e->actions.last(), QStringLiteral("sendVerificationCode(code@example.com)"));
        QCOMPARE(send->text(), QStringLiteral("发送中..."));
        QVERIFY(!send->isEnabled());
        Q_EMIT e->actions.release();
        QTRY_VERIFY(!view.isSendingCode());
        QCOMPARE(send->text(), sent ? QStringLiteral("60秒后重发") : QStringLiteral("发送验证码"));
        QCOMPARE(send->isEnabled(), !sent);
        QTRY_VERIFY(send->isEnabled());
        QCOMPARE(send->text(), QStringLiteral("发送验证码"));
        QCOMPARE(titles.size(), sent ? 60 : 0); // one step per tick, and the countdown stops at zero

        // The code and the invitation go as typed: the control plane decides.
        view.passwordField()->setText(QStringLiteral("pw"));
        view.agreement()->setChecked(true);
        view.inviteCodeField()->setText(QStringLiteral(" INV "));
        click(view.primaryButton());
        QCOMPARE(e->actions.last(), QStringLiteral("register(code@example.com,pw,, INV )"));
    }

    void sheetClosedWhileTheCodeIsOnItsWay()
    {
        e->actions.hold = true;
        auto view = std::make_unique<AuthView>(e->actions);
        view->show();
        click(view->modeButton());
        view->identityField()->setText(QStringLiteral("a@b.cn"));
        click(view->sendCodeButton());
        QCOMPARE(e->actions.last(), QStringLiteral("sendVerificationCode(a@b.cn)"));
        view.reset();
        // The sheet opened again, likely in the memory of the first: the late answer must not reach it.
        auto reopened = std::make_unique<AuthView>(e->actions);
        Q_EMIT e->actions.release();
        QCoreApplication::processEvents();
        QCOMPARE(reopened->codeCooldownRemaining(), 0);
    }

    void busyButtonsTakeOnePress()
    {
        e->actions.hold = true;
        e->model->setCurrentUser(testUser());
        e->model->setDevices({testDevice("mac", true), testDevice("phone", false)});
        MainWindow window(e->actions);
        window.show();
        SettingsView *settings = window.rootView()->settingsView();
        const QList<std::tuple<AppPage, StyledButton *, QString>> buttons{
            {AppPage::home, window.rootView()->homeView()->nodePanel()->refreshButton(), "刷新中..."},
            {AppPage::invite, window.rootView()->inviteView()->refreshButton(), "刷新中..."},
            {AppPage::settings, settings->rows()[0]->button(), "检查中..."},
            {AppPage::settings, settings->currentDevicePanel()->refreshButton(), "刷新中..."},
        };
        for (const auto &[page, button, busyTitle] : buttons) {
            e->state.setSelectedPage(page);
            const QString title = button->text();
            click(button);
            click(button); // a second press while it runs starts nothing
            QCOMPARE(button->text(), busyTitle);
            QVERIFY(!button->isEnabled());
            Q_EMIT e->actions.release();
            QTRY_VERIFY(button->isEnabled());
            QCOMPARE(button->text(), title);
        }
        QCOMPARE(e->actions.calls.filter("refresh"),
                 QStringList({"refreshPublicData", "refreshPrivateData", "refreshPublicData", "refreshPrivateData"}));

        // Unbinding asks first, naming the device; cancelling starts nothing. This computer has no button.
        BoundDevicesPanel *bound = settings->boundDevicesPanel();
        QVERIFY(!bound->rows()[0]->actionButton()->isEnabled());
        StyledButton *unbind = bound->rows()[1]->actionButton();
        click(unbind);
        QVERIFY(bound->confirmation()->text().contains(QStringLiteral("“phone · v9.7.3”")));
        click(buttonTitled(bound->confirmation(), QStringLiteral("取消")));
        QTRY_VERIFY(!bound->confirmation());
        click(unbind);
        click(buttonTitled(bound->confirmation(), QStringLiteral("解绑")));
        QTRY_COMPARE(e->actions.last(), QStringLiteral("unbindDevice(phone)"));
        QCOMPARE(unbind->text(), QStringLiteral("解绑中..."));
        Q_EMIT e->actions.release();
        QTRY_COMPARE(unbind->text(), QStringLiteral("解绑"));
    }

    void alertButtons_data()
    {
        QTest::addColumn<std::optional<AppAlertAction>>("action");
        QTest::addColumn<QString>("press"); // empty: Escape
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QString>("call");
        const auto install = std::optional(AppAlertAction::installWireGuardTools);
        const auto terminal = std::optional(AppAlertAction::openTerminalInstaller);
        QTest::newRow("plain") << std::optional<AppAlertAction>() << "知道了" << 1 << "";
        QTest::newRow("install") << install << "一键安装组件" << 2 << "installWireGuardTools";
        QTest::newRow("install, Escape") << install << "" << 2 << "";
        QTest::newRow("terminal") << terminal << "打开终端安装" << 2 << "installWireGuardToolsInTerminal";
    }

    void alertButtons()
    {
        QFETCH(std::optional<AppAlertAction>, action);
        QFETCH(int, buttons);
        QFETCH(QString, press);
        QFETCH(QString, call);
        RootView root(e->actions);
        root.show();
        e->model->setAlertAction(action);
        e->model->setAlertMessage(QStringLiteral("需要安装连接组件。"));
        QCOMPARE(root.alert()->text(), QStringLiteral("需要安装连接组件。"));
        QCOMPARE(root.alert()->buttons().size(), buttons);
        if (press.isEmpty())
            root.alert()->reject();
        else
            click(buttonTitled(root.alert(), press));
        QTRY_VERIFY(!e->state.alertMessage());
        QVERIFY(!e->state.alertAction() && !root.alert());
        QCOMPARE(e->actions.calls.filter("install"), call.isEmpty() ? QStringList() : QStringList{call});
    }

    void sheetAndTheInstallersOwnAlert()
    {
        RootView root(e->actions);
        root.show();
        e->state.setShowAuthSheet(true);
        root.authView()->identityField()->setText(QStringLiteral("typed@example.com"));
        root.authSheet()->reject(); // Escape: the state hears of it
        QTRY_VERIFY(!e->state.showAuthSheet() && !root.authSheet());
        e->state.setShowAuthSheet(true);
        QVERIFY(root.authView()->identityField()->text().isEmpty()); // shown again, it starts empty
        click(root.authView()->closeButton());
        QVERIFY(!e->state.showAuthSheet() && !root.authSheet());

        // Regression: the installer's own failure alert used to be wiped by the button that started it.
        const QString failure = QStringLiteral("打开终端安装失败：磁盘已满");
        e->actions.onTerminalInstaller = [&] { e->model->setAlertMessage(failure); };
        e->model->setAlertAction(AppAlertAction::openTerminalInstaller);
        e->model->setAlertMessage(QStringLiteral("需要在终端里安装。"));
        click(buttonTitled(root.alert(), QStringLiteral("打开终端安装")));
        QTRY_COMPARE(e->state.alertMessage(), std::optional<QString>(failure));
        QCOMPARE(root.alert()->text(), failure);
        QCOMPARE(root.alert()->buttons().size(), 1);
    }

    void quitWaitsForTheCleanupUpToTheGuard_data()
    {
        QTest::addColumn<int>("ending"); // 0: never, 1: finishes, 2: fails
        QTest::newRow("cut off by the guard") << 0;
        QTest::newRow("finishes") << 1;
        QTest::newRow("fails") << 2;
    }
    void quitWaitsForTheCleanupUpToTheGuard()
    {
        QFETCH(int, ending);
        QObject state;
        int started = 0;
        const auto cleanup = [&]() -> QCoro::Task<> {
            ++started;
            if (ending == 2)
                throw std::runtime_error("proxy settings locked");
            co_await qCoro(&e->actions, &RecordingActions::release);
        };
        AppDelegate delegate(std::chrono::milliseconds(100));
        delegate.attach(&state, cleanup);
        QSignalSpy replies(&delegate, &AppDelegate::terminationApproved);
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateLater);
        if (ending == 1)
            Q_EMIT e->actions.release();
        QTRY_COMPARE(replies.count(), 1);
        // A second request goes through at once and starts nothing new; a late end does not answer again.
        QCOMPARE(delegate.shouldTerminate(), AppDelegate::Reply::terminateNow);
        Q_EMIT e->actions.release();
        QTest::qWait(200);
        QCOMPARE(replies.count(), 1);
        QCOMPARE(started, 1);
    }

    void menuBar()
    {
        e->state.speedMonitor().stop();
        MenuBarItem item(e->actions, [] {});
        MenuBarMenu *menu = item.menu();
        QSignalSpy raised(&e->actions, &StateActions::dashboardRequested);
        e->model->setDownloadSpeedBps(1572864);
        e->model->setUploadSpeedBps(1023); // just below a kilobyte
        QCOMPARE(item.toolTip(), QStringLiteral("Tovren"));
        QVERIFY(MenuBarStatusLabel::of(e->state).showsImage && !menu->speedAction()->isVisible());
        QCOMPARE(item.image().height(), 44); // 22 points high at twice the density
        const int draws = item.imageDraws();
        menu->speedSwitch()->trigger();
        QVERIFY(e->state.showMenuBarSpeed() && menu->speedAction()->isVisible());
        QCOMPARE(item.toolTip(), QStringLiteral("↓ 1.5 MB/s  ↑ 1023 B/s"));
        e->model->setUploadSpeedBps(1024);
        QCOMPARE(item.toolTip(), QStringLiteral("↓ 1.5 MB/s  ↑ 1 KB/s"));
        e->state.setSelectedPage(AppPage::settings);
        QCOMPARE(item.imageDraws(), draws + 2); // drawn again only when the label changes

        menu->dashboardAction()->trigger();
        QCOMPARE(e->state.selectedPage(), AppPage::home);
        QCOMPARE(raised.count(), 1);
        menu->outboundMenu()->actions()[1]->trigger();
        QCOMPARE(e->actions.last(), QStringLiteral("setOutboundMode(enhanced)"));
    }

    // Last: the dark theme stays for the rest of the process. Text from the control plane is shown as typed,
    // and every label stays readable.
    void controlPlaneTextUnderADarkTheme()
    {
        const QString markup = QStringLiteral("<b>标记</b>");
        e->model->setCurrentUser(testUser(markup));
        e->model->setDevices({testDevice(markup, false)});
        e->state.appendLog(markup);
        MainWindow window(e->actions);
        window.show();
        e->model->setAlertMessage(markup);
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
    }
};

QTEST_MAIN(TestUi)
#include "test_ui.moc"
