#include "Screenshots.h"

#include "MainWindow.h"
#include "RootView.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace {

// Pictures show the views as they are; the start-up task and every operation stay quiet.
class StillActions final : public StateActions
{
public:
    explicit StillActions(AppState &state) : m_state(state) {}
    AppState &state() override { return m_state; }
    QCoro::Task<> bootstrap() override { co_return; }
    QCoro::Task<> runAutoconnectSmokeTestIfRequested() override { co_return; }
    QCoro::Task<> cleanupBeforeExit() override { co_return; }
    QCoro::Task<> toggleConnection() override { co_return; }
    void selectEndpoint(const Endpoint &) override {}
    void setOutboundMode(OutboundMode) override {}
    void toggleAIEnhancedMode() override {}
    void openTelegramProxy() override {}
    void openAIToolLauncher(const QString &, const QString &) override {}
    QCoro::Task<> installWireGuardTools() override { co_return; }
    QCoro::Task<> installWireGuardToolsInTerminal() override { co_return; }
    QCoro::Task<bool> sendVerificationCode(QString) override { co_return false; }
    QCoro::Task<> login(QString, QString) override { co_return; }
    QCoro::Task<> registerAccount(QString, QString, QString, std::optional<QString>) override { co_return; }
    QCoro::Task<> logout() override { co_return; }
    QCoro::Task<> refreshPublicData() override { co_return; }
    QCoro::Task<> refreshPrivateData() override { co_return; }
    QCoro::Task<> unbindDevice(Device) override { co_return; }
    QCoro::Task<> submitFeedback(QString, QString, QString) override { co_return; }
    void purchase(const Plan &) override {}
    void copyInviteLink() override {}
    void openClientHome() override {}
    bool hasSessionToken() const override { return signedIn; }
    bool signedIn = false;

private:
    AppState &m_state;
};

APIUser sampleUser()
{
    APIUser user;
    user.id = QStringLiteral("u_1024");
    user.identity = QStringLiteral("lin.wei@example.com");
    user.referralCode = QStringLiteral("TV8K2Q");
    user.planName = QStringLiteral("季度费套餐");
    user.subscriptionExpiredAt = QDateTime::currentDateTime().addDays(47).toString(Qt::ISODate);
    user.remainingTrafficMb = 186 * 1024 + 410;
    user.maxDevices = 5;
    user.invitesTotal = 6;
    user.invitesPaid = 4;
    user.rewardDays = 17;
    return user;
}

void signIn(StateModel &model)
{
    model.setCurrentUser(sampleUser());
    model.setMaxDevices(5);
    model.setActiveDeviceCount(3);
    const QList<Endpoint> endpoints{
        {"hk-02",
         "香港",
         "HK Premium 02",
         std::nullopt,
         36,
         41,
         NodeStatus::online,
         {ProtocolKind::vless},
         ProtocolKind::vless},
        {"jp-01",
         "东京",
         "JP Tokyo 01",
         std::nullopt,
         62,
         28,
         NodeStatus::online,
         {ProtocolKind::hysteria2},
         ProtocolKind::hysteria2},
        {"sg-03",
         "新加坡",
         "SG Stable 03",
         std::nullopt,
         71,
         57,
         NodeStatus::checking,
         {ProtocolKind::trojan},
         ProtocolKind::trojan},
    };
    model.setEndpoints(endpoints);
    model.setSelectedEndpointId(QStringLiteral("hk-02"));
    const Device mac{"d1", "macOS", "Lin 的 MacBook Pro · v9.7.3", "当前",  "active",     true,
                     true, "05-14", "Lin 的 MacBook Pro",          "macos", "macOS 14.5", "v9.7.3"};
    model.setDevices({mac,
                      {"d2", "iOS", "iPhone 15 · v3.2.0", "解绑", "active", false, false, "05-12", "iPhone 15", "ios",
                       "iOS 17.5", "v3.2.0"},
                      {"d3", "Windows", "DESKTOP-7Q · v9.6.0", "解绑", "inactive", false, false, "04-30", "DESKTOP-7Q",
                       "windows", "Windows 11", "v9.6.0"}});
    model.setCurrentDevice(mac);
    model.setOrders({{"o1", "季度费套餐", "paid", "99.99 CNY"}, {"o2", "月费套餐", "paid", "29.99 CNY"}});
    model.setTickets({{"t1", "节点切换后无法访问", "open", "05-13"}, {"t2", "发票抬头修改", "closed", "05-02"}});
}

// Widgets added to a layout are shown, and layouts redone, on later turns of the loop; a few turns let a rebuilt
// list settle before the picture is taken.
void settle()
{
    for (int turn = 0; turn < 3; ++turn)
        QApplication::processEvents();
}

