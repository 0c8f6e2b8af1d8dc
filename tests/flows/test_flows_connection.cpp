#include "ConnectionWorld.h"

#include "tunnel/LocalProxyPorts.h"

#include <QTcpServer>
#include <QTest>

namespace {

QStringList stagesOf(const QJsonObject &report)
{
    QStringList stages;
    for (const QJsonValue &record : report[QStringLiteral("stateLog")].toArray())
        stages << record[QStringLiteral("stage")].toString();
    return stages;
}

// Every record carries its values under both spellings, and all of them belong to one attempt.
bool consistentStateLog(const QJsonObject &report)
{
    const QString attempt = report[QStringLiteral("attemptId")].toString();
    for (const QJsonValue &value : report[QStringLiteral("stateLog")].toArray()) {
        const QJsonObject record = value.toObject();
        for (const auto &[camel, snake] : {std::pair{"attemptId", "attempt_id"},
                                           {"requestId", "request_id"},
                                           {"elapsedMs", "elapsed_ms"},
                                           {"errorCode", "error_code"},
                                           {"buildId", "build_id"},
                                           {"appVersion", "app_version"}}) {
            if (!record.contains(QLatin1String(camel)) || record[QLatin1String(camel)] != record[QLatin1String(snake)])
                return false;
        }
        if (record[QStringLiteral("attemptId")].toString() != attempt ||
            record[QStringLiteral("stage")] != record[QStringLiteral("state")])
            return false;
    }
    return true;
}

QJsonObject reportOf(const QJsonValue &entry)
{
    return entry[QStringLiteral("report")].toObject();
}

} // namespace

