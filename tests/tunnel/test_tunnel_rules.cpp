// The pure decisions of the tunnel: probe readings, the system proxy dictionary, foreign routes, the heartbeat's
// texts, the WireGuard text rules and the shell texts of the WireGuard path.
#include "tunnel/ConnectivityRules.h"
#include "tunnel/ProbeTargets.h"
#include "tunnel/TunnelCoordinator.h"
#include "tunnel/WireGuardCommands.h"
#include "tunnel/WireGuardConfigRouter.h"
#include "tunnel/WireGuardToolInstallerError.h"

#include "TestHome.h"

#include <QTest>

namespace {

// `scutil --proxy` as macOS prints it: the primary settings, then the per-interface ones.
QString scutilOutput(const QString &topLevel, const QString &scoped = {})
{
    return QStringLiteral("<dictionary> {\n  ExceptionsList : <array> {\n    0 : *.local\n    1 : 169.254/16\n  }\n"
                          "  FTPPassive : 1\n") +
           topLevel + QStringLiteral("  __SCOPED__ : <dictionary> {\n    en0 : <dictionary> {\n") + scoped +
           QStringLiteral("    }\n  }\n}\n");
}

QString proxyLines(const QString &kind, int enable, const QString &server, int port)
{
    return QStringLiteral("  %1Enable : %2\n  %1Port : %3\n  %1Proxy : %4\n")
        .arg(kind)
        .arg(enable)
        .arg(port)
        .arg(server);
}

const QString routingHeader = QStringLiteral("Routing tables\n\nInternet:\n"
                                             "Destination        Gateway            Flags     Netif Expire\n"
                                             "default            192.168.1.1        UGScg       en0\n"
                                             "127                127.0.0.1          UCS         lo0\n");

} // namespace

class TestTunnelRules : public QObject
{
    Q_OBJECT

