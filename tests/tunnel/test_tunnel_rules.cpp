// The pure decisions of the tunnel (probe readings, the system proxy dictionary, foreign routes, the WireGuard
// texts) and the serial turns that keep the long-lived components' operations from overlapping.
#include "testkit/AwaitTask.h"
#include "testkit/TestHome.h"

#include "base/AsyncSerialQueue.h"
#include "tunnel/ConnectivityRules.h"
#include "tunnel/ProbeTargets.h"
#include "tunnel/TunnelCoordinator.h"
#include "tunnel/WireGuardCommands.h"
#include "tunnel/WireGuardConfigRouter.h"
#include "tunnel/WireGuardToolInstallerError.h"

#include <QCoroTimer>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QString yes(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

// Each decision as a function of one text.
const QMap<QString, std::function<QString(const QString &)>> decide{
    {"status",
     [](const QString &output) {
         const int status = Connectivity::parseHTTPStatus(output);
         return QString::number(status) + (Connectivity::isReachableWebStatus(status) ? " web" : "") +
                (Connectivity::isReachableAIStatus(status) ? " ai" : "");
     }},
    {"points", [](const QString &output) { return yes(Connectivity::systemProxyPointsTo(output, 19090)); }},
    {"routes", [](const QString &table) { return Connectivity::routeWarning(table).value_or("none"); }},
    {"smart",
     [](const QString &text) { return TunnelCoordinator::preparedWireGuardConfig(text, OutboundMode::smart); }},
    {"enhanced",
     [](const QString &text) { return TunnelCoordinator::preparedWireGuardConfig(text, OutboundMode::enhanced); }},
    {"wg-quick",
     [](const QString &description) {
         const auto error = TunnelCoordinatorError::commandFailed(description);
         QString shown;
         try {
             TunnelCoordinator::raiseFriendlyWGQuickError(std::make_exception_ptr(error));
         } catch (const TunnelCoordinatorError &friendly) {
             shown = friendly.description();
         }
         return yes(TunnelCoordinator::isRecoverableWGQuickError(error)) + u' ' +
                yes(WireGuardCommands::isVersionMismatch(description)) + u' ' + shown;
     }},
    {"ours listed", [](const QString &output) { return yes(WireGuardCommands::listsClientInterface(output)); }},
    {"failed", [](const QString &text) { return TunnelCoordinatorError::commandFailed(text).description(); }},
    {"install", [](const QString &text) { return WireGuardToolInstallerError::installFailed(text).description(); }},
};

// An operation of some component: takes its turn, then holds it across a wait.
struct Recorder
{
    AsyncSerialQueue queue;
    QStringList events;
    int running = 0;
    int mostAtOnce = 0;

    QCoro::Task<> operation(QString name, std::chrono::milliseconds wait, bool fail = false)
    {
        const auto turn = co_await queue.turn();
        mostAtOnce = std::max(mostAtOnce, ++running);
        events << name + QStringLiteral(" start");
        co_await QCoro::sleepFor(wait);
        events << name + QStringLiteral(" end");
        --running;
        if (fail)
            throw std::runtime_error("failed");
    }
};

} // namespace

class TestTunnelRules : public QObject
{
    Q_OBJECT