// The one-click connect against the stand-in control plane, the simulated Mac and the stand-in core.
class TestFlowsConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectsEndToEndAndReusesThisComputerAfterARestart()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        const int boundBefore = world.state().devices().size();

        AppState &state = world.state();
        for (const Endpoint &endpoint : state.endpoints()) {
            if (endpoint.id == QLatin1String("ep_hk_01"))
                state.selectEndpoint(endpoint);
        }
        // A second press and an account refresh while the connect runs: no second pipeline, and still busy.
        QCoro::Task<void> pressed = state.toggleConnection();
        awaitTask(state.refreshPrivateData());
        QVERIFY(state.isBusy());
        awaitTask(state.toggleConnection());
        awaitTask(std::move(pressed), std::chrono::seconds(120));
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage() + state.alertMessage().value_or(QString())));
        QVERIFY(state.connectedAt());
        QCOMPARE(state.currentDevice()->rawDeviceName, QStringLiteral("Devstack Mac")); // not the host name
        QCOMPARE(state.devices().size(), boundBefore + 1);
        QVERIFY(world.logged(QStringLiteral("sing-box 内核已连接：香港。")));
        QVERIFY(world.logContaining(QStringLiteral("节点凭证同步中，正在等待服务端生效（1）")).size() > 0);
        QVERIFY(state.quickConnectCache());
        QCOMPARE(state.quickConnectCache()->endpointId, QStringLiteral("ep_hk_01"));
        QCOMPARE(state.endpointQualityStats().value(QStringLiteral("ep_hk_01")).successfulConnections, 1);

        // The provisioning wait: asked again until the node was ready.
        QVERIFY(world.protocolConfigRequests().size() >= 2);
        // The system proxy points at the port the core listens on.
        const int port = state.localProxyPort();
        QVERIFY(LocalProxyPorts::isOwnedSystemProxyPort(port));
        QCOMPARE(world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).port, port);

        const QJsonArray reports = world.connectionReports();
        QCOMPARE(reports.size(), 1);
        const QJsonObject connected = reportOf(reports.first());
        QCOMPARE(connected[QStringLiteral("status")].toString(), QStringLiteral("connected"));
        QCOMPARE(connected[QStringLiteral("reasonCode")].toString(), QStringLiteral("OK"));
        QCOMPARE(connected[QStringLiteral("deviceId")].toString(), state.currentDevice()->id);
        QCOMPARE(stagesOf(connected), QStringList({"auth_check", "device_bind", "config_prepare", "node_ready_wait",
                                                   "kernel_start", "quick_verify", "connected"}));
        QVERIFY(consistentStateLog(connected));
        QCOMPARE(reports.first()[QStringLiteral("traceHeaders")].toObject().size() > 0, true);

        // Regression: a row picked while connected used to be reported as the endpoint that was disconnected.
        state.selectEndpoint(state.endpoints().last());
        awaitTask(state.toggleConnection()); // connected: the button disconnects
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        QVERIFY(world.logged(QStringLiteral("连接已断开。")));
        const QJsonObject disconnected = reportOf(world.connectionReports().last());
        QCOMPARE(disconnected[QStringLiteral("status")].toString(), QStringLiteral("disconnected"));
        QCOMPARE(disconnected[QStringLiteral("endpointId")].toString(), QStringLiteral("ep_hk_01"));
        QCOMPARE(disconnected[QStringLiteral("stateLog")].toArray().last()[QStringLiteral("endpointId")].toString(),
                 QStringLiteral("ep_hk_01"));
        QCOMPARE(disconnected[QStringLiteral("stateStage")].toString(), QStringLiteral("rollback"));
        QCOMPARE(disconnected[QStringLiteral("reasonCode")].toString(), QStringLiteral("UNKNOWN_FAILURE"));
        QVERIFY(!world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).enabled);

        // After a restart the stored session and this computer's binding are used again: no second device.
        const QString deviceId = state.currentDevice()->id;
        world.restartState();
        awaitTask(world.state().bootstrap());
        // Both templates carry DNS servers, DNS rules and a rule set of their own; this one also an untagged
        // direct outbound. Enhanced mode replaces their route; the core still finds every name it is given.
        world.state().setOutboundMode(OutboundMode::enhanced);
        // The device list fails right after this connect: the connection stays.
        QObject::connect(&world.state(), &AppState::changed, &world.state(), [&world, faulted = false]() mutable {
            if (!faulted && world.state().connectionState().is(ConnectionState::connected)) {
                faulted = true;
                world.plane().admin("POST", "/faults", {{"path", "/devices"}, {"method", "GET"}, {"status", 500}});
            }
        });
        world.connectTo(QStringLiteral("ep_jp_01"));
        QCOMPARE(world.state().connectionState().kind(), ConnectionState::connected);
        QVERIFY(!world.logContaining(QStringLiteral("设备列表同步失败：")).isEmpty());
        QCOMPARE(world.state().currentDevice()->id, deviceId);
        QCOMPARE(world.requestsTo(QStringLiteral("POST"), QStringLiteral("/api/devices")), 1);

        // Signing out while connected disconnects first.
        awaitTask(world.state().logout());
        QCOMPARE(reportOf(world.connectionReports().last())[QStringLiteral("status")].toString(),
                 QStringLiteral("disconnected"));
        QVERIFY(!world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).enabled);
        QCOMPARE(world.mac().promptCount(), 0);
    }

    void failsOverWhenACandidateCarriesNoTraffic()
    {
        QJsonObject data = ConnectionWorld::demoDataSet({"ep_hk_01", "ep_jp_01"});
        ConnectionWorld::breakUpstream(data, QStringLiteral("ep_hk_01"));
        ConnectionWorld world(data, {QStringLiteral("--provisioning-ms"), QStringLiteral("0")});
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();

        world.connectTo(QStringLiteral("ep_hk_01"));
        AppState &state = world.state();
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage()));
        QCOMPARE(*state.selectedEndpointId(), QStringLiteral("ep_jp_01"));
        QVERIFY(world.logged(QStringLiteral("正在自动切换到下一个可用节点。")));
        QVERIFY(!world.logContaining(QStringLiteral("香港 连接失败：")).isEmpty());

        const QJsonArray reports = world.connectionReports();
        QCOMPARE(reports.size(), 2);
        const QJsonObject failed = reportOf(reports[0]);
        QCOMPARE(failed[QStringLiteral("status")].toString(), QStringLiteral("failed"));
        QCOMPARE(failed[QStringLiteral("endpointId")].toString(), QStringLiteral("ep_hk_01"));
        QVERIFY(!failed[QStringLiteral("errorMessage")].toString().isEmpty());
        QCOMPARE(failed[QStringLiteral("reasonCode")].toString(),
                 AppState::connectionReasonCode(QStringLiteral("failed"),
                                                failed[QStringLiteral("errorMessage")].toString()));
        QCOMPARE(stagesOf(failed).last(), failed[QStringLiteral("stateStage")].toString());
        const QJsonObject connected = reportOf(reports[1]);
        QCOMPARE(connected[QStringLiteral("endpointId")].toString(), QStringLiteral("ep_jp_01"));
        QCOMPARE(connected[QStringLiteral("attemptId")], failed[QStringLiteral("attemptId")]);
        QVERIFY(consistentStateLog(connected));

        const EndpointQualityStats broken = state.endpointQualityStats().value(QStringLiteral("ep_hk_01"));
        QCOMPARE(broken.failedConnections, 1);
        QCOMPARE(broken.consecutiveFailures, 1);
        QCOMPARE(state.endpointQualityStats().value(QStringLiteral("ep_jp_01")).successfulConnections, 1);
    }

    void aBusyLocalPortStopsAtTheFirstCandidate()
    {
        ConnectionWorld world(ConnectionWorld::demoDataSet({"ep_hk_01", "ep_jp_01", "ep_sg_01"}),
                              {QStringLiteral("--provisioning-ms"), QStringLiteral("0")});
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        QTcpServer squatter; // someone else holds the AI entry's port
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 19110));
        world.state().setAiEnhancedModeEnabledValue(true);

        world.connectTo(QStringLiteral("ep_hk_01"));
        AppState &state = world.state();
        QCOMPARE(state.connectionState().kind(), ConnectionState::failed);
        const QString message = state.connectionState().failureMessage();
        QVERIFY2(message.startsWith(QStringLiteral("已尝试 ")) && message.contains(QStringLiteral("19110")),
                 qPrintable(message));
        QCOMPARE(message.count(QStringLiteral("、")), 0); // one candidate named
        QVERIFY(world.logged(QStringLiteral("检测到本机连接环境问题，已停止自动重试。")));
        QVERIFY(!world.logged(QStringLiteral("正在自动切换到下一个可用节点。")));
        QCOMPARE(world.connectionReports().size(), 1);
        QCOMPARE(state.alertMessage().value_or(QString()), message);

        const QJsonArray crashes = world.crashReports();
        QCOMPARE(crashes.size(), 1);
        const QJsonObject crash = reportOf(crashes.first());
        QCOMPARE(crash[QStringLiteral("crashType")].toString(), QStringLiteral("macos-connection"));
        QCOMPARE(crash[QStringLiteral("reason")].toString(), message);
        QVERIFY(crash[QStringLiteral("diagnostics")].toString().split(u'\n').size() <= 12);
    }

    void bindingRespectsThePlan_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<int>("bindRequests");
        QTest::newRow("all slots taken") << "full@tovren.dev"
                                         << "已绑定设备 3/3，请先在设置中解绑不用的设备。" << 0;
        QTest::newRow("plan without devices") << "free@tovren.dev"
                                              << "当前套餐未开放设备绑定，请先开通或续费套餐。" << 0;
    }

    void bindingRespectsThePlan()
    {
        QFETCH(QString, identity);
        QFETCH(QString, alert);
        QFETCH(int, bindRequests);
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn(identity);

        world.connectTo(QStringLiteral("ep_hk_01"));
        QCOMPARE(world.state().connectionState(), ConnectionState::makeFailed(alert));
        QCOMPARE(world.state().alertMessage().value_or(QString()), alert);
        QVERIFY(world.logged(QStringLiteral("连接失败：") + alert));
        QCOMPARE(world.requestsTo(QStringLiteral("POST"), QStringLiteral("/api/devices")), bindRequests);
        QCOMPARE(world.protocolConfigRequests().size(), 0);
        QCOMPARE(world.connectionReports().size(), 0);
        QCOMPARE(world.crashReports().size(), 1);
        QVERIFY(!world.state().isBusy());
    }

    void aNodeThatStaysNotReadyTimesOut()
    {
        // A maximum wait of 0 still allows 1000 ms; the client waits its minimum 1500 ms once and gives up.
        ConnectionWorld world(ConnectionWorld::demoDataSet({"ep_jp_01"}),
                              {QStringLiteral("--provisioning-ms"), QStringLiteral("600000"),
                               QStringLiteral("--max-wait-ms"), QStringLiteral("0"), QStringLiteral("--retry-after-ms"),
                               QStringLiteral("100")});
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        QElapsedTimer clock;
        clock.start();
        world.connectTo(QStringLiteral("ep_jp_01"));
        // Qt's coarse timers may end a wait up to 5 % early.
        QVERIFY2(clock.elapsed() >= 1425, qPrintable(QString::number(clock.elapsed())));

        const QString timeout = QStringLiteral("节点凭证同步超时，请稍后重试或切换节点。");
        AppState &state = world.state();
        QCOMPARE(state.connectionState().failureMessage(),
                 QStringLiteral("已尝试 日本 ") + displayName(state.endpoints().first().preferredProtocol) +
                     QStringLiteral("，仍未连通。") + timeout);
        QCOMPARE(world.protocolConfigRequests().size(), 2);
        QVERIFY(world.logged(QStringLiteral("协议配置未就绪，已停止本次连接。")));
        const QJsonObject failed = reportOf(world.connectionReports().first());
        QCOMPARE(failed[QStringLiteral("errorMessage")].toString(), timeout);
        QCOMPARE(stagesOf(failed).count(QStringLiteral("node_ready_wait")), 1);
        QVERIFY(!LocalProxyPorts::isOwnedSystemProxyPort(
                    world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).port) ||
                !world.mac().proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks).enabled);
    }

    void disconnectingWithoutADeviceSendsNoReport()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn(QStringLiteral("free@tovren.dev"));
        QVERIFY(!world.state().currentDevice());
        awaitTask(world.state().disconnect());
        QCOMPARE(world.state().connectionState().kind(), ConnectionState::disconnected);
        QVERIFY(world.logged(QStringLiteral("连接已断开。")));
        QCOMPARE(world.connectionReports().size(), 0);
        const QList<StateRecord> &log = world.state().currentStateLog();
        QCOMPARE(log.size(), 3); // the attempt it opened, the request and the result
        QCOMPARE(log.last().value(QStringLiteral("message")), QStringLiteral("连接已断开。"));
    }
};

QTEST_GUILESS_MAIN(TestFlowsConnection)
#include "test_flows_connection.moc"
