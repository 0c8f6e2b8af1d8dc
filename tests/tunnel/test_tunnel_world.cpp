// The tunnel coordinator on the simulated Mac: the sing-box path with the stand-in core and local servers standing
// for the probe targets and the internet, the probes with a scripted curl, the WireGuard path, and the installation
// of its components from Homebrew. Binds the client's real loopback ports.
#include "testkit/TunnelFixtures.h"

#include "base/ProductPaths.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "state/AppState.h"
#include "tunnel/ConnectivityRules.h"
#include "tunnel/TunnelCoordinator.h"
#include "tunnel/WireGuardCommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace TunnelFixtures;
using Kind = SimulatedMac::ProxyKind;

namespace {

const QString wifi = QStringLiteral("Wi-Fi");
const QString noteWiFi = QStringLiteral("已为 Wi-Fi 启用 HTTP/HTTPS/SOCKS 系统代理。");
const QString noteBypass = QStringLiteral("国内图片与 CDN 域名已加入系统代理直连保护。");

QString protocolFile(const char *name)
{
    return ProductPaths::protocolsDirectory() + u'/' + QLatin1String(name);
}

} // namespace

class TestTunnelWorld : public QObject
{
    Q_OBJECT

    std::optional<TestHome> m_home;
    std::optional<SimulatedMac> m_mac;
    std::optional<ProbeWorld> m_world;
    std::optional<TunnelCoordinator> m_tunnel;

    SimulatedMac &mac(SimulatedMac::Options options = {})
    {
        if (!m_mac) {
            m_mac.emplace(options);
            m_tunnel.emplace(); // after the Mac: it finds the tools below the Mac's root
        }
        return *m_mac;
    }
    ProbeWorld &world()
    {
        if (!m_world)
            m_world.emplace();
        return *m_world;
    }
    QCoro::Task<TunnelActivation> connect(const ProtocolConfiguration &configuration, bool ai = false,
                                          OutboundMode mode = OutboundMode::smart)
    {
        return m_tunnel->connect(configuration, Endpoint{}, mode, ai, false);
    }
    bool proxyAt(int port)
    {
        for (const Kind kind : {Kind::Web, Kind::SecureWeb, Kind::Socks}) {
            const SimulatedMac::ProxySetting setting = mac().proxy(wifi, kind);
            if (setting.enabled != (port != 0) || (port && setting.port != port))
                return false;
        }
        return true;
    }
    QStringList prompts()
    {
        QStringList texts;
        for (const SimulatedMac::PromptRecord &prompt : mac().prompts())
            texts << prompt.command;
        return texts;
    }
    QString wgQuick(const QString &action)
    {
        return WireGuardCommands::wgQuickCommand("/opt/homebrew/bin/wg-quick", "/bin/bash", action,
                                                 protocolFile("tovren-active.conf"));
    }
    void startWireGuardMac(bool tools)
    {
        SimulatedMac::Options options;
        options.wireGuardTools = tools;
        QVERIFY2(mac(options).isValid(), qPrintable(mac().errorString()));
    }

private Q_SLOTS:
    void init()
    {
        m_home.emplace();
        // The WireGuard path's direct probe.
        qputenv(
            "TOVREN_PROBE_TARGETS",
            QStringLiteral("direct=http://127.0.0.1:%1/generate_204").arg(world().internet().serverPort()).toUtf8());
    }
    void cleanup()
    {
        // Whatever a test left running ends here, by the client's own clean-up and then by its handles.
        if (m_tunnel && m_mac->isValid())
            awaitTask(m_tunnel->cleanupRuntimeArtifacts(false));
        qunsetenv("TOVREN_PROBE_TARGETS");
        m_tunnel.reset();
        QVERIFY(eventually([] { return !listening(19090) && !listening(19110); }));
        m_world.reset();
        m_mac.reset();
        m_home.reset();
    }