    TestHome m_home;

private Q_SLOTS:
    void decisions_data()
    {
        QTest::addColumn<QString>("decision");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const auto add = [](const char *name, const char *decision, const QString &input, const QString &expected) {
            QTest::newRow(name) << decision << input << expected;
        };
        // Pairs of curl's printed status and its reading; an AI API's refusal still answered through the tunnel.
        const QStringList statuses{"000", "0",      "\n 302\t\n", "302 web ai", "+200",    "200 web ai",
                                   "-1",  "-1",     "20x",        "0",          "200 204", "0",
                                   "199", "199",    "399",        "399 web ai", "401",     "401 ai",
                                   "499", "499 ai", "500",        "500",        " \n",     "0"};
        for (qsizetype i = 0; i < statuses.size(); i += 2)
            QTest::addRow("status %s", qPrintable(statuses.at(i))) << "status" << statuses.at(i) << statuses.at(i + 1);

        // `scutil --proxy` as macOS prints it: the primary settings, then the per-interface ones.
        const auto scutil = [](const QString &top, const QString &scoped = {}) {
            return "<dictionary> {\n  ExceptionsList : <array> {\n    0 : *.local\n  }\n  FTPPassive : 1\n" + top +
                   "  __SCOPED__ : <dictionary> {\n    en0 : <dictionary> {\n" + scoped + "    }\n  }\n}\n";
        };
        const auto lines = [](const QString &kind, int enable, const QString &server, int port) {
            return QStringLiteral("  %1Enable : %2\n  %1Port : %3\n  %1Proxy : %4\n")
                .arg(kind, QString::number(enable), QString::number(port), server);
        };
        add("HTTP on the port", "points", scutil(lines("HTTP", 1, "127.0.0.1", 19090)), "yes");
        add("a port that starts with ours", "points", scutil(lines("HTTP", 1, "127.0.0.1", 190900)), "no");
        add("another server", "points", scutil(lines("HTTP", 1, "10.0.0.2", 19090)), "no");
        // Our entry switched off while the user's own HTTPS proxy is on: nothing points at the client.
        add("flags from another kind", "points",
            scutil(lines("HTTP", 0, "127.0.0.1", 19090) + lines("HTTPS", 1, "10.0.0.2", 8080)), "no");

        const QString table =
            "Routing tables\n\nInternet:\nDestination        Gateway            Flags     Netif Expire\n"
            "default            192.168.1.1        UGScg       en0\n";
        const QString warning = QStringLiteral("检测到可能存在其它 VPN/TUN 路由：");
        add("own TUN", "routes",
            table + "default            172.19.0.1         UGScIg    utun4\n"
                    "198.18.0/16        172.19.0.3         UGSc      utun4\n",
            "none");
        add("three of five foreign defaults", "routes",
            table + "default    link#21    UCSIg    utun3\ndefault    link#22    UCSIg    utun4\n"
                    "default    link#23    UCSIg    utun5\ndefault    link#24    UCSIg    utun6\n",
            warning + "default    link#21    UCSIg    utun3；default    link#22    UCSIg    utun4；"
                      "default    link#23    UCSIg    utun5");
        add("split default and fake range, blanks around", "routes",
            table + "\t0/1     10.8.0.1   UGScg   utun2 \t\n128.0/1   10.8.0.1   UGSc   utun2\n198.18.0/16  10.8.0.1  "
                    "UGSc  utun2\n",
            warning + "0/1     10.8.0.1   UGScg   utun2；128.0/1   10.8.0.1   UGSc   utun2；198.18.0/16  10.8.0.1  "
                      "UGSc  utun2");
        add("narrow routes", "routes", table + "10.8/16   10.8.0.1   UGSc   utun2\n100.64/10   link#30   UCS   utun9\n",
            "none");

        const QString smart = "AllowedIPs = " + WireGuardConfigRouter::smartModeAddresses().join(", ");
        const QString all = QStringLiteral("AllowedIPs = 0.0.0.0/0, ::/0");
        const QString peers = "[Interface]\nPrivateKey = k\n\n[Peer]\nPublicKey = a\n"
                              "AllowedIPs = 10.0.0.0/8\n\n[Peer]\nPublicKey = b\n  allowedips=192.168.0.0/16\n";
        add("enhanced: every peer", "enhanced", "\n\n" + peers + "\n",
            "# Tovren outbound mode: enhanced\n[Interface]\nPrivateKey = k\n\n[Peer]\nPublicKey = a\n" + all +
                "\n\n[Peer]\nPublicKey = b\n" + all);
        add("smart: DNS after the header", "smart", peers,
            "# Tovren outbound mode: smart\n[Interface]\nDNS = 1.1.1.1, 8.8.8.8\nPrivateKey = k\n\n[Peer]\nPublicKey = "
            "a\n" +
                smart + "\n\n[Peer]\nPublicKey = b\n" + smart);
        add("no AllowedIPs: appended", "enhanced", "[Peer]\nPublicKey = a",
            "# Tovren outbound mode: enhanced\n[Peer]\nPublicKey = a\n" + all);

        add("interface exists", "wg-quick", "wg-quick: `tovren-active' already exists",
            "yes no wg-quick: `tovren-active' already exists");
        add("utun", "wg-quick", "Unable to create utun interface (1)", "yes no Unable to create utun interface (1)");
        add("version", "wg-quick", "wg-quick: Version mismatch: bash 3 detected",
            "no yes 连接组件版本不匹配，请点击“一键安装连接组件”更新 Bash 和 WireGuard Tools。");
        add("cancelled", "wg-quick", "execution error: User canceled. (-128)",
            "no no execution error: User canceled. (-128)");
        add("listed among others", "ours listed", "wg0 tovren-active\tutun7\n", "yes");
        add("only others listed", "ours listed", "wg0 tovren-active2 my-tovren-active\n", "no");
        // A failed command without any output still says what failed.
        add("failure without output", "failed", " \n\t", "WireGuard 命令执行失败。");
        add("install failure", "install", "\n Error: no bottle \n", "连接组件安装失败：Error: no bottle");
        add("install failure without output", "install", " \n", "连接组件安装失败。");
    }
    void decisions()
    {
        QFETCH(QString, decision);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(decide.value(decision)(input), expected);
    }