    TestHome m_home;

private Q_SLOTS:
    void curlStatusOutput_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("status");
        QTest::newRow("no answer") << "000" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("white space only") << " \n" << 0;
        QTest::newRow("204") << "204" << 204;
        QTest::newRow("surrounded by white space") << "\n 302\t\n" << 302;
        QTest::newRow("leading plus") << "+200" << 200;
        QTest::newRow("leading minus") << "-1" << -1;
        QTest::newRow("not a number") << "20x" << 0;
        QTest::newRow("two numbers") << "200 204" << 0;
    }
    void curlStatusOutput()
    {
        QFETCH(QString, output);
        QFETCH(int, status);
        QCOMPARE(Connectivity::parseHTTPStatus(output), status);
    }

    void reachableStatuses_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("web");
        QTest::addColumn<bool>("ai");
        QTest::newRow("0") << 0 << false << false;
        QTest::newRow("199") << 199 << false << false;
        QTest::newRow("200") << 200 << true << true;
        QTest::newRow("204") << 204 << true << true;
        QTest::newRow("399") << 399 << true << true;
        // An API that refuses a request without a key still answered through the tunnel.
        QTest::newRow("401") << 401 << false << true;
        QTest::newRow("404") << 404 << false << true;
        QTest::newRow("499") << 499 << false << true;
        QTest::newRow("500") << 500 << false << false;
    }
    void reachableStatuses()
    {
        QFETCH(int, status);
        QFETCH(bool, web);
        QFETCH(bool, ai);
        QCOMPARE(Connectivity::isReachableWebStatus(status), web);
        QCOMPARE(Connectivity::isReachableAIStatus(status), ai);
    }

    void systemProxyDictionary_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("points");
        const QString http = proxyLines("HTTP", 1, "127.0.0.1", 19090);
        QTest::newRow("HTTP on the port") << scutilOutput(http) << true;
        QTest::newRow("only SOCKS on the port") << scutilOutput(proxyLines("SOCKS", 1, "127.0.0.1", 19090)) << true;
        QTest::newRow("all three switched off")
            << scutilOutput(proxyLines("HTTP", 0, "127.0.0.1", 19090) + proxyLines("HTTPS", 0, "127.0.0.1", 19090) +
                            proxyLines("SOCKS", 0, "127.0.0.1", 19090))
            << false;
        QTest::newRow("another port") << scutilOutput(proxyLines("HTTP", 1, "127.0.0.1", 19091)) << false;
        QTest::newRow("a port that only starts with ours")
            << scutilOutput(proxyLines("HTTP", 1, "127.0.0.1", 190900)) << false;
        QTest::newRow("another server") << scutilOutput(proxyLines("HTTP", 1, "10.0.0.2", 19090)) << false;
        // Our entry switched off while the user's own HTTPS proxy is on: nothing points at the client.
        QTest::newRow("flags and port from different kinds")
            << scutilOutput(proxyLines("HTTP", 0, "127.0.0.1", 19090) + proxyLines("HTTPS", 1, "10.0.0.2", 8080))
            << false;
        QTest::newRow("only a scoped interface") << scutilOutput(QString(), "      " + http.trimmed() + "\n") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void systemProxyDictionary()
    {
        QFETCH(QString, output);
        QFETCH(bool, points);
        QCOMPARE(Connectivity::systemProxyPointsTo(output, 19090), points);
    }

    void foreignRoutes_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("warning");
        QTest::newRow("plain Wi-Fi Mac") << routingHeader << QString();
        QTest::newRow("only the client's own TUN")
            << routingHeader + "default            172.19.0.1         UGScIg    utun4\n"
                               "0/1                172.19.0.2         UGScg     utun4\n"
                               "198.18.0/16        172.19.0.3         UGSc      utun4\n"
            << QString();
        QTest::newRow("five foreign default routes")
            << routingHeader + "default            link#21            UCSIg     utun3\n"
                               "default            link#22            UCSIg     utun4\n"
                               "default            link#23            UCSIg     utun5\n"
                               "default            link#24            UCSIg     utun6\n"
                               "default            link#25            UCSIg     utun7\n"
            << "检测到可能存在其它 VPN/TUN 路由：default            link#21            UCSIg     utun3；"
               "default            link#22            UCSIg     utun4；default            link#23            UCSIg     "
               "utun5";
        QTest::newRow("split default and fake-address range, indented with tabs")
            << routingHeader + "\t0/1                10.8.0.1           UGScg     utun2\n"
                               "128.0/1            10.8.0.1           UGSc      utun2\n"
                               "198.18.0/16        10.8.0.1           UGSc      utun2\n"
            << "检测到可能存在其它 VPN/TUN 路由：0/1                10.8.0.1           UGScg     utun2；"
               "128.0/1            10.8.0.1           UGSc      utun2；"
               "198.18.0/16        10.8.0.1           UGSc      utun2";
        QTest::newRow("narrow routes through a tunnel are not suspicious")
            << routingHeader + "10.8/16            10.8.0.1           UGSc      utun2\n"
                               "100.64/10          link#30            UCS       utun9\n"
            << QString();
        QTest::newRow("a wide route that is not a tunnel")
            << routingHeader + "0/1                192.168.1.1        UGSc        en0\n"
            << QString();
    }
    void foreignRoutes()
    {
        QFETCH(QString, table);
        QFETCH(QString, warning);
        QCOMPARE(Connectivity::routeWarning(table).value_or(QString()), warning);
    }

    void healthSummaries_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::addColumn<std::optional<QStringList>>("repair");
        QTest::addColumn<QString>("summary");
        QTest::newRow("plain") << false << std::optional<QStringList>() << "系统代理保活通过。";
        QTest::newRow("AI") << true << std::optional<QStringList>() << "系统代理与 AI 专用入口保活通过。";
        QTest::newRow("repaired, first two notes")
            << false << std::optional<QStringList>(QStringList{"甲。", "乙。", "丙。"})
            << "系统代理保活通过。 检测到系统代理曾丢失，甲。 乙。";
        QTest::newRow("repaired without notes") << true << std::optional<QStringList>(QStringList())
                                                << "系统代理与 AI 专用入口保活通过。 检测到系统代理曾丢失，已重新设置 "
                                                   "macOS 系统代理。";
    }
    void healthSummaries()
    {
        QFETCH(bool, ai);
        QFETCH(std::optional<QStringList>, repair);
        QFETCH(QString, summary);
        QCOMPARE(Connectivity::healthSummary(ai, repair), summary);
    }

    void probeTargetsOverride()
    {
        const ProbeTargets::Lists production = ProbeTargets::production();
        QCOMPARE(production.web.size(), 2);
        QCOMPARE(production.direct.mid(0, 2), production.web);
        QCOMPARE(production.ai.size(), 4);

        const ProbeTargets::Lists changed = ProbeTargets::withOverride(
            production, " direct = http://127.0.0.1:1/a, http://127.0.0.1:1/b ;AI=http://127.0.0.1:2/; bogus=x; ");
        QCOMPARE(changed.direct, (QStringList{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"}));
        QCOMPARE(changed.ai, QStringList{"http://127.0.0.1:2/"});
        QCOMPARE(changed.web, production.web);

        // Only a simulated Mac may be pointed elsewhere.
        qputenv("TOVREN_PROBE_TARGETS", "web=http://127.0.0.1:3/");
        qunsetenv("TOVREN_HOST_ROOT");
        QCOMPARE(ProbeTargets::current(), production);
        qputenv("TOVREN_HOST_ROOT", "/tmp/simulated");
        QCOMPARE(ProbeTargets::current().web, QStringList{"http://127.0.0.1:3/"});
        qunsetenv("TOVREN_HOST_ROOT");
        qunsetenv("TOVREN_PROBE_TARGETS");
    }

    void wireGuardPathChoice_data()
    {
        QTest::addColumn<ProtocolConfiguration>("configuration");
        QTest::addColumn<bool>("wireGuard");
        ProtocolConfiguration configuration;
        configuration.protocolKind = ProtocolKind::wireguard;
        configuration.singBoxConfigText = "{}";
        QTest::newRow("wireguard, even with a sing-box text") << configuration << true;
        configuration = {};
        QTest::newRow("unknown without any sing-box form") << configuration << true;
        configuration.rawConfig = JSONValue(JSONValue::Object());
        QTest::newRow("unknown with a raw configuration") << configuration << false;
        configuration = {};
        configuration.protocolKind = ProtocolKind::vless;
        QTest::newRow("vless") << configuration << false;
    }
    void wireGuardPathChoice()
    {
        QFETCH(ProtocolConfiguration, configuration);
        QFETCH(bool, wireGuard);
        QCOMPARE(TunnelCoordinator::usesWireGuardPath(configuration), wireGuard);
    }

    void preparedWireGuardText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<OutboundMode>("mode");
        QTest::addColumn<QString>("prepared");
        const QString smart = "AllowedIPs = " + WireGuardConfigRouter::smartModeAddresses().join(", ");
        const QString all = QStringLiteral("AllowedIPs = 0.0.0.0/0, ::/0");
        const QString twoPeers = "[Interface]\nPrivateKey = k\nAddress = 10.0.0.2/32\n\n[Peer]\nPublicKey = a\n"
                                 "AllowedIPs = 10.0.0.0/8\n\n[Peer]\nPublicKey = b\n  allowedips=192.168.0.0/16\n";
        QTest::newRow("enhanced: every peer, no DNS added")
            << "\n\n" + twoPeers + "\n"
            << OutboundMode::enhanced
            << "# Tovren outbound mode: enhanced\n[Interface]\nPrivateKey = k\nAddress = 10.0.0.2/32\n\n[Peer]\n"
               "PublicKey = a\n" +
                   all + "\n\n[Peer]\nPublicKey = b\n" + all;
        QTest::newRow("smart: DNS after the interface header")
            << twoPeers << OutboundMode::smart
            << "# Tovren outbound mode: smart\n[Interface]\nDNS = 1.1.1.1, 8.8.8.8\nPrivateKey = k\n"
               "Address = 10.0.0.2/32\n\n[Peer]\nPublicKey = a\n" +
                   smart + "\n\n[Peer]\nPublicKey = b\n" + smart;
        QTest::newRow("smart: an existing DNS line in any letter case stays")
            << "[interface]\n\tdns = 9.9.9.9\n[Peer]\nAllowedIPs = 0.0.0.0/0" << OutboundMode::smart
            << "# Tovren outbound mode: smart\n[interface]\n\tdns = 9.9.9.9\n[Peer]\n" + smart;
        QTest::newRow("no AllowedIPs line: appended")
            << "[Interface]\nDNS = 1.1.1.1\n[Peer]\nPublicKey = a" << OutboundMode::enhanced
            << "# Tovren outbound mode: enhanced\n[Interface]\nDNS = 1.1.1.1\n[Peer]\nPublicKey = a\n" + all;
        QTest::newRow("smart without an interface header gets no DNS")
            << "[Peer]\nAllowedIPs = 0.0.0.0/0" << OutboundMode::smart
            << "# Tovren outbound mode: smart\n[Peer]\n" + smart;
    }
    void preparedWireGuardText()
    {
        QFETCH(QString, text);
        QFETCH(OutboundMode, mode);
        QFETCH(QString, prepared);
        QCOMPARE(TunnelCoordinator::preparedWireGuardConfig(text, mode), prepared);
    }

    void wgQuickCommandText_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<std::optional<QString>>("bash");
        QTest::addColumn<QString>("command");
        const QString path =
            QStringLiteral("export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin; ");
        QTest::newRow("system bash: wg-quick's own interpreter")
            << QString() << std::optional<QString>("/bin/bash")
            << path + "'/opt/homebrew/bin/wg-quick' 'up' '/Users/jo/Library/Application Support/Tovren/Protocols/"
                      "tovren-active.conf'";
        QTest::newRow("Homebrew bash runs it")
            << QString() << std::optional<QString>("/opt/homebrew/bin/bash")
            << path + "'/opt/homebrew/bin/bash' '/opt/homebrew/bin/wg-quick' 'up' '/Users/jo/Library/Application "
                      "Support/Tovren/Protocols/tovren-active.conf'";
        QTest::newRow("no bash at all") << QString() << std::optional<QString>()
                                        << path + "'/opt/homebrew/bin/wg-quick' 'up' '/Users/jo/Library/Application "
                                                  "Support/Tovren/Protocols/tovren-active.conf'";
        QTest::newRow("simulated Mac: tool paths below the root")
            << "/tmp/mac" << std::optional<QString>("/usr/local/bin/bash")
            << path + "'/tmp/mac/usr/local/bin/bash' '/tmp/mac/opt/homebrew/bin/wg-quick' 'up' '/Users/jo/Library/"
                      "Application Support/Tovren/Protocols/tovren-active.conf'";
    }
    void wgQuickCommandText()
    {
        QFETCH(QString, root);
        QFETCH(std::optional<QString>, bash);
        QFETCH(QString, command);
        if (root.isEmpty())
            qunsetenv("TOVREN_HOST_ROOT");
        else
            qputenv("TOVREN_HOST_ROOT", root.toUtf8());
        QCOMPARE(WireGuardCommands::wgQuickCommand(
                     "/opt/homebrew/bin/wg-quick", bash, "up",
                     "/Users/jo/Library/Application Support/Tovren/Protocols/tovren-active.conf"),
                 command);
        qunsetenv("TOVREN_HOST_ROOT");
    }

    void repairScriptQuotesThePath()
    {
        QCOMPARE(WireGuardCommands::repairScript("/Users/o'neil/tovren-active.conf"),
                 QStringLiteral("export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin\n"
                                "wg-quick down '/Users/o'\\''neil/tovren-active.conf' >/dev/null 2>&1 || true\n"
                                "wg-quick down 'tovren-active' >/dev/null 2>&1 || true\n"
                                "ifconfig 'tovren-active' destroy >/dev/null 2>&1 || true\n"
                                "dscacheutil -flushcache >/dev/null 2>&1 || true\n"
                                "killall -HUP mDNSResponder >/dev/null 2>&1 || true"));
    }

    void wgQuickFailures_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("recoverable");
        QTest::addColumn<bool>("versionMismatch");
        QTest::newRow("interface exists") << "wg-quick: `tovren-active' already exists" << true << false;
        QTest::newRow("file exists") << "mkdir: /var/run/wireguard: File exists" << true << false;
        QTest::newRow("utun") << "0:95: execution error: Unable to create utun interface (1)" << true << false;
        QTest::newRow("route") << "[#] route -q -n add: ROUTE: Network is unreachable" << true << false;
        QTest::newRow("DNS") << "Setting DNS failed" << true << false;
        QTest::newRow("version") << "wg-quick: Version mismatch: bash 3 detected" << false << true;
        QTest::newRow("cancelled prompt") << "0:47: execution error: User canceled. (-128)" << false << false;
    }
    void wgQuickFailures()
    {
        QFETCH(QString, description);
        QFETCH(bool, recoverable);
        QFETCH(bool, versionMismatch);
        QCOMPARE(TunnelCoordinator::isRecoverableWGQuickError(TunnelCoordinatorError::commandFailed(description)),
                 recoverable);
        QCOMPARE(WireGuardCommands::isVersionMismatch(description), versionMismatch);
        try {
            TunnelCoordinator::raiseFriendlyWGQuickError(
                std::make_exception_ptr(TunnelCoordinatorError::commandFailed(description)));
        } catch (const TunnelCoordinatorError &error) {
            QCOMPARE(error.description(),
                     versionMismatch ? QStringLiteral("连接组件版本不匹配，请点击“一键安装连接组件”更新 Bash 和 "
                                                      "WireGuard Tools。")
                                     : description);
        }
    }

    void staleInterfaceListing_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("stale");
        QTest::newRow("among others") << "wg0 tovren-active\tutun7\n" << true;
        QTest::newRow("only others") << "wg0 tovren-active2 my-tovren-active\n" << false;
        QTest::newRow("nothing") << "" << false;
    }
    void staleInterfaceListing()
    {
        QFETCH(QString, output);
        QFETCH(bool, stale);
        QCOMPARE(WireGuardCommands::listsClientInterface(output), stale);
    }

    void errorTexts()
    {
        // A failed command without any output still says what failed.
        QCOMPARE(TunnelCoordinatorError::commandFailed(" \n\t").description(), "WireGuard 命令执行失败。");
        QCOMPARE(TunnelCoordinatorError::commandFailed("boom").description(), "boom");
        QCOMPARE(WireGuardToolInstallerError::installFailed("\n Error: no bottle \n").description(),
                 "连接组件安装失败：Error: no bottle");
        QCOMPARE(WireGuardToolInstallerError::installFailed(" \n").description(), "连接组件安装失败。");
    }
};

QTEST_GUILESS_MAIN(TestTunnelRules)
#include "test_tunnel_rules.moc"