    // Busy ports move the entry; AI mode adds its own; the start warns about another VPN's route last. While it
    // runs, the health check repairs a lost system proxy and names the entry that fails.
    void singBoxConnectsChecksAndDisconnects()
    {
        QVERIFY2(mac().isValid() && world().isValid(), qPrintable(mac().errorString() + world().errorString()));
        QTcpServer first, second;
        QVERIFY(first.listen(QHostAddress::LocalHost, 19090) && second.listen(QHostAddress::LocalHost, 19091));
        mac().setRoutingTableText("Internet:\nDestination  Gateway  Flags  Netif\ndefault  192.168.1.1  UGScg  en0\n"
                                  "default  link#22  UCSIg  utun5\n");
        const TunnelActivation activation = awaitTask(connect(world().singBoxConfiguration(), true));
        QCOMPARE(activation.proxyPort, 19092);
        QCOMPARE(
            activation.recoveryNotes,
            (QStringList{"本地临时协议配置已清理。", "本地代理连通性检测通过。", "AI 增强模式连通性检测通过。",
                         "macOS 系统代理模式已启用。", "国内 App 图片与 CDN 已启用直连保护。", noteWiFi, noteBypass,
                         "默认端口被占用，已自动切换本地代理端口为 19092。", "AI 专用代理入口已启用：127.0.0.1:19110。",
                         "检测到可能存在其它 VPN/TUN 路由：default  link#22  UCSIg  utun5"}));
        // The core read its configuration; the credentials are gone from disk.
        QCOMPARE(activation.configURL, protocolFile("tovren-active.json"));
        QVERIFY(!QFileInfo::exists(activation.configURL));
        QVERIFY(proxyAt(19092));
        QCOMPARE(m_tunnel->activeAIProxyPort(), 19110);
        QCOMPARE(mac().invocations("curl").first().arguments,
                 Connectivity::curlProbeArguments(19092, "https://www.google.com/generate_204"));
        QVERIFY(world().secure().requests().contains("chatgpt.com/"));
        QCOMPARE(curlThroughProxy(19092, "http://news.example/echo"), QByteArray("internet"));
        QCOMPARE(curlThroughProxy(19110, "http://api.openai.com/echo"), QByteArray("internet"));

        const auto check = [this](bool ai) { return awaitTask(m_tunnel->connectionHealthCheck(19092, ai)); };
        for (const Kind kind : {Kind::Web, Kind::SecureWeb, Kind::Socks})
            mac().setProxy(wifi, kind, {});
        QCOMPARE(check(false),
                 (TunnelHealthCheck{true, "系统代理保活通过。 检测到系统代理曾丢失，" + noteWiFi + u' ' + noteBypass}));
        QVERIFY(proxyAt(19092));
        for (const char *target : {"chatgpt.com/", "api.openai.com/v1/models", "claude.ai/", "api.anthropic.com/"})
            world().secure().setStatus(target, 500);
        QCOMPARE(check(true), (TunnelHealthCheck{false, "AI 专用入口 127.0.0.1:19110 OpenAI/Claude 保活失败。"}));
        world().secure().setStatus("*/generate_204", 503);
        QCOMPARE(check(true), (TunnelHealthCheck{false, "系统代理入口 127.0.0.1:19092 外网保活失败。"}));

        awaitTask(m_tunnel->disconnect());
        QVERIFY(eventually([] { return !listening(19092) && !listening(19110); }));
        QVERIFY(proxyAt(0));
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        mac().clearRecords(); // a second disconnect finds nothing to undo
        awaitTask(m_tunnel->disconnect());
        QVERIFY(mac().invocations().isEmpty());
    }

    // A system proxy that does not read back rolls everything back; a start whose probes fail leaves the core
    // to the caller's clean-up.
    void singBoxFailures()
    {
        QVERIFY2(mac().isValid() && world().isValid(), qPrintable(mac().errorString() + world().errorString()));
        mac().setServices({wifi, QStringLiteral("Ethernet")}, QStringLiteral("Ethernet"));
        mac().rejectAsUser(QStringLiteral("Ethernet"));
        mac().setPromptCancelled(true);
        auto error = failureOf<TunnelCoordinatorError>(connect(world().singBoxConfiguration()));
        QCOMPARE(error.description(), QStringLiteral("系统代理设置未生效，已自动回滚。"));
        QVERIFY(!m_tunnel->singBox().managedProcessId());
        QVERIFY(eventually([] { return !listening(19090); }) && proxyAt(0));

        mac().setServices(QStringList{wifi});
        world().secure().setStatus("*/generate_204", 500);
        const qsizetype before = world().secure().requests().size();
        error = failureOf<TunnelCoordinatorError>(connect(world().singBoxConfiguration()));
        QCOMPARE(error.description(), QStringLiteral("本地代理已启动，但外网连通性检测失败，已自动回滚。"));
        QCOMPARE(world().secure().requests().size() - before, 4); // two passes of both web probes
        QVERIFY(listening(19090) && proxyAt(0));
        awaitTask(m_tunnel->cleanupRuntimeArtifacts(true));
        QVERIFY(eventually([] { return !listening(19090); }));
        QVERIFY(!QFileInfo::exists(protocolFile("tovren-active.json")));
        QCOMPARE(m_tunnel->activeConfigURL(), std::nullopt);
    }

