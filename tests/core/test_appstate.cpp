#include "TestHome.h"
#include "core/AppState.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

Endpoint endpointNamed(const QString &id)
{
    Endpoint e = placeholderEndpoints().first();
    e.id = id;
    return e;
}

// A sampler whose counters the test moves by hand.
struct FakeCounters
{
    quint32 received = 0;
    quint32 sent = 0;
    NetworkSpeedSampler sampler()
    {
        return NetworkSpeedSampler([this]() -> std::optional<QList<InterfaceCounters>> {
            return QList<InterfaceCounters>{{"en0", true, false, true, true, true, received, sent}};
        });
    }
};

} // namespace

class TestAppState : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void constructionLogsReadyAndUsesDefaults()
    {
        TestHome home;
        AppState state;
        QCOMPARE(state.logs().size(), 1);
        QCOMPARE(state.logs().first().message, QStringLiteral("客户端已就绪。"));
        QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(state.logs().first().time).hasMatch());
        QCOMPARE(state.endpoints(), placeholderEndpoints());
        QCOMPARE(state.plans(), placeholderPlans());
        QCOMPARE(state.latestVersion(), QStringLiteral("v9.7.3"));
        QCOMPARE(state.versionPolicyText(), QStringLiteral("已是最新"));
        QCOMPARE(state.menuBarEnabled(), true);
        QCOMPARE(state.showMenuBarSpeed(), false);
        QCOMPARE(state.outboundMode(), OutboundMode::smart);
        QCOMPARE(state.localProxyPort(), 19090);
        QCOMPARE(state.localAIProxyPort(), 19110);
        QCOMPARE(state.statusTitle(), QStringLiteral("未连接"));
        QVERIFY(state.speedMonitorRunning());
    }

    void logKeepsTheNewestThirty()
    {
        TestHome home;
        AppState state;
        for (int i = 1; i <= 31; ++i)
            state.appendLog(QString::number(i));
        QCOMPARE(state.logs().size(), 30);
        QCOMPARE(state.logs().first().message, QStringLiteral("31"));
        QCOMPARE(state.logs().last().message, QStringLiteral("2"));
        QVERIFY(state.logs()[0].id != state.logs()[1].id);
    }

    void visibleListsShowTwoUnlessExpanded()
    {
        TestHome home;
        AppState state;
        state.setEndpoints({endpointNamed("a"), endpointNamed("b")});
        QCOMPARE(state.visibleEndpoints().size(), 2);
        state.setEndpoints({endpointNamed("a"), endpointNamed("b"), endpointNamed("c")});
        QCOMPARE(state.visibleEndpoints().size(), 2);
        QCOMPARE(state.visibleEndpoints().last().id, QStringLiteral("b"));
        state.setNodesExpanded(true);
        QCOMPARE(state.visibleEndpoints().size(), 3);

        state.appendLog("two");
        QCOMPARE(state.visibleLogs().size(), 2);
        state.appendLog("three");
        QCOMPARE(state.visibleLogs().size(), 2);
        QCOMPARE(state.visibleLogs().first().message, QStringLiteral("three"));
        state.setLogsExpanded(true);
        QCOMPARE(state.visibleLogs().size(), 3);
    }

    void settingsOfTheWrongTypeGiveDefaults()
    {
        TestHome home;
        {
            Preferences prefs;
            prefs.setString(AppState::menuBarEnabledKey, "false"); // a string, not a boolean
            prefs.setString(AppState::showMenuBarSpeedKey, "true");
            prefs.setData(AppState::aiEnhancedModeEnabledKey, "1");
            prefs.setString(AppState::outboundModeKey, "Enhanced");
            prefs.setBool(AppState::launchAtLoginKey, true);
        }
        AppState state;
        QCOMPARE(state.menuBarEnabled(), true);
        QCOMPARE(state.showMenuBarSpeed(), false);
        QCOMPARE(state.aiEnhancedModeEnabled(), false);
        QCOMPARE(state.outboundMode(), OutboundMode::smart);
        QCOMPARE(state.launchAtLogin(), true);
    }

    void storedSettingsSurviveARestart()
    {
        TestHome home;
        {
            AppState state;
            state.setMenuBarEnabled(false);
            state.setShowMenuBarSpeed(true);
            state.preferences().setString(AppState::outboundModeKey, "enhanced");
            state.preferences().setBool(AppState::aiEnhancedModeEnabledKey, true);
        }
        AppState state;
        QCOMPARE(state.menuBarEnabled(), false);
        QCOMPARE(state.showMenuBarSpeed(), true);
        QCOMPARE(state.outboundMode(), OutboundMode::enhanced);
        QCOMPARE(state.aiEnhancedModeEnabled(), true);
    }

    void launchAtLoginStoresAndExplains()
    {
        TestHome home;
        AppState state;
        state.setAlertAction(AppAlertAction::installWireGuardTools);
        state.setLaunchAtLogin(true);
        QCOMPARE(state.alertMessage(), std::optional<QString>("开机启动已保存，正式签名打包后会接入系统登录项。"));
        QCOMPARE(state.alertAction(), std::nullopt);
        QCOMPARE(state.preferences().boolValue(AppState::launchAtLoginKey), std::optional<bool>(true));
        state.setLaunchAtLogin(false);
        QCOMPARE(state.alertMessage(), std::optional<QString>("已关闭开机启动。"));
    }

    void formattedSpeedBoundaries_data()
    {
        QTest::addColumn<double>("bps");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0 B/s";
        QTest::newRow("1023.9 truncates") << 1023.9 << "1023 B/s";
        QTest::newRow("1024") << 1024.0 << "1 KB/s";
        QTest::newRow("1535 rounds down") << 1535.0 << "1 KB/s";
        QTest::newRow("1536 rounds half up") << 1536.0 << "2 KB/s";
        QTest::newRow("just under a MB") << 1048575.0 << "1024 KB/s";
        QTest::newRow("1 MB") << 1048576.0 << "1.0 MB/s";
        QTest::newRow("12.34 MB") << 12.34 * 1048576 << "12.3 MB/s";
    }
    void formattedSpeedBoundaries()
    {
        QFETCH(double, bps);
        QFETCH(QString, text);
        QCOMPARE(AppState::formattedSpeed(bps), text);
    }

    void trafficTextBoundaries()
    {
        QCOMPARE(AppState::trafficText(std::nullopt), QStringLiteral("未知"));
        QCOMPARE(AppState::trafficText(-1), QStringLiteral("不限量"));
        QCOMPARE(AppState::trafficText(0), QStringLiteral("0MB"));
        QCOMPARE(AppState::trafficText(1023), QStringLiteral("1023MB"));
        QCOMPARE(AppState::trafficText(1024), QStringLiteral("1.0GB"));
        QCOMPARE(AppState::trafficText(1536), QStringLiteral("1.5GB"));
    }

    void statusTextsFollowTheState()
    {
        TestHome home;
        AppState state;
        QCOMPARE(state.connectionNote(), QStringLiteral("选择节点后一键生成配置并连接。"));
        state.setCurrentConfigPath(QStringLiteral("配置已写入"));
        state.setConnectionState(ConnectionState::connected);
        QCOMPARE(state.statusTitle(), QStringLiteral("已连接"));
        QCOMPARE(state.connectionNote(), QStringLiteral("配置已写入"));
        state.setConnectionState(ConnectionState::makeFailed("端口被占用"));
        QCOMPARE(state.statusTitle(), QStringLiteral("连接异常"));
        QCOMPARE(state.connectionNote(), QStringLiteral("端口被占用"));
        state.setConnectionState(ConnectionState::repairing);
        QCOMPARE(state.connectionNote(), QStringLiteral("检测到旧连接或 DNS 状态异常，正在自动修复。"));
        state.setConnectionState(ConnectionState::configReady);
        QCOMPARE(state.statusTitle(), QStringLiteral("需要安装组件"));
        QCOMPARE(state.connectionNote(), QStringLiteral("需要安装 Tovren 连接组件；点击下方一键安装。"));
        state.setComponentInstallState(ComponentInstallState::needsHomebrew);
        QCOMPARE(state.connectionNote(), QStringLiteral("未检测到 Homebrew，需要先打开终端完成基础环境安装。"));
        state.setComponentInstallState(ComponentInstallState::makeFailed("brew 失败"));
        QCOMPARE(state.connectionNote(), QStringLiteral("brew 失败"));
    }

    void menuBarTitleShowsSpeedsOnlyWhenAsked()
    {
        TestHome home;
        AppState state;
        state.setDownloadSpeedBps(2048);
        state.setUploadSpeedBps(10);
        QCOMPARE(state.menuBarTitle(), QStringLiteral("Tovren"));
        state.setShowMenuBarSpeed(true);
        QCOMPARE(state.menuBarTitle(), QStringLiteral("↓ 2 KB/s  ↑ 10 B/s"));
    }

    void changedFiresOnlyForRealChanges()
    {
        TestHome home;
        AppState state;
        QSignalSpy spy(&state, &AppState::changed);
        state.setIsBusy(false);
        QCOMPARE(spy.count(), 0);
        state.setIsBusy(true);
        QCOMPARE(spy.count(), 1);
        state.selectEndpoint(placeholderEndpoints()[1]);
        QCOMPARE(state.selectedEndpointId(), std::optional<QString>("sg-01"));
        QCOMPARE(state.logs().first().message, QStringLiteral("已选择新加坡节点。"));
    }

    void speedMonitorTurnsCountersIntoRates()
    {
        TestHome home;
        AppState state;
        state.stopSpeedMonitor(); // the test takes the samples itself
        FakeCounters counters;
        state.setSpeedSampler(counters.sampler());
        state.updateNetworkSpeed(); // first sample from the fake
        counters.received = 4096;
        counters.sent = 512;
        QTest::qWait(1100);
        state.updateNetworkSpeed();
        QVERIFY(state.downloadSpeedBps() > 0);
        QVERIFY(state.downloadSpeedBps() <= 4096 / 0.5);
        QVERIFY(state.uploadSpeedBps() > 0);
        // A counter that went down (wrapped, interface gone) shows 0, never a negative or huge rate.
        counters.received = 10;
        state.updateNetworkSpeed();
        QCOMPARE(state.downloadSpeedBps(), 0.0);
        // Two samples a moment apart divide by at least half a second.
        counters.sent = 512 + 1000;
        state.updateNetworkSpeed();
        QVERIFY(state.uploadSpeedBps() <= 2000.0);
    }

    void speedTimerTicksOnTheEventLoop()
    {
        TestHome home;
        AppState state;
        FakeCounters counters;
        state.setSpeedSampler(counters.sampler());
        state.updateNetworkSpeed();
        counters.received = 100000;
        QTRY_VERIFY_WITH_TIMEOUT(state.downloadSpeedBps() > 0, 3000);
        state.stopSpeedMonitor();
        QVERIFY(!state.speedMonitorRunning());
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "test_appstate.moc"
