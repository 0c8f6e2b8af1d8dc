#include "testkit/ConnectionWorld.h"

#include "base/ProductPaths.h"
#include "runtime/ProxySnapshotFile.h"

#include <QCoro/QCoroTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A heartbeat minute lasts 120 ms here; the product's intervals stay as they are.
constexpr double timeScale = 0.002;
const QString hk = u"ep_hk_01"_s;
const QString jp = u"ep_jp_01"_s;
const QString deadEntry = u"系统代理入口 127.0.0.1:19090 外网保活失败。"_s;
const QString lostProxy = u"系统代理未生效，已尝试重新设置但仍为空。"_s;
const QString lostProxyAlert = lostProxy + u"请允许 Tovren 修改系统代理后重新连接。"_s;

// The log, oldest first.
QStringList messages(const AppState &state)
{
    QStringList all;
    for (const LogEntry &entry : state.logs())
        all.prepend(entry.message);
    return all;
}

QStringList heartbeatLines(const AppState &state)
{
    return messages(state).filter(QRegularExpression(u"^(连接保活异常|正在自动修复)"_s));
}

// A health probe whose verdicts the test writes in advance; the last one repeats.
struct ScriptedProbe
{
    QList<TunnelHealthCheck> verdicts;
    int calls = 0;
    int answered = 0;
    bool probedAIEntry = false;

    static QCoro::Task<TunnelHealthCheck> answer(ScriptedProbe *probe)
    {
        const int index = probe->calls++;
        co_await QCoro::sleepFor(10ms);
        ++probe->answered;
        co_return probe->verdicts.at(std::min<qsizetype>(index, probe->verdicts.size() - 1));
    }

    AppStateDependencies::HealthProbe function()
    {
        return [this](int, bool aiEntry) {
            probedAIEntry = probedAIEntry || aiEntry;
            return answer(this);
        };
    }
};

const TunnelHealthCheck passed{true, u"系统代理入口保活正常。"_s};

// Signed in and connected to the Hong Kong endpoint, with heartbeat minutes of 120 ms.
bool connectedToHongKong(ConnectionWorld &world)
{
    world.heartbeatTimeScale = timeScale;
    world.signIn();
    world.connectTo(hk);
    return world.state().connectionState().is(ConnectionState::connected);
}

} // namespace

