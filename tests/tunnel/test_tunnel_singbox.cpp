// The sing-box path on the simulated Mac: the stand-in core, the simulated system proxy, and local servers
// standing for the probe targets and the rest of the internet. Binds the client's real loopback ports.
#include "TunnelFixtures.h"

#include "tunnel/ConnectivityRules.h"
#include "tunnel/TunnelCoordinator.h"

#include "core/ProductPaths.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/SingBoxRuntimeCoordinator.h"

#include "SimulatedMac.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace TunnelFixtures;
using Kind = SimulatedMac::ProxyKind;

namespace {

const QList<Kind> allKinds{Kind::Web, Kind::SecureWeb, Kind::Socks};

const QString noteConfigRemoved = QStringLiteral("本地临时协议配置已清理。");
const QString noteProxyPassed = QStringLiteral("本地代理连通性检测通过。");
const QString noteAIPassed = QStringLiteral("AI 增强模式连通性检测通过。");
const QString noteSystemProxyMode = QStringLiteral("macOS 系统代理模式已启用。");
const QString noteDomesticDirect = QStringLiteral("国内 App 图片与 CDN 已启用直连保护。");
const QString noteWiFiEnabled = QStringLiteral("已为 Wi-Fi 启用 HTTP/HTTPS/SOCKS 系统代理。");
const QString noteBypass = QStringLiteral("国内图片与 CDN 域名已加入系统代理直连保护。");

bool pointsAt(const SimulatedMac &mac, const QString &service, int port)
{
    for (const Kind kind : allKinds) {
        const SimulatedMac::ProxySetting setting = mac.proxy(service, kind);
        if (!setting.enabled || setting.server != QLatin1String("127.0.0.1") || setting.port != port)
            return false;
    }
    return true;
}

bool anyProxyOn(const SimulatedMac &mac, const QString &service)
{
    for (const Kind kind : allKinds) {
        if (mac.proxy(service, kind).enabled)
            return true;
    }
    return false;
}

void loseSystemProxy(SimulatedMac &mac)
{
    for (const Kind kind : allKinds)
        mac.setProxy(QStringLiteral("Wi-Fi"), kind, {});
}

// Binds a loopback port for the life of the object, as another program would.
class PortHolder final
{
public:
    explicit PortHolder(int port) { m_ok = m_server.listen(QHostAddress::LocalHost, static_cast<quint16>(port)); }
    bool isHolding() const { return m_ok; }

private:
    QTcpServer m_server;
    bool m_ok = false;
};

QString activeJson()
{
    return ProductPaths::protocolsDirectory() + QStringLiteral("/tovren-active.json");
}

} // namespace

