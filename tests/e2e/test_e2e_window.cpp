#include "testkit/ConnectionWorld.h"
#include "testkit/EndToEnd.h"

#include "state/StateActions.h"
#include "ui/AuthView.h"
#include "ui/ConnectionPanel.h"
#include "ui/HomeControls.h"
#include "ui/HomeView.h"
#include "ui/LogPanel.h"
#include "ui/MainWindow.h"
#include "ui/MetricCard.h"
#include "ui/NodePanel.h"
#include "ui/RootView.h"
#include "ui/SidebarView.h"
#include "ui/StyledButton.h"
#include "ui/Typography.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionButton>
#include <QTest>

using namespace std::chrono_literals;

namespace {

constexpr int connectTimeoutMs = 90'000;

// Waits until a connect has ended, either way, and gives the status the window shows then.
QString statusAfterConnect(ConnectionPanel *panel)
{
    const auto settled = [panel] {
        const QString status = panel->statusTitle()->text();
        return status == u"已连接" || status == u"连接异常";
    };
    [[maybe_unused]] const bool ended = QTest::qWaitFor(settled, connectTimeoutMs);
    return panel->statusTitle()->text();
}

// As a user does: once the button takes presses (the connect button waits out the end of an operation).
void click(QAbstractButton *button)
{
    QVERIFY(button);
    QTRY_VERIFY2_WITH_TIMEOUT(button->isEnabled(), qPrintable(button->text()), 20'000);
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

// On the box itself: a check box only counts presses on its indicator and label.
void tick(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, indicator.center());
}

NodeRow *rowOf(NodePanel *panel, const QString &endpointId)
{
    for (NodeRow *row : panel->rows()) {
        if (row->endpoint().id == endpointId)
            return row;
    }
    return nullptr;
}

// The connection reports as "endpoint status", oldest first. A heartbeat repeats "connected" once a minute,
// which a slow run may see: repeats count once.
QStringList reportTrail(ConnectionWorld &world)
{
    QStringList trail;
    for (const QJsonValue &entry : world.connectionReports()) {
        const QJsonObject report = entry[QStringLiteral("report")].toObject();
        const QString step =
            report[QStringLiteral("endpointId")].toString() + u' ' + report[QStringLiteral("status")].toString();
        if (trail.isEmpty() || trail.last() != step)
            trail << step;
    }
    return trail;
}

} // namespace

// A user at the window: signs in, connects, browses through the system proxy, moves to another endpoint and
// disconnects, against the stand-in control plane, the simulated Mac and the stand-in core.
class TestE2eWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void signInConnectSwitchAndDisconnect()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        StateActions &actions = world.state();
        MainWindow window(actions);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        RootView *root = window.rootView();
        ConnectionPanel *panel = root->homeView()->connectionPanel();
        NodePanel *nodes = root->homeView()->nodePanel();