    void summariesPathsAndScripts()
    {
        QCOMPARE(Connectivity::healthSummary(true, std::nullopt), "系统代理与 AI 专用入口保活通过。");
        QCOMPARE(Connectivity::healthSummary(false, QStringList{"甲。", "乙。", "丙。"}),
                 "系统代理保活通过。 检测到系统代理曾丢失，甲。 乙。");
        QCOMPARE(Connectivity::healthSummary(true, QStringList()),
                 "系统代理与 AI 专用入口保活通过。 检测到系统代理曾丢失，已重新设置 macOS 系统代理。");

        // WireGuard unless a sing-box form says otherwise; a WireGuard kind wins over any sing-box text.
        ProtocolConfiguration configuration;
        QVERIFY(TunnelCoordinator::usesWireGuardPath(configuration));
        configuration.rawConfig = JSONValue(JSONValue::Object());
        QVERIFY(!TunnelCoordinator::usesWireGuardPath(configuration));
        configuration.protocolKind = ProtocolKind::wireguard;
        QVERIFY(TunnelCoordinator::usesWireGuardPath(configuration));

        // Only a simulated Mac may point the probes elsewhere.
        const ProbeTargets::Lists production = ProbeTargets::production();
        QCOMPARE(production.direct.mid(0, 2), production.web);
        const ProbeTargets::Lists changed = ProbeTargets::withOverride(
            production, " direct = http://127.0.0.1:1/a, http://127.0.0.1:1/b ;AI=http://127.0.0.1:2/; bogus=x; ");
        QCOMPARE(changed.direct, (QStringList{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"}));
        QCOMPARE(changed.ai, QStringList{"http://127.0.0.1:2/"});
        QCOMPARE(changed.web, production.web);
        qputenv("TOVREN_PROBE_TARGETS", "web=http://127.0.0.1:3/");
        qunsetenv("TOVREN_HOST_ROOT");
        QCOMPARE(ProbeTargets::current(), production);
        qputenv("TOVREN_HOST_ROOT", "/tmp/simulated");
        QCOMPARE(ProbeTargets::current().web, QStringList{"http://127.0.0.1:3/"});

        // Homebrew's bash runs wg-quick when there is one; tool paths lie below a simulated Mac's root.
        const QString path =
            QStringLiteral("export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
        const QString conf = QStringLiteral("/Users/o'neil/tovren-active.conf");
        QCOMPARE(WireGuardCommands::wgQuickCommand("/opt/homebrew/bin/wg-quick", "/usr/local/bin/bash", "up", conf),
                 path + "; '/tmp/simulated/usr/local/bin/bash' '/tmp/simulated/opt/homebrew/bin/wg-quick' 'up' "
                        "'/Users/o'\\''neil/tovren-active.conf'");
        qunsetenv("TOVREN_HOST_ROOT");
        qunsetenv("TOVREN_PROBE_TARGETS");
        for (const std::optional<QString> &bash : {std::optional<QString>("/bin/bash"), std::optional<QString>()})
            QCOMPARE(WireGuardCommands::wgQuickCommand("/opt/homebrew/bin/wg-quick", bash, "down", "/a b"),
                     path + "; '/opt/homebrew/bin/wg-quick' 'down' '/a b'");
        QCOMPARE(WireGuardCommands::repairScript(conf),
                 path + "\nwg-quick down '/Users/o'\\''neil/tovren-active.conf' >/dev/null 2>&1 || true\n"
                        "wg-quick down 'tovren-active' >/dev/null 2>&1 || true\n"
                        "ifconfig 'tovren-active' destroy >/dev/null 2>&1 || true\n"
                        "dscacheutil -flushcache >/dev/null 2>&1 || true\n"
                        "killall -HUP mDNSResponder >/dev/null 2>&1 || true");
    }

    // Turns go in arrival order, one at a time, even to a newcomer that asks while the turn is being handed on;
    // a failed operation passes its turn on; an idle queue gives the turn at once; waiting keeps the loop going.
    void serialTurns()
    {
        Recorder recorder;
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(5);
        auto a = recorder.operation("a", 120ms, true); // the longest first: without turns it would end last
        QCOMPARE(recorder.events, QStringList{"a start"});
        auto b = recorder.operation("b", 10ms);
        auto c = recorder.operation("c", 40ms);
        QCOMPARE(recorder.queue.waitingCount(), 2);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, awaitTask(std::move(a)));
        QVERIFY(recorder.queue.isBusy()); // handed to "b", which has not resumed yet
        auto late = recorder.operation("d", 1ms);
        QCOMPARE(recorder.queue.waitingCount(), 2);
        awaitTask(std::move(b));
        awaitTask(std::move(c));
        awaitTask(std::move(late));
        QCOMPARE(recorder.events,
                 (QStringList{"a start", "a end", "b start", "b end", "c start", "c end", "d start", "d end"}));
        QCOMPARE(recorder.mostAtOnce, 1);
        QVERIFY(!recorder.queue.isBusy());
        QVERIFY(ticks > 10);
    }
};

QTEST_GUILESS_MAIN(TestTunnelRules)
#include "test_tunnel_rules.moc"