bool save(QWidget &window, const QString &path)
{
    settle();
    return window.grab().save(path, "PNG");
}

// The sheet is its own window; draw it over a dimmed picture of the main window, as it appears to the user.
bool saveWithSheet(QWidget &window, QWidget &sheet, const QString &path)
{
    settle();
    QPixmap picture = window.grab();
    QPainter painter(&picture);
    painter.fillRect(picture.rect(), QColor(0, 0, 0, 60));
    const QPixmap front = sheet.grab();
    painter.drawPixmap((picture.width() - front.width()) / 2, 40, front);
    painter.end();
    return picture.save(path, "PNG");
}

} // namespace

QStringList writeScreenshots(const QString &directory)
{
    if (!QDir().mkpath(directory))
        return {};
    const QDir out(directory);
    // The pictures' values are seeded into the model; the views read them through the state.
    const auto model = std::make_shared<StateModel>();
    AppState state({.model = model});
    StillActions actions(state);
    MainWindow window(actions);
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();

    QStringList written;
    const auto shot = [&](const QString &name) {
        const QString path = out.filePath(name);
        if (save(window, path))
            written.append(path);
    };

    state.setSelectedPage(AppPage::home);
    shot(QStringLiteral("home-signed-out.png"));

    state.setShowAuthSheet(true);
    QApplication::processEvents();
    if (QDialog *sheet = window.rootView()->authSheet()) {
        const QString path = out.filePath(QStringLiteral("sign-in-sheet.png"));
        if (saveWithSheet(window, *sheet, path))
            written.append(path);
    }
    state.setShowAuthSheet(false);

    actions.signedIn = true; // before the account changes, which the sidebar re-reads it on
    signIn(*model);
    for (const QString &message : {QStringLiteral("已选择香港节点。"), QStringLiteral("账号权益同步完成。"),
                                   QStringLiteral("VLESS 连接已建立，系统代理已指向 127.0.0.1:19090。")})
        model->appendLog(message);
    model->setConnectionState(ConnectionState::connected);
    model->setConnectedAt(QDateTime::currentDateTime().addSecs(-3725));
    model->setCurrentConfigPath(QStringLiteral("已通过 sing-box 接管系统代理：香港 · VLESS。"));
    shot(QStringLiteral("home-connected.png"));

    state.setSelectedPage(AppPage::plans);
    shot(QStringLiteral("plans.png"));
    state.setSelectedPage(AppPage::invite);
    shot(QStringLiteral("invite.png"));
    state.setSelectedPage(AppPage::settings);
    state.setDevicesExpanded(true);
    state.setFeedbackExpanded(true);
    shot(QStringLiteral("settings.png"));
    // The feedback form and the ticket list sit below the fold.
    QApplication::processEvents();
    if (QScrollArea *scroll = window.rootView()->currentScrollArea())
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    shot(QStringLiteral("settings-feedback.png"));

    // The same window after the system turned dark: it keeps its own light look.
    state.setSelectedPage(AppPage::home);
    imitateDarkSystemTheme();
    shot(QStringLiteral("home-dark.png"));

    // A long catalogue, all of it listed, in the smallest window: the list scrolls, the connect button and the
    // cards stay in view.
    QList<Endpoint> many;
    for (int i = 1; i <= 20; ++i) {
        Endpoint endpoint = state.endpoints().value((i - 1) % state.endpoints().size());
        endpoint.id = QStringLiteral("node-%1").arg(i);
        endpoint.name = QStringLiteral("Node %1").arg(i, 2, 10, QLatin1Char('0'));
        many.append(endpoint);
    }
    model->setEndpoints(many);
    state.setNodesExpanded(true);
    window.resize(MainWindow::minimumContentSize);
    shot(QStringLiteral("home-many-endpoints.png"));

    window.close();
    return written;
}

void imitateDarkSystemTheme()
{
    // Light text on dark grounds; the text colour is one the window never uses itself.
    const QColor text(0xee, 0xee, 0xee);
    const QColor ground(0x1e, 0x1e, 0x1e);
    QPalette dark;
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
        dark.setColor(QPalette::All, role, text);
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button, QPalette::ToolTipBase})
        dark.setColor(QPalette::All, role, ground);
    QApplication::setPalette(dark);
    for (const char *type : {"QLabel", "QAbstractButton", "QCheckBox", "QMenu", "QMessageBoxLabel"})
        QApplication::setPalette(dark, type);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        QEvent change(QEvent::ThemeChange);
        QCoreApplication::sendEvent(window, &change);
    }
}