// The state over the life of the process: the start-up clean-up, the bootstrap, the AI-enhanced and outbound modes,
// the heartbeat and its automatic recovery, and quitting.
class TestLifecycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What the crashed run saved of the user's settings comes back exactly; a damaged file is set aside, and
    // nothing of it is applied.
    void startupRemovesWhatACrashedRunLeft_data()
    {
        QTest::addColumn<QByteArray>("saved"); // empty: nothing saved
        QTest::addColumn<bool>("restored");
        const SystemProxy::ProxyState company{true, u"10.0.0.2"_s, 8080};
        const QByteArray saved =
            ProxySnapshotFile::encode({{u"Wi-Fi"_s, company, company, {}, {u"*.corp.example"_s, u"intranet"_s}},
                                       {u"USB LAN"_s, {}, {}, {true, u"10.0.0.3"_s, 3128}, {}}});
        QTest::newRow("nothing saved") << QByteArray() << false;
        QTest::newRow("saved") << saved << true;
        QTest::newRow("damaged") << QByteArray(saved).replace("3128", "\"3128\"") << false;
    }

    void startupRemovesWhatACrashedRunLeft()
    {
        QFETCH(QByteArray, saved);
        QFETCH(bool, restored);
        ConnectionWorld world;
        // A crashed run left the system proxy pointing at its core.
        world.mac().setProxy(u"Wi-Fi"_s, SimulatedMac::ProxyKind::Socks, {true, u"127.0.0.1"_s, 19090, false});
        world.mac().setProxy(u"Wi-Fi"_s, SimulatedMac::ProxyKind::Web, {true, u"127.0.0.1"_s, 19091, false});
        if (!saved.isEmpty())
            QVERIFY(ProductPaths::writePrivateFileAtomically(ProxySnapshotFile::path(), saved));
        world.restartState();
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        const SimulatedMac::NetworkService wifi = world.mac().service(u"Wi-Fi"_s);
        QVERIFY(!wifi.socks.enabled);
        QCOMPARE(wifi.web.enabled, restored);
        QCOMPARE(wifi.secureWeb.server, restored ? u"10.0.0.2"_s : QString());
        QCOMPARE(wifi.bypassDomains.first(), restored ? u"*.corp.example"_s : u"*.local"_s);
        QVERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QCOMPARE(QFile::exists(ProxySnapshotFile::path() + u".unreadable"_s), !saved.isEmpty() && !restored);
        QVERIFY(world.logged(u"已检查并清理上次异常退出残留连接。"_s));
        QVERIFY(world.state().speedMonitor().isRunning());
    }

    void bootstrapsOnce()
    {
        OPEN_WORLD();
        awaitTask(state.bootstrap());
        awaitTask(state.bootstrap());
        QVERIFY(state.bootstrapped() && state.showAuthSheet()); // no stored session
        QCOMPARE(world.requestsTo(u"GET"_s, u"/api/nodes"_s), 1);
        // Connecting without a session asks for one and calls nothing.
        state.setShowAuthSheet(false);
        awaitTask(state.toggleConnection());
        QVERIFY(state.showAuthSheet());
        QCOMPARE(world.protocolConfigRequests().size(), 0);

        // Signed in and restarted: the stored session is read and the private data refreshed, once.
        world.signIn();
        const int accountReads = world.requestsTo(u"GET"_s, u"/api/me"_s);
        world.restartState();
        awaitTask(world.state().bootstrap());
        QVERIFY(!world.state().showAuthSheet() && world.state().currentUser());
        QCOMPARE(world.requestsTo(u"GET"_s, u"/api/me"_s), accountReads + 1);
    }

    void aConnectUnderWayWhenQuittingBeginsAsksForNoPassword()
    {
        OPEN_WORLD(ConnectionWorld::demoDataSet({"ep_uk_01"})); // its provisioning fails
        world.signIn();
        QCoro::Task<void> pressed = state.toggleConnection();
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(u"正在获取节点协议配置。"_s), 30000);
        // A proxy of the client's that only an administrator may switch off: a clean-up allowed to prompt would.
        world.mac().setProxy(u"Wi-Fi"_s, SimulatedMac::ProxyKind::Socks, {true, u"127.0.0.1"_s, 19090});
        world.mac().rejectAsUser(u"Wi-Fi"_s);
        awaitTask(state.cleanupBeforeExit());
        awaitTask(std::move(pressed), std::chrono::seconds(120));
        QCOMPARE(world.mac().promptCount(), 0);
    }

    void modesAreStoredAndLoggedOnChange()
    {
        OPEN_WORLD();
        world.model().setLogs({});
        state.setOutboundMode(OutboundMode::smart); // already in force: not logged
        world.model().setAiProxyReady(true);
        state.toggleAIEnhancedMode(); // on, idle: the AI entry's readiness stays
        QVERIFY(state.aiEnhancedModeEnabled() && state.aiProxyReady());
        world.model().setConnectionState(ConnectionState::connected);
        state.setOutboundMode(OutboundMode::enhanced);
        state.setOutboundMode(OutboundMode::enhanced);
        state.toggleAIEnhancedMode(); // off while connected: readiness goes, the connection stays
        QVERIFY(!state.aiEnhancedModeEnabled() && !state.aiProxyReady());
        QCOMPARE(state.connectionState().kind(), ConnectionState::connected);
        QCOMPARE(messages(state),
                 (QStringList{u"AI 增强模式已开启。"_s, u"已切换出站模式：增强模式。"_s, u"AI 增强模式已关闭。"_s,
                              u"AI 增强模式变更将在下次一键连接后完全生效。"_s}));
        state.toggleAIEnhancedMode();

        world.restartState();
        QVERIFY(world.state().aiEnhancedModeEnabled());
        QCOMPARE(world.state().outboundMode(), OutboundMode::enhanced);
        world.state().setOutboundMode(OutboundMode::smart);
        QCOMPARE(world.state().preferences().stringValue(AppState::outboundModeKey),
                 std::optional<QString>(u"smart"_s));
    }

    void aiToolLauncher()
    {
        OPEN_WORLD();
        // It needs the mode, then a connection; the mode is checked first.
        const QString modeFirst = u"请先开启 AI增强功能，并重新一键连接后再启动 Claude。"_s;
        const QString needsConnection = u"请先开启 AI增强功能并完成一键连接，再启动 Claude AI 代理环境。"_s;
        // clang-format off
        for (const auto &[aiMode, kind, alert] : {std::tuple{false, ConnectionState::disconnected, modeFirst},
                 {false, ConnectionState::connected, modeFirst}, {true, ConnectionState::preparing, needsConnection},
                 {true, ConnectionState::repairing, needsConnection}}) {
            // clang-format on
            world.model().setAiEnhancedModeEnabled(aiMode);
            world.model().setConnectionState(kind);
            world.model().setAlertAction(AppAlertAction::installWireGuardTools);
            const qsizetype logs = state.logs().size();
            state.openAIToolLauncher(u"claude"_s, u"Claude"_s);
            QCOMPARE(state.alertMessage(), std::optional<QString>(alert));
            QCOMPARE(state.alertAction(), std::nullopt);
            QCOMPARE(state.logs().size(), logs);
        }
        QVERIFY(world.mac().invocations(u"osascript"_s).isEmpty());

        // Terminal gets the proxy environment of the AI entry and the command, shell-quoted.
        world.model().setConnectionState(ConnectionState::connected);
        world.model().setLocalAIProxyPort(19111);
        state.openAIToolLauncher(u"a'b\"c\\d"_s, u"Codex"_s);
        QCOMPARE(state.logs().first().message, u"已打开 Codex AI 代理启动器。"_s);
        QTRY_COMPARE_WITH_TIMEOUT(world.mac().terminalScripts().size(), 1, 10000);
        const QString script = world.mac().terminalScripts().first();
        QVERIFY2(script.contains(u"\nexport ALL_PROXY=socks5h://127.0.0.1:19111\n"_s) &&
                     script.contains(u"\n  'a'\\''b\"c\\d'\n"_s),
                 qPrintable(script));

        QVERIFY(QFile::remove(world.mac().path(u"/usr/bin/osascript"_s)));
        state.openAIToolLauncher(u"claude"_s, u"Claude"_s);
        QCOMPARE(state.logs().first().message, u"Claude 启动器打开失败："_s + state.alertMessage().value_or(u"-"_s));
    }

    void heartbeatFailuresAreCountedAndAPassResetsThem()
    {
        const TunnelHealthCheck a{false, deadEntry};
        const TunnelHealthCheck b{false, u"AI 专用入口 127.0.0.1:19110 OpenAI/Claude 保活失败。"_s};
        ScriptedProbe probe{{a, passed, a, a, b, passed}};
        OPEN_WORLD();
        world.heartbeatTimeScale = timeScale;
        world.healthProbe = probe.function();
        world.model().setConnectionState(ConnectionState::connected);
        state.toggleAIEnhancedMode(); // on while connected: the running tunnel has no AI entry to probe
        state.connection().startConnectionHeartbeat(placeholderEndpoints().first(), Device(), 0.0);
        QCOMPARE(state.connection().connectionHeartbeatIntervalSeconds(),
                 std::optional<int>(30)); // AI-enhanced mode: 30 s
        QTRY_VERIFY_WITH_TIMEOUT(probe.answered >= probe.verdicts.size(), 10000);
        state.connection().stopConnectionHeartbeat();
        QCOMPARE(state.connection().connectionHeartbeatIntervalSeconds(), std::nullopt);
        QVERIFY(!probe.probedAIEntry);
        // Without a session there is nothing to recover with: the counter keeps climbing and the line says so.
        QCOMPARE(heartbeatLines(state),
                 QStringList({"连接保活异常（1/2）：" + a.summary, "连接保活异常（1/2）：" + a.summary,
                              "连接保活异常（2/2）：" + a.summary, "连接保活异常（3/2）：" + b.summary}));
        QCOMPARE(state.connection().consecutiveHealthFailures(), 0);
        QVERIFY(state.connectionState().is(ConnectionState::connected) &&
                state.connection().autoRecoverySwitchCount() == 0);
        const int calls = probe.calls; // stopped means stopped
        QTest::qWait(400);
        QCOMPARE(probe.calls, calls);
    }

    void deadUpstreamRecoversToAnotherEndpoint()
    {
        TunnelFixtures::OwnedProcess upstream;
        const int upstreamPort = TunnelFixtures::freePort();
        upstream.start(u"/usr/bin/microsocks"_s, {"-i", "127.0.0.1", "-p", QString::number(upstreamPort)});
        QVERIFY(TunnelFixtures::eventually([&] { return TunnelFixtures::listening(upstreamPort); }));
        QJsonObject data = ConnectionWorld::demoDataSet({hk, jp});
        ConnectionWorld::leadUpstreamTo(data, hk, upstreamPort);
        OPEN_WORLD(data);
        QVERIFY(connectedToHongKong(world));
        QCOMPARE(state.connection().connectionHeartbeatIntervalSeconds(), std::optional<int>(60));
        const int hkPort = state.localProxyPort(); // 19090 unless another suite holds it
        const qint64 hkFailuresBefore = state.ranking().endpointQualityStats().value(hk).failedConnections;

        upstream.kill();
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(u"已自动切换到 日本 东京 01。"_s), 90000);
        const QString summary = u"系统代理入口 127.0.0.1:%1 外网保活失败。"_s.arg(hkPort);
        QCOMPARE(heartbeatLines(state),
                 (QStringList{"连接保活异常（1/2）：" + summary, "连接保活异常（2/2）：" + summary,
                              u"正在自动修复连接，并切换到更稳定的节点。"_s}));
        QVERIFY(state.connectionState().is(ConnectionState::connected) &&
                state.connection().autoRecoverySwitchCount() == 1);
        QCOMPARE(state.selectedEndpointId(), std::optional<QString>(jp));
        // The device list is refreshed after the switch is announced; the recovery ends after that.
        QTRY_VERIFY_WITH_TIMEOUT(!state.connection().autoRecoveryInProgress(), 10000);
        QCOMPARE(state.connection().connectionHeartbeatIntervalSeconds(), std::optional<int>(60)); // restarted
        QCOMPARE(state.ranking().endpointQualityStats().value(hk).failedConnections, hkFailuresBefore + 1);
        QCOMPARE(state.ranking().quickConnectCache().value().endpointId, jp);
        QCOMPARE(world.reports(hk, u"failed"_s).size(), 2);
        QCOMPARE(world.reports(hk, u"failed"_s).first()[u"errorMessage"_s].toString(), summary);

        // The new connection carries traffic, and its heartbeat passes.
        QVERIFY(!TunnelFixtures::curlThroughProxy(state.localProxyPort(), u"http://example.com/echo"_s).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(world.reports(jp, u"connected"_s).size() >= 2, 30000);
        QCOMPARE(heartbeatLines(state).size(), 3);
    }

    void aThirdRecoveryIsRefused()
    {
        ScriptedProbe failing{{{false, deadEntry}}}; // every recovery ends in a connection that fails again
        OPEN_WORLD(ConnectionWorld::demoDataSet({hk, jp}));
        QVERIFY(connectedToHongKong(world));
        world.healthProbe = failing.function();
        const QString limit = u"连接保活异常，但本次连接已达到自动切线次数上限，请手动刷新或切换节点。"_s;
        QTRY_VERIFY_WITH_TIMEOUT(world.logged(limit), 120000);
        // No switch is left: the connection ends as a failed connect does, and traffic goes direct again.
        QCOMPARE(state.connectionState(), ConnectionState::makeFailed(limit));
        QVERIFY(!state.connectedAt() && !state.connection().connectionHeartbeatIntervalSeconds());
        QCOMPARE(state.alertMessage(), std::optional<QString>(limit));
        QTRY_COMPARE_WITH_TIMEOUT(world.reports().last()[u"errorMessage"_s].toString(), limit, 30000);
        QVERIFY(!state.tunnel().activeMode() && !world.wifiSocks().enabled);
        QCOMPARE(state.connection().autoRecoverySwitchCount(), 2);
    }

    // Regression: a recovery under way must not bring back a connection the user has just ended.
    void aDisconnectDuringRecoveryIsFinal()
    {
        ScriptedProbe failing{{{false, deadEntry}}};
        OPEN_WORLD(ConnectionWorld::demoDataSet({hk, jp}));
        QVERIFY(connectedToHongKong(world));
        world.healthProbe = failing.function();
        QTRY_VERIFY_WITH_TIMEOUT(state.connectionState().is(ConnectionState::repairing), 30000);
        awaitTask(state.connection().disconnect());
        QTRY_VERIFY_WITH_TIMEOUT(!state.connection().autoRecoveryInProgress(), 60000);
        QTest::qWait(500);
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        QVERIFY(!state.connection().connectionHeartbeatIntervalSeconds() && !state.tunnel().activeMode());
        QVERIFY(!world.wifiSocks().enabled);
        QCOMPARE(world.crashReports().size(), 0);
    }

    void aLostSystemProxyThatCannotBeRestoredStopsTheConnection()
    {
        OPEN_WORLD(ConnectionWorld::demoDataSet({hk, jp}));
        QVERIFY(connectedToHongKong(world));
        const int reportsBefore = world.connectionReports().size();
        // Someone switched the proxy off, and the client may not switch it on again.
        world.mac().rejectAsUser(u"Wi-Fi"_s);
        world.mac().setPromptCancelled(true);
        for (const auto kind :
             {SimulatedMac::ProxyKind::Web, SimulatedMac::ProxyKind::SecureWeb, SimulatedMac::ProxyKind::Socks})
            world.mac().setProxy(u"Wi-Fi"_s, kind, {});

        QTRY_COMPARE_WITH_TIMEOUT(state.connectionState(), ConnectionState::makeFailed(lostProxy), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(state.connection().connectionHeartbeatIntervalSeconds(), std::nullopt, 10000);
        QCOMPARE(state.alertMessage(), std::optional<QString>(lostProxyAlert));
        QCOMPARE(state.currentConfigPath(), std::optional<QString>(u"系统代理未生效，Tovren 已停止当前连接状态。"_s));
        QVERIFY(!state.connectedAt() && !state.aiProxyReady());
        QCOMPARE(heartbeatLines(state), QStringList{"连接保活异常（1/2）：" + lostProxy}); // no recovery
        QCOMPARE(state.connection().autoRecoverySwitchCount(), 0);
        QCOMPARE(world.connectionReports().size(), reportsBefore + 1);
        QCOMPARE(world.reports(hk, u"failed"_s).size(), 1);
    }

    void aRecoveryThatOnlyFindsWireGuardFails()
    {
        ScriptedProbe failing{{{false, deadEntry}}};
        OPEN_WORLD(ConnectionWorld::demoDataSet({hk, u"ep_de_wg"_s}));
        QVERIFY(connectedToHongKong(world));
        world.healthProbe = failing.function();
        const QString reason = u"自动恢复需要可运行的 sing-box 代理内核。"_s;
        const QString message = u"已尝试 德国 WireGuard，"_s + reason;
        QTRY_COMPARE_WITH_TIMEOUT(state.connectionState(), ConnectionState::makeFailed("自动恢复失败：" + message),
                                  90000);
        QTRY_VERIFY_WITH_TIMEOUT(!state.connection().autoRecoveryInProgress(), 10000);
        QCOMPARE(state.alertMessage(), std::optional<QString>(message));
        QCOMPARE(state.connection().connectionHeartbeatIntervalSeconds(), std::nullopt); // stays stopped
        QCOMPARE(world.reports(u"ep_de_wg"_s, u"failed"_s).size(), 1);
        QCOMPARE(world.crashReports().size(), 1);
        const QJsonObject crash = world.crashReports().first()[u"report"_s].toObject();
        QCOMPARE(crash[u"crashType"_s].toString() + u' ' + crash[u"reason"_s].toString(),
                 "macos-auto-recovery " + message);
    }
};

QTEST_GUILESS_MAIN(TestLifecycle)
#include "test_lifecycle.moc"
