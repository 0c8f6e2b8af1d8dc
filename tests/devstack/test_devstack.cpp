// The devstack's stand-ins driven the way the client drives the real programs: the proxy core as a process and
// the simulated Mac's tools. A stand-in that accepts what the real one refuses would let a client fault through.
#include "AppleScript.h"
#include "testkit/SimulatedMac.h"
#include "testkit/TestHome.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

namespace {

using Kind = SimulatedMac::ProxyKind;
const QString macPath = QStringLiteral("export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
const QString direct = QStringLiteral(R"({"type":"direct","tag":"direct"})");

struct ProcessResult
{
    int status = -1;
    QByteArray out, err;
};

// Runs a program to its end while the event loop keeps serving this process's own servers.
ProcessResult run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20'000)) {
        process.kill();
        process.waitForFinished();
    }
    const bool ended = process.exitStatus() == QProcess::NormalExit && process.error() != QProcess::FailedToStart;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

// "The internet": answers every request with the address it came from and the head that arrived.
void serveHttp(QTcpServer &server, int &requests)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, &requests] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &requests] {
                const QByteArray head = socket->property("head").toByteArray() + socket->readAll();
                socket->setProperty("head", head);
                if (!head.endsWith("\r\n\r\n"))
                    return;
                ++requests;
                const QByteArray body = "peer=" + socket->peerAddress().toString().toLatin1() + '\n' + head;
                socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        }
    });
    server.listen(QHostAddress::LocalHost, 0);
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    if (QFile file(path); file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

// One mixed inbound, shaped the way the client writes its configurations.
QByteArray mixedConfig(quint16 port, const QString &outbounds, const QString &rules = {})
{
    return QStringLiteral(R"({"log":{"level":"info"},"inbounds":[{"type":"mixed","tag":"tovren-system-proxy",
        "listen":"127.0.0.1","listen_port":%1,"set_system_proxy":false}],"outbounds":[%2],
        "dns":{"servers":[{"tag":"bootstrap","type":"udp","server":"8.8.8.8"}]},"route":{"auto_detect_interface":true,
        "default_domain_resolver":{"server":"bootstrap"},"final":"direct",
        "rules":[{"inbound":"tovren-system-proxy","action":"sniff"}%3]}})")
        .arg(QString::number(port), outbounds, rules.isEmpty() ? QString() : u',' + rules)
        .toUtf8();
}

// Whether the process came up and accepts connections on `port`.
bool listening(quint16 port, const QProcess &process)
{
    const auto answers = [&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return process.state() == QProcess::NotRunning || probe.waitForConnected(100);
    };
    return QTest::qWaitFor(answers, 15000) && process.state() == QProcess::Running;
}

bool startCore(QProcess &process, const QString &config, quint16 port, const QString &hosts = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TOVREN_DEVSTACK_HOSTS", hosts);
    process.setProcessEnvironment(environment);
    process.start(SimulatedMac::coreExecutable(), {"run", "-c", config});
    return listening(port, process);
}

// The client's quoting of one word, and of a shell text, for a privileged prompt.
QString quoted(QString word)
{
    return u'\'' + word.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

QString shellScript(QString command, bool administrator = true)
{
    command.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
    return "do shell script \"" + command + (administrator ? "\" with administrator privileges" : "\"");
}

ProcessResult networksetup(const SimulatedMac &mac, const QStringList &arguments)
{
    return run(mac.path("/usr/sbin/networksetup"), arguments);
}

ProcessResult osascript(const SimulatedMac &mac, const QString &script)
{
    return run(mac.path("/usr/bin/osascript"), {"-e", script});
}

// The top level of scutil --proxy, without the per-interface section.
QString topLevelProxies(const SimulatedMac &mac)
{
    const QString text = QString::fromUtf8(run(mac.path("/usr/sbin/scutil"), {"--proxy"}).out);
    return text.left(text.indexOf(QLatin1String("__SCOPED__")));
}

} // namespace

class TestDevstack : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::optional<TestHome> m_home;
    std::optional<SimulatedMac> m_mac;
    // One core for every traffic test, routing to a SOCKS5 and an HTTP upstream.
    QTcpServer m_http;
    int m_requests = 0;
    QProcess m_socks, m_upstream, m_core;
    QString m_proxy;