class TestTunnelSingBox : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<SimulatedMac> m_mac;
    std::unique_ptr<ProbeWorld> m_world;
    std::unique_ptr<TunnelCoordinator> m_tunnel;

    TunnelActivation connect(bool ai, OutboundMode mode = OutboundMode::smart)
    {
        return awaitTask(m_tunnel->connect(m_world->singBoxConfiguration(), Endpoint{}, mode, ai, false));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_mac = std::make_unique<SimulatedMac>();
        QVERIFY2(m_mac->isValid(), qPrintable(m_mac->errorString()));
        m_world = std::make_unique<ProbeWorld>();
        QVERIFY2(m_world->isValid(), qPrintable(m_world->errorString()));
        m_tunnel = std::make_unique<TunnelCoordinator>();
    }

    void cleanup()
    {
        // Whatever a test left running ends here, by the client's own clean-up and then by its handles.
        if (m_tunnel && m_mac && m_mac->isValid())
            awaitTask(m_tunnel->cleanupRuntimeArtifacts(false));
        m_tunnel.reset();
        QVERIFY(eventually([] { return !listening(19090) && !listening(19110); }));
        m_world.reset();
        m_mac.reset();
        m_home.reset();
    }

    void connectRunsTheCoreAndPointsTheSystemProxyAtIt()
    {
        // Another VPN's default route: the start warns about it last.
        m_mac->setRoutingTableText(QStringLiteral("Routing tables\n\nInternet:\n"
                                                  "Destination        Gateway            Flags     Netif Expire\n"
                                                  "default            192.168.1.1        UGScg       en0\n"
                                                  "default            link#22            UCSIg     utun5\n"));
        const TunnelActivation activation = connect(false);

        QCOMPARE(activation.mode, TunnelActivation::Mode::singBox);
        QCOMPARE(activation.proxyPort, 19090);
        QCOMPARE(activation.recoveryNotes,
                 (QStringList{noteConfigRemoved, noteProxyPassed, noteSystemProxyMode, noteDomesticDirect,
                              noteWiFiEnabled, noteBypass,
                              QStringLiteral("检测到可能存在其它 VPN/TUN 路由：default            link#22            "
                                             "UCSIg     utun5")}));
        // The core read its configuration; the credentials are gone from disk.
        QCOMPARE(activation.configURL, activeJson());
        QVERIFY(!QFileInfo::exists(activation.configURL));

        const std::optional<qint64> core = m_tunnel->singBox().managedProcessId();
        QVERIFY(core && processAlive(*core));
        QVERIFY(pointsAt(*m_mac, QStringLiteral("Wi-Fi"), 19090));
        QCOMPARE(m_tunnel->activeMode(), TunnelActivation::Mode::singBox);
        QCOMPARE(m_tunnel->activeProxyPort(), 19090);
        QCOMPARE(m_tunnel->activeAIProxyPort(), std::nullopt);

        // Traffic leaves through the port to the local "internet", through the template's upstream.
        QCOMPARE(curlThroughProxy(19090, QStringLiteral("http://news.example/echo")), QByteArray("internet"));
        QVERIFY(m_world->secure().requests().contains(QStringLiteral("www.google.com/generate_204")));
        const QList<SimulatedMac::Invocation> curls = m_mac->invocations(QStringLiteral("curl"));
        QVERIFY(!curls.isEmpty());
        QCOMPARE(curls.first().arguments,
                 Connectivity::curlProbeArguments(19090, QStringLiteral("https://www.google.com/generate_204")));

        awaitTask(m_tunnel->disconnect());
        QVERIFY(eventually([] { return !listening(19090); }));
        QVERIFY(!anyProxyOn(*m_mac, QStringLiteral("Wi-Fi")));
        QCOMPARE(m_tunnel->activeConfigURL(), std::nullopt);
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);

        // A second disconnect finds nothing to undo and touches nothing.
        m_mac->clearRecords();
        awaitTask(m_tunnel->disconnect());
        QVERIFY(m_mac->invocations().isEmpty());
    }

    void busyPortsMoveTheEntryAndAIModeAddsItsOwn()
    {
        PortHolder first(19090);
        PortHolder second(19091);
        QVERIFY(first.isHolding() && second.isHolding());

        const TunnelActivation activation = connect(true);

        QCOMPARE(activation.proxyPort, 19092);
        QCOMPARE(activation.recoveryNotes,
                 (QStringList{noteConfigRemoved, noteProxyPassed, noteAIPassed, noteSystemProxyMode, noteDomesticDirect,
                              noteWiFiEnabled, noteBypass,
                              QStringLiteral("默认端口被占用，已自动切换本地代理端口为 19092。"),
                              QStringLiteral("AI 专用代理入口已启用：127.0.0.1:19110。")}));
        QVERIFY(listening(19092));
        QVERIFY(listening(19110));
        QVERIFY(pointsAt(*m_mac, QStringLiteral("Wi-Fi"), 19092));
        QCOMPARE(m_tunnel->activeProxyPort(), 19092);
        QCOMPARE(m_tunnel->activeAIProxyPort(), 19110);
        QVERIFY(m_world->secure().requests().contains(QStringLiteral("chatgpt.com/")));
        // The AI entry reaches the AI services through the tunnel.
        QCOMPARE(curlThroughProxy(19110, QStringLiteral("http://api.openai.com/echo")), QByteArray("internet"));
    }

    void aPortHeldOutOfSightMovesTheEntryOnce()
    {
        // lsof run as the user does not list the sockets of root or other users: the held port looks free.
        PortHolder hidden(19090);
        QVERIFY(hidden.isHolding());
        QVERIFY(writeScript(m_mac->path(QStringLiteral("/usr/sbin/lsof")), "exit 1\n"));

        QCOMPARE(connect(false).proxyPort, 19091);
        QVERIFY(pointsAt(*m_mac, QStringLiteral("Wi-Fi"), 19091));
    }

    void aiPortHeldByAnotherProgramStopsBeforeAnythingStarts()
    {
        PortHolder ai(19110);
        QVERIFY(ai.isHolding());
        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(m_world->singBoxConfiguration(), Endpoint{}, OutboundMode::smart, true, false));
        QCOMPARE(error.description(), QStringLiteral("AI 专用代理端口 19110 已被占用，请退出占用该端口的程序后重试。"));
        QVERIFY(!m_tunnel->singBox().managedProcessId());
        QVERIFY(!QFileInfo::exists(activeJson()));
    }

    void unconfirmedSystemProxyRollsBack()
    {
        // The system reads its proxy dictionary from Ethernet, which refuses every change, while Wi-Fi accepts.
        m_mac->setServices({QStringLiteral("Wi-Fi"), QStringLiteral("Ethernet")}, QStringLiteral("Ethernet"));
        m_mac->rejectAsUser(QStringLiteral("Ethernet"));
        m_mac->setPromptCancelled(true);

        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(m_world->singBoxConfiguration(), Endpoint{}, OutboundMode::smart, false, false));

        QCOMPARE(error.description(), QStringLiteral("系统代理设置未生效，已自动回滚。"));
        QVERIFY(!m_tunnel->singBox().managedProcessId());
        QVERIFY(eventually([] { return !listening(19090); }));
        QVERIFY(!anyProxyOn(*m_mac, QStringLiteral("Wi-Fi")));
        // Enabled once by the start and once more by the confirmation before the rollback switched it off.
        QVERIFY(m_mac->invocations(QStringLiteral("networksetup")).size() > 14);
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        QCOMPARE(m_tunnel->activeConfigURL(), activeJson());
    }

    void failedValidationLeavesTheRestToTheCallersCleanup()
    {
        m_world->secure().setStatus(QStringLiteral("*/generate_204"), 500);
        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(m_world->singBoxConfiguration(), Endpoint{}, OutboundMode::smart, false, false));
        QCOMPARE(error.description(), QStringLiteral("本地代理已启动，但外网连通性检测失败，已自动回滚。"));
        // Two passes of both web probes.
        QCOMPARE(m_world->secure().requests(),
                 (QStringList{"www.google.com/generate_204", "www.gstatic.com/generate_204",
                              "www.google.com/generate_204", "www.gstatic.com/generate_204"}));
        QVERIFY(listening(19090));
        QVERIFY(!anyProxyOn(*m_mac, QStringLiteral("Wi-Fi")));

        awaitTask(m_tunnel->cleanupRuntimeArtifacts(true));
        QVERIFY(eventually([] { return !listening(19090); }));
        QVERIFY(!QFileInfo::exists(activeJson()));
        QCOMPARE(m_tunnel->activeConfigURL(), std::nullopt);
        QCOMPARE(m_mac->promptCount(), 0);
    }

    void healthCheckRepairsTheSystemProxyAndProbesBothEntries()
    {
        connect(true);
        QCOMPARE(awaitTask(m_tunnel->connectionHealthCheck(19090, true)),
                 (TunnelHealthCheck{true, QStringLiteral("系统代理与 AI 专用入口保活通过。")}));

        loseSystemProxy(*m_mac);
        QCOMPARE(awaitTask(m_tunnel->connectionHealthCheck(19090, false)),
                 (TunnelHealthCheck{true, QStringLiteral("系统代理保活通过。 检测到系统代理曾丢失，") +
                                              noteWiFiEnabled + u' ' + noteBypass}));
        QVERIFY(pointsAt(*m_mac, QStringLiteral("Wi-Fi"), 19090));

        for (const char *target : {"chatgpt.com/", "api.openai.com/v1/models", "claude.ai/", "api.anthropic.com/"})
            m_world->secure().setStatus(target, 500);
        QCOMPARE(awaitTask(m_tunnel->connectionHealthCheck(19090, true)),
                 (TunnelHealthCheck{false, QStringLiteral("AI 专用入口 127.0.0.1:19110 OpenAI/Claude 保活失败。")}));

        m_world->secure().setStatus(QStringLiteral("*/generate_204"), 503);
        QCOMPARE(awaitTask(m_tunnel->connectionHealthCheck(19090, true)),
                 (TunnelHealthCheck{false, QStringLiteral("系统代理入口 127.0.0.1:19090 外网保活失败。")}));

        loseSystemProxy(*m_mac);
        m_mac->rejectAsUser(QStringLiteral("Wi-Fi"));
        m_mac->setPromptCancelled(true);
        QCOMPARE(awaitTask(m_tunnel->connectionHealthCheck(19090, true)),
                 (TunnelHealthCheck{false, QStringLiteral("系统代理未生效，已尝试重新设置但仍为空。")}));
    }

    void cleanupRemovesWhatACrashedRunLeft()
    {
        // A core of the crashed run, on both entries, with its configuration, and the system proxy still on it.
        QFile config(activeJson());
        QVERIFY(QDir().mkpath(ProductPaths::protocolsDirectory()));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":19090},
                                     {"type":"mixed","listen":"127.0.0.1","listen_port":19110}],
                         "outbounds":[{"type":"direct","tag":"direct"}]})");
        config.close();
        OwnedProcess core;
        core.start(m_mac->path(QStringLiteral("/opt/homebrew/bin/sing-box")), {"run", "-c", activeJson()});
        QVERIFY(core.waitForStarted());
        QVERIFY(eventually([] { return listening(19090) && listening(19110); }));
        for (const Kind kind : allKinds)
            m_mac->setProxy(QStringLiteral("Wi-Fi"), kind, {true, QStringLiteral("127.0.0.1"), 19090});

        TunnelCoordinator afterRestart;
        awaitTask(afterRestart.cleanupRuntimeArtifacts(true));

        QVERIFY(eventually([&core] { return core.state() == QProcess::NotRunning; }));
        QVERIFY(!listening(19090));
        QVERIFY(!listening(19110));
        QVERIFY(!anyProxyOn(*m_mac, QStringLiteral("Wi-Fi")));
        QVERIFY(!QFileInfo::exists(activeJson()));
        QCOMPARE(m_mac->promptCount(), 0);
        QCOMPARE(afterRestart.activeConfigURL(), std::nullopt);
    }

    // The pid file is old and its number now names some other program: nothing of it is touched.
    void cleanupLeavesAnUnrelatedProgramNamedByAStalePidFile()
    {
        OwnedProcess unrelated;
        unrelated.start(QStringLiteral("/bin/sleep"), {"30"});
        QVERIFY(unrelated.waitForStarted());
        writePidFile(unrelated.processId());
        const QFile pidFile(ProductPaths::singBoxDirectory() + QStringLiteral("/sing-box.pid"));
        QVERIFY(pidFile.exists());

        awaitTask(m_tunnel->cleanupRuntimeArtifacts(true));

        QTest::qWait(300);
        QCOMPARE(unrelated.state(), QProcess::Running);
        QVERIFY(!pidFile.exists());
        QCOMPARE(m_mac->promptCount(), 0);
    }

    // The operations take turns: one that arrives while another runs waits for it to end.
    void operationsRunOneAfterAnother()
    {
        QStringList finished;
        const auto track = [&finished](QCoro::Task<> task, QString name) -> QCoro::Task<> {
            co_await std::move(task);
            finished << name;
        };
        const auto connectTask = [this]() -> QCoro::Task<> {
            co_await m_tunnel->connect(m_world->singBoxConfiguration(), Endpoint{}, OutboundMode::smart, false, false);
        };

        // A connect that arrives during the start-up clean-up waits for it and ends connected.
        auto cleanup = track(m_tunnel->cleanupRuntimeArtifacts(true), QStringLiteral("cleanup"));
        auto connected = track(connectTask(), QStringLiteral("connect"));
        awaitTask(std::move(connected));
        awaitTask(std::move(cleanup));
        QCOMPARE(finished, (QStringList{"cleanup", "connect"}));
        QVERIFY(listening(19090));
        QVERIFY(pointsAt(*m_mac, QStringLiteral("Wi-Fi"), 19090));

        // A disconnect issued right after a connect stops what that connect started.
        finished.clear();
        awaitTask(m_tunnel->disconnect());
        QVERIFY(eventually([] { return !listening(19090); }));
        auto again = track(connectTask(), QStringLiteral("connect"));
        auto stop = track(m_tunnel->disconnect(), QStringLiteral("disconnect"));
        awaitTask(std::move(stop));
        awaitTask(std::move(again));
        QCOMPARE(finished, (QStringList{"connect", "disconnect"}));
        QVERIFY(eventually([] { return !listening(19090); }));
        QVERIFY(!anyProxyOn(*m_mac, QStringLiteral("Wi-Fi")));
    }
};

QTEST_GUILESS_MAIN(TestTunnelSingBox)
#include "test_tunnel_singbox.moc"