        // Without a session the start-up task opens the sign-in sheet.
        QTRY_VERIFY_WITH_TIMEOUT(root->authSheet(), 20'000);
        AuthView *auth = root->authView();
        QTest::keyClicks(auth->identityField(), QStringLiteral("demo@tovren.dev"));
        QTest::keyClicks(auth->passwordField(), QStringLiteral("tovren-demo"));
        QVERIFY(!auth->primaryButton()->isEnabled()); // not before the terms are accepted
        tick(auth->agreement());
        click(auth->primaryButton());
        QTRY_VERIFY_WITH_TIMEOUT(!root->authSheet(), 20'000);
        QTRY_COMPARE_WITH_TIMEOUT(root->sidebar()->accountIdentity()->text(), QStringLiteral("demo@tovren.dev"),
                                  20'000);
        QTRY_VERIFY_WITH_TIMEOUT(rowOf(nodes, QStringLiteral("ep_hk_01")) && rowOf(nodes, QStringLiteral("ep_jp_01")),
                                 20'000);
        QCOMPARE(panel->statusTitle()->text(), QStringLiteral("未连接"));
        // The endpoint the client suggests, and another one of the list for later.
        const bool hongKongFirst = rowOf(nodes, QStringLiteral("ep_hk_01"))->isHighlighted();
        const Endpoint first =
            rowOf(nodes, hongKongFirst ? QStringLiteral("ep_hk_01") : QStringLiteral("ep_jp_01"))->endpoint();
        const Endpoint second =
            rowOf(nodes, hongKongFirst ? QStringLiteral("ep_jp_01") : QStringLiteral("ep_hk_01"))->endpoint();
        QVERIFY(rowOf(nodes, first.id)->isHighlighted());

        // One click connects to the selected endpoint.
        click(panel->connectButton());
        QCOMPARE(statusAfterConnect(panel), QStringLiteral("已连接"));
        QCOMPARE(panel->connectButton()->text(), QStringLiteral("断开连接"));
        QCOMPARE(panel->endpointCard()->value(), first.region);
        const auto browses = [&world] {
            const EndToEnd::SystemProxy proxy = EndToEnd::systemProxy(world.mac());
            QVERIFY(proxy.socksEnabled && proxy.httpEnabled);
            QCOMPARE(proxy.socksHost, QStringLiteral("127.0.0.1"));
            QCOMPARE(EndToEnd::fetchThrough(proxy.socks(), EndToEnd::page), EndToEnd::pageBody);
            QCOMPARE(EndToEnd::fetchThrough(proxy.http(), EndToEnd::page), EndToEnd::pageBody);
        };
        browses();
        if (QTest::currentTestFailed())
            return;

        // Another endpoint from the list: pick its row, disconnect, connect again.
        click(rowOf(nodes, second.id));
        QTRY_VERIFY(rowOf(nodes, second.id)->isHighlighted());
        QVERIFY(!rowOf(nodes, first.id)->isHighlighted());
        QCOMPARE(panel->endpointCard()->value(), second.region);
        click(panel->connectButton());
        QTRY_COMPARE_WITH_TIMEOUT(panel->statusTitle()->text(), QStringLiteral("未连接"), connectTimeoutMs);
        click(panel->connectButton());
        QCOMPARE(statusAfterConnect(panel), QStringLiteral("已连接"));
        click(root->homeView()->logPanel()->toggleButton());
        LogPanel *logs = root->homeView()->logPanel();
        const QString connectedLine = QStringLiteral("sing-box 内核已连接：") + second.region + QStringLiteral("。");
        QTRY_VERIFY2(logs->shownMessages().contains(connectedLine), qPrintable(logs->shownMessages().join(u'\n')));
        browses();
        if (QTest::currentTestFailed())
            return;

        // Disconnecting leaves the Mac as it was: no proxy pointing at the client, no core, no prompt.
        const int port = world.state().localProxyPort();
        click(panel->connectButton());
        QTRY_COMPARE_WITH_TIMEOUT(panel->statusTitle()->text(), QStringLiteral("未连接"), connectTimeoutMs);
        QCOMPARE(panel->connectButton()->text(), QStringLiteral("一键连接"));
        QCOMPARE(EndToEnd::clientProxySettings(world.mac()), QStringList());
        QVERIFY(!EndToEnd::systemProxy(world.mac()).socksEnabled);
        QTRY_COMPARE(EndToEnd::coresBelow(world.homePath()), QList<qint64>());
        QVERIFY(!TunnelFixtures::listening(port));
        QCOMPARE(world.mac().promptCount(), 0);
        const QStringList expectedTrail{first.id + " connected", first.id + " disconnected", second.id + " connected",
                                        second.id + " disconnected"};
        QTRY_VERIFY2(reportTrail(world) == expectedTrail, qPrintable(reportTrail(world).join(QStringLiteral(", "))));
    }
};

QTEST_MAIN(TestE2eWindow)
#include "test_e2e_window.moc"