private Q_SLOTS:
    void initTestCase()
    {
        serveHttp(m_http, m_requests);
        // The upstreams connect out from their own loopback addresses, so the server sees which path was taken.
        const quint16 socksPort = freePort();
        m_socks.start("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", QString::number(socksPort), "-u", "devstack",
                                              "-P", "secret", "-b", "127.0.0.2"});
        QVERIFY(m_socks.waitForStarted() && listening(socksPort, m_socks));
        const quint16 httpPort = freePort();
        const QString bound = R"({"type":"direct","tag":"direct","inet4_bind_address":"127.0.0.3"})";
        QVERIFY(startCore(m_upstream, writeFile(m_dir.filePath("up.json"), mixedConfig(httpPort, bound)), httpPort));

        const quint16 port = freePort();
        m_proxy = QStringLiteral("127.0.0.1:%1").arg(port);
        const QString outbounds = QStringLiteral(R"({"type":"socks","tag":"socks-up","server":"127.0.0.1",
            "server_port":%1,"username":"devstack","password":"secret"},{"type":"http","tag":"http-up",
            "server":"127.0.0.1","server_port":%2},%3,{"type":"block","tag":"block"})")
                                      .arg(QString::number(socksPort), QString::number(httpPort), direct);
        const QString rules =
            R"({"inbound":"tovren-system-proxy","domain_suffix":["via-socks.test"],"outbound":"socks-up"},
            {"inbound":["tovren-system-proxy"],"domain":["via-http.test"],"outbound":"http-up"},
            {"domain_suffix":["blocked.test"],"outbound":"block"},{"ip_cidr":["127.0.0.0/8"],"action":"reject"})";
        const QString hosts =
            QStringLiteral("closed.test=127.0.0.1:%1, *=127.0.0.1:%2").arg(freePort()).arg(m_http.serverPort());
        QVERIFY(startCore(m_core, writeFile(m_dir.filePath("core.json"), mixedConfig(port, outbounds, rules)), port,
                          hosts));
    }

    void init()
    {
        m_home.emplace();
        m_mac.emplace();
    }

    // ---- The proxy core. What the real core refuses at check or at start, this one refuses the same way.
    void refusals_data()
    {
        QTest::addColumn<QString>("json"); // null: no file at all
        QTest::addColumn<bool>("atCheck"); // otherwise the check passes and the start fails
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *name, const QString &json, bool atCheck, const QString &reason) {
            QTest::newRow(name) << json << atCheck << reason;
        };
        const QString in = R"({"inbounds":[{"type":"mixed","tag":"in","listen":"%1"%2}]})";
        row("no file", QString(), true, "read config at");
        row("port as text", in.arg("127.0.0.1", R"(,"listen_port":"80")"), true, "listen_port: json: cannot unmarshal");
        row("every interface", in.arg("0.0.0.0", R"(,"listen_port":7890)"), true, "not a loopback address");
        row("unknown key", in.arg("127.0.0.1", R"(,"port":7890)"), true, "inbounds[0].port: json: unknown field");
        row("vless outbound", R"({"outbounds":[{"type":"vless","tag":"p","server":"a","server_port":1}]})", true,
            "outbound type \"vless\" has no devstack meaning");
        const QString with = QStringLiteral(R"({"outbounds":[%1],%2})").arg(direct);
        row("rule it cannot evaluate", with.arg(R"("route":{"rules":[{"geosite":"cn","outbound":"direct"}]})"), true,
            "route.rules[0].geosite: unsupported rule condition");
        // Names that point at nothing decode fine; the real core stops when it starts.
        const QString dns = with.arg(R"("dns":{"servers":[{"tag":"local","type":"udp","server":"223.5.5.5"}],%1})");
        row("unknown DNS final", dns.arg(R"("final":"cf")"), false, "start service: default DNS server not found: cf");
        row("unknown domain resolver", with.arg(R"("route":{"default_domain_resolver":{"server":"b"}})"), false,
            "start service: default domain resolver: DNS server not found: b");
        row("rule names an unknown outbound", with.arg(R"("route":{"rules":[{"domain":"a","outbound":"x"}]})"), false,
            "start service: initialize rule[0]: outbound not found: x");
        row("unknown final", with.arg(R"("route":{"final":"proxy"})"), false,
            "start service: default outbound not found: proxy");
        // The runtime reads a taken port from this line.
        const QString port = m_proxy.section(u':', 1);
        row("port taken", mixedConfig(port.toUShort(), direct), false,
            "listen tcp 127.0.0.1:" + port + ": bind: address already in use");
    }

    void refusals()
    {
        QFETCH(QString, json);
        QFETCH(bool, atCheck);
        QFETCH(QString, reason);
        const QString path =
            json.isNull() ? m_dir.filePath("absent.json") : writeFile(m_dir.filePath("verdict.json"), json.toUtf8());
        const ProcessResult check = run(SimulatedMac::coreExecutable(), {"check", "-c", path});
        const ProcessResult result = atCheck ? check : run(SimulatedMac::coreExecutable(), {"run", "-c", path});
        QVERIFY2(atCheck || (check.status == 0 && check.err.isEmpty()), check.err);
        QVERIFY2(result.status == 1 && result.err.contains("FATAL") && result.err.contains(reason.toUtf8()),
                 result.err);
        QVERIFY(!atCheck || result.err.contains(path.toUtf8()));
    }

    void traffic()
    {
        struct Case
        {
            const char *name;
            QStringList via;
            const char *url;
            int curlStatus;
            QByteArray output; // how curl's output starts, then the status it saw
        };
        const QStringList socks{"-x", "socks5h://" + m_proxy}, http{"-x", "http://" + m_proxy},
            connect = http + QStringList{"-p"};
        const char *google = "peer=127.0.0.1\nGET /echo?q=1 HTTP/1.1\r\nHost: www.google.com\r\n|200";
        const QList<Case> cases{{"SOCKS5 with host names", socks, "http://www.google.com/echo?q=1", 0, google},
                                {"HTTP CONNECT", connect, "http://www.google.com/echo?q=1", 0, google},
                                {"HTTP absolute URI", http, "http://www.google.com/echo?q=1", 0, google},
                                {"rule to the SOCKS5 upstream", socks, "http://via-socks.test/", 0,
                                 "peer=127.0.0.2\nGET / HTTP/1.1\r\nHost: via-socks.test\r\n|200"},
                                {"rule to the HTTP upstream", socks, "http://via-http.test/", 0,
                                 "peer=127.0.0.3\nGET / HTTP/1.1\r\nHost: via-http.test\r\n|200"},
                                {"SOCKS5, block outbound", socks, "http://ads.blocked.test/", 97, "|000"},
                                {"SOCKS5, address rejected by ip_cidr", socks, "http://127.0.0.1:1/", 97, "|000"},
                                {"HTTP CONNECT, blocked", connect, "http://ads.blocked.test/", 56, "|000"},
                                {"HTTP, blocked", http, "http://ads.blocked.test/", 0, "|403"},
                                {"HTTP, connection refused", http, "http://closed.test/", 0, "|502"}};
        for (const Case &c : cases) {
            const int before = m_requests;
            const ProcessResult result =
                run("/usr/bin/curl", QStringList{"-sS", "-m", "10", "-w", "|%{http_code}", c.url} + c.via);
            const QList<QByteArray> parts = c.output.split('|');
            QVERIFY2(result.status == c.curlStatus && result.out.startsWith(parts.first()) &&
                         result.out.endsWith('|' + parts.last()) && m_requests - before == (parts.last() == "200"),
                     c.name + (": " + result.out + result.err));
        }
    }

    // ---- The simulated Mac's tools.
    void proxySettingReadsBackThroughScutil()
    {
        const SimulatedMac &mac = *m_mac;
        for (const auto &[verb, prefix, kind] :
             {std::tuple{"webproxy", "HTTP", Kind::Web}, std::tuple{"securewebproxy", "HTTPS", Kind::SecureWeb},
              std::tuple{"socksfirewallproxy", "SOCKS", Kind::Socks}}) {
            const QString set = QString("-set") + verb;
            QVERIFY(networksetup(mac, {set, "Wi-Fi", "127.0.0.1", "19090", "off"}).status == 0 &&
                    networksetup(mac, {set + "state", "Wi-Fi", "on"}).status == 0);
            QCOMPARE(networksetup(mac, {QString("-get") + verb, "Wi-Fi"}).out,
                     QByteArray("Enabled: Yes\nServer: 127.0.0.1\nPort: 19090\nAuthenticated Proxy Enabled: 0\n"));
            QCOMPARE(mac.proxy("Wi-Fi", kind), (SimulatedMac::ProxySetting{true, "127.0.0.1", 19090, false}));
            const QString proxies = topLevelProxies(mac);
            QCOMPARE(proxies.count("Enable : 1"), 1);
            QVERIFY2(proxies.contains(prefix + QString("Enable : 1\n")) &&
                         proxies.contains(prefix + QString("Port : 19090\n")) &&
                         proxies.contains(prefix + QString("Proxy : 127.0.0.1\n")),
                     qPrintable(proxies));
            // Switched off, the dictionary keeps the server but reports it disabled.
            QCOMPARE(networksetup(mac, {set + "state", "Wi-Fi", "off"}).status, 0);
            QVERIFY(topLevelProxies(mac).contains(prefix + QString("Enable : 0\n  ") + prefix + "Port : 19090\n"));
        }
    }

    void servicesAndBypassDomains()
    {
        SimulatedMac &mac = *m_mac;
        const QString lan = "USB 10/100/1000 LAN";
        mac.setServices(QStringList{"Wi-Fi", "*Thunderbolt Bridge", lan});
        QCOMPARE(networksetup(mac, {"-listallnetworkservices"}).out,
                 "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n*Thunderbolt Bridge\n" +
                     lan.toUtf8() + '\n');
        QCOMPARE(networksetup(mac, {"-setproxybypassdomains", lan, "localhost", "*.local"}).status, 0);
        QCOMPARE(networksetup(mac, {"-getproxybypassdomains", lan}).out, QByteArray("localhost\n*.local\n"));
        QCOMPARE(networksetup(mac, {"-setproxybypassdomains", lan, "Empty"}).status, 0);
        QVERIFY(mac.bypassDomains(lan).isEmpty());
        // scutil reports the primary service only, as on a real Mac.
        mac.setProxy(lan, Kind::Web, {true, "10.0.0.2", 3128, false});
        QVERIFY(!topLevelProxies(mac).contains("10.0.0.2"));
        mac.setPrimaryService(lan);
        QVERIFY(topLevelProxies(mac).contains("HTTPEnable : 1\n  HTTPPort : 3128\n  HTTPProxy : 10.0.0.2\n"));
    }

    void invalidUseFailsWithoutChangingAnything()
    {
        const QJsonObject before = m_mac->state().toJson();
        const QList<QStringList> uses{{"-setwebproxy", "Wi-Fi 2", "127.0.0.1", "19090"},
                                      {"-setwebproxy", "Wi-Fi", "127.0.0.1", "port"}};
        for (const QStringList &arguments : uses) {
            const ProcessResult result = networksetup(*m_mac, arguments);
            const QByteArray message = arguments.at(1) == "Wi-Fi" ? "** Error: The parameters were not valid."
                                                                  : "Wi-Fi 2 is not a recognized network service.";
            QVERIFY2(result.status != 0 && (result.out + result.err).contains(message), result.out + result.err);
        }
        QCOMPARE(m_mac->state().toJson(), before);
    }

    // A service the user may not change takes the whole batch through one prompt, whatever its name holds.
    void rejectedServiceSucceedsThroughOnePrompt()
    {
        for (const QString service : {"Joe's 10/100 LAN", "Office \"LAN\" \\ 2", "LAN $(touch pwned); `id` & *"}) {
            SimulatedMac &mac = m_mac.emplace();
            mac.setServices(QStringList{service});
            mac.rejectAsUser(service);
            const QList<QStringList> batch{{"-setwebproxy", service, "127.0.0.1", "19090", "off"},
                                           {"-setproxybypassdomains", service, "localhost"},
                                           {"-setwebproxystate", service, "on"}};
            QStringList lines;
            for (const QStringList &arguments : batch) {
                lines << quoted(mac.path("/usr/sbin/networksetup"));
                for (const QString &argument : arguments)
                    lines.last() += u' ' + quoted(argument);
            }
            const ProcessResult result = osascript(mac, shellScript(lines.join(u'\n')));
            QVERIFY2(result.status == 0, result.err);
            QVERIFY(mac.prompts().size() == 1 && mac.prompts().first().command == lines.join(u'\n'));
            const QList<SimulatedMac::Invocation> runs = mac.invocations("networksetup");
            QCOMPARE(runs.size(), batch.size());
            for (qsizetype i = 0; i < batch.size(); ++i)
                QVERIFY(runs.at(i).arguments == batch.at(i) && runs.at(i).privileged);
            QCOMPARE(mac.proxy(service, Kind::Web), (SimulatedMac::ProxySetting{true, "127.0.0.1", 19090, false}));
            QCOMPARE(mac.bypassDomains(service), QStringList{"localhost"});
            QVERIFY(!QFile::exists(mac.root() + "/pwned"));
        }
    }

    void rejectionCoversOnlyTheNamedVerbs()
    {
        m_mac->rejectAsUser("Wi-Fi", {"-setproxybypassdomains"});
        QCOMPARE(networksetup(*m_mac, {"-setsocksfirewallproxy", "Wi-Fi", "127.0.0.1", "19090", "off"}).status, 0);
        const ProcessResult asUser = networksetup(*m_mac, {"-setproxybypassdomains", "Wi-Fi", "localhost"});
        QVERIFY2(asUser.status != 0 && asUser.err.contains("admin"), asUser.err);
        QCOMPARE(m_mac->bypassDomains("Wi-Fi"), (QStringList{"*.local", "169.254/16"}));
        m_mac->clearRejections();
        QCOMPARE(networksetup(*m_mac, {"-setproxybypassdomains", "Wi-Fi", "localhost"}).status, 0);
        QCOMPARE(m_mac->promptCount(), 0);
    }

    void osascriptRunsShellTextLikeTheRealTool()
    {
        struct Case
        {
            const char *command;
            bool administrator, cancelled;
            int status;
            QByteArray output; // standard output, or a failure's message
        };
        const QList<Case> cases{
            {"echo privileged=$TOVREN_SIMHOST_PRIVILEGED", true, false, 0, "privileged=1\n"},
            {"echo privileged=$TOVREN_SIMHOST_PRIVILEGED", false, false, 0, "privileged=\n"},
            {"echo never", true, true, 1, "execution error: User canceled. (-128)\n"},
            {"echo boom >&2; exit 3", true, false, 1, "execution error: boom (3)\n"},
            {"printf '%s' 'a\\b\"c'", true, false, 0, "a\\b\"c\n"},              // arrives unchanged
            {"printf 'one\\ntwo\\n'", false, false, 0, "one\rtwo\n"},            // line endings become returns
            {"echo $PATH", false, false, 0, "/usr/bin:/bin:/usr/sbin:/sbin\n"}}; // in its macOS spelling
        for (const Case &c : cases) {
            SimulatedMac &mac = m_mac.emplace();
            mac.setPromptCancelled(c.cancelled);
            const ProcessResult result = osascript(mac, shellScript(c.command, c.administrator));
            const bool expected = c.status == 0 ? QByteArray(result.out).replace(mac.root().toUtf8(), "") == c.output
                                                : result.out.isEmpty() && result.err.endsWith(c.output);
            QVERIFY2(expected && result.status == c.status, c.command + (": " + result.out + result.err));
            QCOMPARE(mac.promptCount(), c.administrator ? 1 : 0);
            QCOMPARE(mac.invocations("sh").isEmpty(), c.cancelled);
        }
        // What AppleScript itself refuses never runs: a fault in the client's escaping shows here. (Ordinary
        // literals: moc misreads raw strings with backslashes or odd quotes.)
        for (const QString bad :
             {"do shell script \"a\\qb\"", "do shell script \"say \"hi\"\"", "do shell script \"ls"})
            QVERIFY2(!SimHost::AppleScript::parseDoShellScript(bad), qPrintable(bad));
    }

    // wg-quick refuses without root and on a tunnel in the wrong state, as the real one does, and fails when told.
    void wireGuardTunnelComesUpAndDown()
    {
        SimulatedMac &mac = m_mac.emplace(SimulatedMac::Options{.wireGuardTools = true, .homebrewBash = true});
        const QString config = writeFile(m_home->path() + "/tovren-active.conf",
                                         "[Interface]\nAddress = 10.7.0.2/32\n[Peer]\nAllowedIPs = 0.0.0.0/0\n");
        const auto wgQuick = [&](const QString &action) {
            return osascript(
                mac, shellScript(QStringList{macPath + ';', quoted(mac.path("/opt/homebrew/bin/bash")),
                                             quoted(mac.path("/opt/homebrew/bin/wg-quick")), action, quoted(config)}
                                     .join(u' ')));
        };
        QVERIFY(run(mac.path("/opt/homebrew/bin/wg-quick"), {"up", config}).err.contains("sudo"));
        QVERIFY(wgQuick("up").status == 0 && mac.wireGuardTunnels() == QStringList{"tovren-active"});
        const QString routes = QString::fromUtf8(run(mac.path("/usr/sbin/netstat"), {"-rn", "-f", "inet"}).out);
        QVERIFY2(routes.contains(QRegularExpression("\n0/1 +utun0 (.|\n)*\n128\\.0/1 +utun0 ")), qPrintable(routes));
        QVERIFY(wgQuick("up").err.contains("wg-quick: `tovren-active' already exists"));
        mac.queueWgQuickFailure("down", "wg-quick: Version mismatch: bash 3 detected, when bash 4+ required");
        QVERIFY(wgQuick("down").err.contains("Version mismatch") && mac.wireGuardTunnels().size() == 1);
        QVERIFY(wgQuick("down").status == 0 && mac.wireGuardTunnels().isEmpty());
        QVERIFY(wgQuick("down").err.contains("is not a WireGuard interface"));
    }

    // lsof as macOS prints it; killall and the shell's lookups stay inside the simulated Mac. Runs last: the core
    // stops at its end.
    void processToolsAnswerInMacShape()
    {
        const SimulatedMac &mac = *m_mac;
        const QString pid = QString::number(m_core.processId());
        const QString port = m_proxy.section(u':', 1);
        const ProcessResult fields =
            run(mac.path("/usr/sbin/lsof"), {"-nP", "-iTCP:" + port + '-' + port, "-sTCP:LISTEN", "-Fpn"});
        const QRegularExpression shape("^p" + pid + "\\nf[0-9]+\\nn127.0.0.1:" + port + "\\n$");
        QVERIFY2(QString::fromUtf8(fields.out).contains(shape), fields.out);
        QVERIFY(
            run(mac.path("/usr/sbin/lsof"), {"-nP", "-iTCP:19110-19090", "-Fpn"}).err.contains("unacceptable port"));
        QVERIFY(run(mac.path("/bin/ps"), {"-p", pid, "-o", "command="}).out.contains("sing-box run -c"));
        const ProcessResult found = run(mac.path("/bin/bash"), {"-c", macPath + "; command -v killall"});
        QCOMPARE(found.out, (mac.root() + "/usr/bin/killall\n").toUtf8());
        QCOMPARE(run(mac.path("/usr/bin/killall"), {"devstack-sing-box"}).status, 1);
        QCOMPARE(m_core.state(), QProcess::Running);
        // The runtime stops the core with SIGTERM and waits for its port to come free.
        m_core.terminate();
        QVERIFY(m_core.waitForFinished(5000) && m_core.exitStatus() == QProcess::NormalExit && m_core.exitCode() == 0);
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress::LocalHost, m_proxy.section(u':', 1).toUShort()));
    }
};

QTEST_GUILESS_MAIN(TestDevstack)
#include "test_devstack.moc"