    // The operations take turns: a connect during the start-up clean-up waits for it, and a disconnect issued
    // right after a connect stops what that connect started.
    void operationsRunOneAfterAnother()
    {
        QVERIFY(mac().isValid() && world().isValid());
        QStringList finished;
        const auto track = [&finished](QCoro::Task<> task, QString name) -> QCoro::Task<> {
            co_await std::move(task);
            finished << name;
        };
        const auto connected = [this]() -> QCoro::Task<> { co_await connect(world().singBoxConfiguration()); };
        auto cleanup = track(m_tunnel->cleanupRuntimeArtifacts(true), "cleanup");
        auto start = track(connected(), "connect");
        auto stop = track(m_tunnel->disconnect(), "disconnect");
        awaitTask(std::move(stop));
        awaitTask(std::move(start));
        awaitTask(std::move(cleanup));
        QCOMPARE(finished, (QStringList{"cleanup", "connect", "disconnect"}));
        QVERIFY(eventually([] { return !listening(19090); }) && proxyAt(0));
    }

    // With curl scripted: each web and AI target is tried in order until one answers; the AI validation makes
    // four passes before it gives up; a status printed before a failure does not count.
    void probesTryTheTargetsInOrder()
    {
        QVERIFY(mac().isValid());
        const QString log = m_home->path() + "/curl.log";
        const auto probe = [&](const QStringList &answers) {
            QFile::remove(log);
            QByteArray script = "for url; do :; done\necho \"$url\" >> '" + log.toUtf8() + "'\ncase \"$url\" in\n";
            for (const QString &answer : answers)
                script += "  '" + answer.section(u' ', 0, 0).toUtf8() + "') printf " +
                          answer.section(u' ', 1, 1).toUtf8() + "; exit " + answer.section(u' ', 2, 2).toUtf8() +
                          ";;\n";
            QVERIFY(writeScript(mac().path("/usr/bin/curl"), script + "  *) printf 000; exit 7;;\nesac\n"));
        };
        const auto probed = [&] {
            QFile file(log);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).count(u'\n') : 0;
        };
        const QString google = "https://www.google.com/generate_204", gstatic = "https://www.gstatic.com/generate_204";
        const QString chatGPT = "https://chatgpt.com/", openAI = "https://api.openai.com/v1/models";
        const QString claude = "https://claude.ai/", anthropic = "https://api.anthropic.com/";
        const auto web = [this] { return awaitTask(m_tunnel->proxyWebConnectivityAvailable(19090)); };
        const auto ai = [this] { return awaitTask(m_tunnel->aiProxyConnectivityAvailable(19110)); };
        probe({google + " 204 0", chatGPT + " 401 0"}); // a key refusal still answered through the tunnel
        QVERIFY(web() && ai());
        QCOMPARE(probed(), 2);
        probe({google + " 500 0", gstatic + " 302 0", chatGPT + " 500 0", openAI + " 404 0"});
        QVERIFY(web() && ai());
        QCOMPARE(probed(), 4);
        probe({google + " 404 0", gstatic + " 404 0", anthropic + " 404 0"});
        QVERIFY(!web() && ai());
        QCOMPARE(probed(), 6);
        probe({google + " 204 28"});
        QCOMPARE(awaitTask(m_tunnel->proxyHTTPStatus(19090, google)), 0);
        probe({chatGPT + " 500 0"});
        QCOMPARE(failureOf<TunnelCoordinatorError>(m_tunnel->validateAIProxyConnection(19110)).description(),
                 "AI 增强模式已启动，但 OpenAI/Claude 连通性检测未通过，正在切换其他节点。");
        QCOMPARE(probed(), 16);
        probe({claude + " 403 0"});
        QCOMPARE(awaitTask(m_tunnel->validateAIProxyConnection(19110)), QStringList{"AI 增强模式连通性检测通过。"});
        QCOMPARE(probed(), 3);
    }

    // Every port taken: the preferred one, for the clean-up to free; the user's own proxy still on is a warning.
    void portChoiceAndWarnings()
    {
        QVERIFY(mac().isValid());
        std::vector<std::unique_ptr<QTcpServer>> holders;
        for (int port = 19090; port <= 19109; ++port) {
            holders.push_back(std::make_unique<QTcpServer>());
            QVERIFY(holders.back()->listen(QHostAddress::LocalHost, static_cast<quint16>(port)));
        }
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19090);
        holders.back().reset();
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19109);

        mac().setProxy(wifi, Kind::SecureWeb, {true, "10.0.0.2", 3128});
        const QString warning = "检测到系统 HTTP/HTTPS/SOCKS 代理仍处于开启状态，可能影响流量归属。";
        QCOMPARE(awaitTask(m_tunnel->thirdPartyNetworkWarnings(true)), QStringList{warning});
        QCOMPARE(awaitTask(m_tunnel->thirdPartyNetworkWarnings(false)), QStringList());
    }

    // Without wg-quick the configuration is saved, private, and shown; older per-endpoint files go.
    void wireGuardWithoutToolsIsExported()
    {
        startWireGuardMac(false);
        QVERIFY(QDir().mkpath(ProductPaths::protocolsDirectory()));
        for (const char *name : {"tovren-ep_jp_01.json", "tovren-ep_de_wg.conf", "notes.txt"})
            QVERIFY(QFile(protocolFile(name)).open(QIODevice::WriteOnly));
        const QString conf = protocolFile("tovren-active.conf");
        QCOMPARE(awaitTask(connect(wireGuardConfiguration(), false, OutboundMode::enhanced)),
                 (TunnelActivation{TunnelActivation::Mode::exported, conf, std::nullopt, {}}));
        QFile saved(conf);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()),
                 TunnelCoordinator::preparedWireGuardConfig(wireGuardText(), OutboundMode::enhanced));
        QCOMPARE(saved.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QCOMPARE(QDir(ProductPaths::protocolsDirectory()).entryList(QDir::Files),
                 (QStringList{"notes.txt", "tovren-active.conf"}));
        QCOMPARE(mac().invocations("open").first().arguments, (QStringList{"-R", conf}));
        awaitTask(m_tunnel->disconnect());
        QVERIFY(QFileInfo::exists(conf));
        QCOMPARE(mac().promptCount(), 0);
    }

    // A leftover interface is repaired once; a dismissed prompt on the way down keeps the state for a retry;
    // the clean-up takes the tunnel down only when it may ask.
    void wireGuardUpRepairAndDown()
    {
        startWireGuardMac(true);
        mac().queueWgQuickFailure("up", "Unable to create utun interface");
        const TunnelActivation activation = awaitTask(connect(wireGuardConfiguration()));
        QCOMPARE(activation.mode, TunnelActivation::Mode::wgQuick);
        QCOMPARE(activation.recoveryNotes, (QStringList{"检测到旧连接残留，正在自动清理。", "旧连接状态已修复。"}));
        QCOMPARE(prompts(),
                 (QStringList{wgQuick("down"), wgQuick("up"),
                              WireGuardCommands::repairScript(protocolFile("tovren-active.conf")), wgQuick("up")}));
        QCOMPARE(world().internet().requests(), QStringList{"127.0.0.1/generate_204"});
        QVERIFY(awaitTask(m_tunnel->hasStaleInterface("ep_de_wg")));

        mac().setPromptCancelled(true);
        QVERIFY(failureOf<TunnelCoordinatorError>(m_tunnel->disconnect()).description().contains("User canceled"));
        QCOMPARE(m_tunnel->activeMode(), TunnelActivation::Mode::wgQuick);
        mac().setPromptCancelled(false);
        awaitTask(m_tunnel->disconnect());
        QVERIFY(mac().wireGuardTunnels().isEmpty());
        QCOMPARE(prompts().last(), wgQuick("down"));
        const int count = mac().promptCount();
        awaitTask(m_tunnel->disconnect());
        QCOMPARE(mac().promptCount(), count);

        for (const bool allowed : {true, false}) {
            awaitTask(connect(wireGuardConfiguration()));
            awaitTask(m_tunnel->cleanupRuntimeArtifacts(allowed));
            QCOMPARE(mac().wireGuardTunnels().isEmpty(), allowed);
            QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        }
    }

    void wireGuardFailures_data()
    {
        QTest::addColumn<QStringList>("upFailures");
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("prompts");
        QTest::newRow("version mismatch")
            << QStringList{"wg-quick: Version mismatch: bash 3 detected"} << QString()
            << "连接组件版本不匹配，请点击“一键安装连接组件”更新 Bash 和 WireGuard Tools。" << 2;
        QTest::newRow("broken after the repair") << QStringList{"Unable to create utun", "Unable to create utun"}
                                                 << QString() << "Unable to create utun" << 4;
        QTest::newRow("prompt dismissed") << QStringList() << "cancel"
                                          << "User canceled." << 2;
        QTest::newRow("no traffic") << QStringList() << "probe"
                                    << "WireGuard 已启动，但外网连通性检测失败，已自动回滚。" << 3;
        QTest::newRow("no interface") << QStringList() << "ifconfig"
                                      << "协议内核已启动，但未检测到可用 TUN 接口。" << 3;
        QTest::newRow("no text") << QStringList() << "text"
                                 << "" << 0;
    }
    void wireGuardFailures()
    {
        QFETCH(QStringList, upFailures);
        QFETCH(QString, breakage);
        QFETCH(QString, message);
        QFETCH(int, prompts);
        startWireGuardMac(true);
        for (const QString &failure : upFailures)
            mac().queueWgQuickFailure("up", failure);
        mac().setPromptCancelled(breakage == "cancel");
        if (breakage == "probe")
            qputenv("TOVREN_PROBE_TARGETS", QStringLiteral("direct=http://127.0.0.1:%1/").arg(freePort()).toUtf8());
        if (breakage == "ifconfig")
            QVERIFY(QFile::remove(mac().path("/sbin/ifconfig")));
        ProtocolConfiguration configuration = wireGuardConfiguration();
        if (breakage == "text")
            configuration.wireGuardConfigText.reset();
        const auto error = failureOf<TunnelCoordinatorError>(connect(configuration));
        QVERIFY2(error.description().contains(message), qPrintable(error.description()));
        QCOMPARE(mac().promptCount(), prompts);
        QVERIFY(mac().wireGuardTunnels().isEmpty());
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        QCOMPARE(QFileInfo::exists(protocolFile("tovren-active.conf")), breakage != "text");
    }

    // The components of the WireGuard path come from Homebrew, as the user (Homebrew refuses root).
    void inAppInstallation_data()
    {
        QTest::addColumn<bool>("homebrew");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<std::optional<AppAlertAction>>("action");
        QTest::addColumn<QString>("alert");
        QTest::newRow("installed") << true << QString() << std::optional<AppAlertAction>()
                                   << "连接组件已安装完成，请重新点击一键连接。";
        QTest::newRow("no Homebrew")
            << false << QString() << std::optional(AppAlertAction::openTerminalInstaller)
            << "未检测到 Homebrew，Tovren 暂时无法在应用内完成组件安装。\n\n点击“打开终端安装”后，"
               "会进入一次性安装引导。安装完成后回到 Tovren 再点一键连接。";
        QTest::newRow("brew fails") << true << "Error: no bottle available!"
                                    << std::optional(AppAlertAction::installWireGuardTools)
                                    << "连接组件安装失败：Error: no bottle available!";
    }
    void inAppInstallation()
    {
        QFETCH(bool, homebrew);
        QFETCH(QString, failure);
        QFETCH(std::optional<AppAlertAction>, action);
        QFETCH(QString, alert);
        SimulatedMac::Options options;
        options.homebrew = homebrew;
        mac(options).setBrewInstallFailure(failure);
        AppState app;
        awaitTask(app.installWireGuardTools());
        QCOMPARE(app.alertAction(), action);
        QCOMPARE(app.alertMessage(), alert);
        QCOMPARE(app.componentInstallState(), !homebrew ? ComponentInstallState(ComponentInstallState::needsHomebrew)
                                              : failure.isEmpty()
                                                  ? ComponentInstallState(ComponentInstallState::installed)
                                                  : ComponentInstallState::makeFailed(alert));
        QCOMPARE(mac().promptCount(), 0);
        QCOMPARE(mac().isInstalled(SimulatedMac::Package::WireGuardTools), homebrew && failure.isEmpty());
        QCOMPARE(mac().isInstalled(SimulatedMac::Package::HomebrewBash), homebrew && failure.isEmpty());
        if (homebrew)
            QCOMPARE(mac().invocations("brew").first().arguments, (QStringList{"install", "bash", "wireguard-tools"}));
    }
};

QTEST_GUILESS_MAIN(TestTunnelWorld)
#include "test_tunnel_world.moc"
