// The stand-in proxy core as a process: checks, proxying, routing to upstream proxies, failures and signals.
#include "LocalServers.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

namespace {

QString core()
{
    return SimulatedMac::coreExecutable();
}

QString writeConfig(const TestHome &home, const QString &json, const QString &name = "tovren-active.json")
{
    const QString path = home.path() + u'/' + name;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(json.toUtf8());
    return path;
}

// One mixed inbound with the outbounds and rules given, the way the client's configurations look.
QString mixedConfig(quint16 port, const QString &outbounds, const QString &rules, const QString &final = "direct")
{
    return QStringLiteral(R"({"log":{"level":"info"},
        "inbounds":[{"type":"mixed","tag":"tovren-system-proxy","listen":"127.0.0.1","listen_port":%1,
                     "set_system_proxy":false}],
        "outbounds":[%2],"dns":{"servers":[{"tag":"bootstrap","type":"udp","server":"8.8.8.8"}]},
        "route":{"auto_detect_interface":true,"default_domain_resolver":{"server":"bootstrap"},
                 "rules":[{"inbound":"tovren-system-proxy","action":"sniff"}%3],"final":"%4"}})")
        .arg(port)
        .arg(outbounds, rules.isEmpty() ? QString() : u',' + rules, final);
}

QProcessEnvironment environmentWithHosts(const QString &hosts)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TOVREN_DEVSTACK_HOSTS", hosts);
    return environment;
}

bool waitForListening(quint16 port, QProcess &process)
{
    for (int i = 0; i < 100 && process.state() == QProcess::Running; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(100))
            return true;
        QTest::qWait(50);
    }
    return false;
}

// Starts the core on a configuration and waits until it accepts connections. Its output goes to the
// configuration's path followed by ".log", as the client sends it to sing-box.log.
bool startCore(QProcess &process, const QString &configPath, quint16 port, const QString &hosts = {},
               const QString &program = core())
{
    process.setProcessEnvironment(environmentWithHosts(hosts));
    process.setStandardOutputFile(configPath + ".log", QIODevice::Append);
    process.setStandardErrorFile(configPath + ".log", QIODevice::Append);
    process.start(program, {"run", "-c", configPath});
    return process.waitForStarted(5000) && waitForListening(port, process);
}

// A core with one mixed inbound and a direct outbound; returns its port, 0 when it did not come up.
quint16 startDirectCore(QProcess &process, const TestHome &home, const QString &hosts)
{
    const quint16 port = freePort();
    const QString config = writeConfig(home, mixedConfig(port, R"({"type":"direct","tag":"direct"})", {}));
    return startCore(process, config, port, hosts) ? port : 0;
}

void stopCore(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
}

ProcessResult curl(const QStringList &arguments)
{
    return runProcess("/usr/bin/curl", QStringList{"-sS", "--max-time", "10"} + arguments);
}

QByteArray socksConnect(const QByteArray &host, quint16 port)
{
    QByteArray bytes("\x05\x01\x00\x05\x01\x00\x03", 7);
    bytes += char(host.size()) + host;
    const quint16 bigEndian = qToBigEndian(port);
    bytes.append(reinterpret_cast<const char *>(&bigEndian), 2);
    return bytes;
}

} // namespace

class TestProxyCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkVerdicts_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("hosts");
        QTest::addColumn<QString>("refusedBy"); // empty, "check", or "run" (check passes, the start fails)
        QTest::addColumn<QString>("reason");
        const QString direct = R"({"type":"direct","tag":"direct"})";
        QTest::newRow("client shape, AI mode") << QStringLiteral(R"({
                "log":{"level":"info","timestamp":true},
                "inbounds":[
                  {"type":"mixed","tag":"tovren-system-proxy","listen":"127.0.0.1","listen_port":19090,"set_system_proxy":false},
                  {"type":"mixed","tag":"tovren-ai-proxy","listen":"127.0.0.1","listen_port":19110,"set_system_proxy":false}],
                "dns":{"servers":[{"tag":"cloudflare","type":"https","server":"1.1.1.1","domain_resolver":"bootstrap"},
                                  {"tag":"bootstrap","type":"udp","server":"8.8.8.8"}],
                       "strategy":"ipv4_only","final":"cloudflare"},
                "outbounds":[{"type":"socks","tag":"proxy","server":"127.0.0.1","server_port":1080,"version":"5",
                              "username":"u","password":"p"},
                             {"type":"direct","tag":"direct"}],
                "route":{"auto_detect_interface":true,"default_domain_resolver":{"server":"bootstrap"},"final":"proxy",
                  "rules":[
                    {"inbound":"tovren-system-proxy","action":"sniff"},
                    {"inbound":"tovren-ai-proxy","action":"sniff"},
                    {"inbound":["tovren-system-proxy","tovren-ai-proxy"],"domain_suffix":["openai.com","claude.ai"],"outbound":"proxy"},
                    {"inbound":"tovren-system-proxy","domain_suffix":["cn","qq.com"],"outbound":"direct"},
                    {"inbound":"tovren-system-proxy","ip_cidr":["10.0.0.0/8","127.0.0.0/8","14.0.0.0/8"],"outbound":"direct"},
                    {"inbound":"tovren-ai-proxy","outbound":"proxy"}]},
                "experimental":{"cache_file":{"enabled":true}}})")
                                               << ""
                                               << ""
                                               << "";
        QTest::newRow("listen_port as text")
            << R"({"inbounds":[{"type":"mixed","tag":"in","listen":"127.0.0.1","listen_port":"7890"}]})"
            << ""
            << "check"
            << "inbounds[0].listen_port: json: cannot unmarshal string into Go value of type uint16";
        QTest::newRow("invalid JSON") << R"({"inbounds":[)"
                                      << ""
                                      << "check"
                                      << "invalid JSON";
        QTest::newRow("not an object") << "[1,2]"
                                       << ""
                                       << "check"
                                       << "must be a JSON object";
        QTest::newRow("tun inbound") << R"({"inbounds":[{"type":"tun","tag":"tun-in","interface_name":"utun9"}]})"
                                     << ""
                                     << "check"
                                     << "unsupported inbound type \"tun\"";
        QTest::newRow("vless outbound")
            << R"({"outbounds":[{"type":"vless","tag":"proxy","server":"example.com","server_port":443}]})"
            << ""
            << "check"
            << "outbound type \"vless\" has no devstack meaning";
        QTest::newRow("missing port") << R"({"inbounds":[{"type":"mixed","tag":"in","listen":"127.0.0.1"}]})"
                                      << ""
                                      << "check"
                                      << "inbounds[0].listen_port: missing port";
        QTest::newRow("port out of range")
            << R"({"inbounds":[{"type":"mixed","tag":"in","listen":"127.0.0.1","listen_port":70000}]})"
            << ""
            << "check"
            << "not a port number";
        QTest::newRow("listen on every interface")
            << R"({"inbounds":[{"type":"mixed","tag":"in","listen":"0.0.0.0","listen_port":7890}]})"
            << ""
            << "check"
            << "not a loopback address";
        QTest::newRow("unknown top-level key") << R"({"inbound":[]})"
                                               << ""
                                               << "check"
                                               << "json: unknown field \"inbound\"";
        QTest::newRow("unknown inbound key")
            << R"({"inbounds":[{"type":"mixed","tag":"in","listen":"127.0.0.1","listen_port":7890,"port":7890}]})"
            << ""
            << "check"
            << "inbounds[0].port: json: unknown field \"port\"";
        // Names that point at nothing decode fine; the real core stops when it starts.
        const QString dns = QStringLiteral(R"({"outbounds":[%1],"dns":{"servers":[{"tag":"local","type":"udp",
            "server":"223.5.5.5"}],%2}})")
                                .arg(direct);
        QTest::newRow("unknown DNS final") << dns.arg(R"("final":"cloudflare")") << ""
                                           << "run"
                                           << "start service: default DNS server not found: cloudflare";
        QTest::newRow("DNS rule names an unknown server")
            << dns.arg(R"("rules":[{"domain":"a.test","server":"remote"}])") << ""
            << "run"
            << "start service: initialize DNS rule[0]: DNS server not found: remote";
        QTest::newRow("DNS rule names an undeclared rule set")
            << dns.arg(R"("rules":[{"rule_set":"geosite-cn","server":"local"}])") << ""
            << "run"
            << "start service: initialize DNS rule[0]: rule-set not found: geosite-cn";
        QTest::newRow("unknown domain resolver")
            << QStringLiteral(R"({"outbounds":[%1],"dns":{"servers":[{"tag":"remote","type":"https",
                "server":"1.1.1.1","domain_resolver":"boot"}]}})")
                   .arg(direct)
            << ""
            << "run"
            << "start service: initialize DNS server[0]: domain resolver: DNS server not found: boot";
        QTest::newRow("unknown default domain resolver")
            << QStringLiteral(R"({"outbounds":[%1],"route":{"default_domain_resolver":{"server":"bootstrap"}}})")
                   .arg(direct)
            << ""
            << "run"
            << "start service: default domain resolver: DNS server not found: bootstrap";
        QTest::newRow("rule names an unknown outbound")
            << QStringLiteral(R"({"outbounds":[%1],"route":{"rules":[{"domain":"a.test","outbound":"nowhere"}]}})")
                   .arg(direct)
            << ""
            << "run"
            << "start service: initialize rule[0]: outbound not found: nowhere";
        QTest::newRow("unknown final") << QStringLiteral(R"({"outbounds":[%1],"route":{"final":"proxy"}})").arg(direct)
                                       << ""
                                       << "run"
                                       << "start service: default outbound not found: proxy";
        QTest::newRow("socks upstream without server")
            << R"({"outbounds":[{"type":"socks","tag":"proxy","server_port":1080}]})"
            << ""
            << "check"
            << "outbounds[0].server: missing";
        QTest::newRow("condition it cannot evaluate")
            << QStringLiteral(R"({"outbounds":[%1],"route":{"rules":[{"geosite":"cn","outbound":"direct"}]}})")
                   .arg(direct)
            << ""
            << "check"
            << "route.rules[0].geosite: unsupported rule condition";
        QTest::newRow("dns not an object") << R"({"dns":"1.1.1.1"})"
                                           << ""
                                           << "check"
                                           << "dns: must be an object";
        QTest::newRow("malformed host map") << "{}"
                                            << "www.google.com"
                                            << "check"
                                            << "TOVREN_DEVSTACK_HOSTS";
    }

    void checkVerdicts()
    {
        QFETCH(QString, json);
        QFETCH(QString, hosts);
        QFETCH(QString, refusedBy);
        QFETCH(QString, reason);
        TestHome home;
        const QString path = writeConfig(home, json);
        const ProcessResult result = runProcess(core(), {"check", "-c", path}, 10'000, environmentWithHosts(hosts));
        QCOMPARE(result.status == 0, refusedBy != "check");
        if (refusedBy == "check") {
            QVERIFY2(result.err.contains("FATAL") && result.err.contains(reason.toUtf8()), result.err);
            QVERIFY(result.err.contains(path.toUtf8()) || !hosts.isEmpty());
        } else {
            QVERIFY2(result.err.isEmpty(), result.err);
        }
        if (refusedBy == "run") {
            const ProcessResult run = runProcess(core(), {"run", "-c", path}, 10'000, environmentWithHosts(hosts));
            QVERIFY2(run.status == 1 && run.err.contains("FATAL") && run.err.contains(reason.toUtf8()), run.err);
        }
    }

    void checkOfMissingFileFails()
    {
        TestHome home;
        const ProcessResult result = runProcess(core(), {"check", "-c", home.path() + "/absent.json"});
        QCOMPARE(result.status, 1);
        QVERIFY2(result.err.contains("read config at"), result.err);
        // Typed DNS servers, as the client writes them, need 1.12 or later.
        QVERIFY(runProcess(core(), {"version"}).out.startsWith("sing-box version 1.12."));
    }

    void proxiesToLocalServer_data()
    {
        QTest::addColumn<QStringList>("mode");
        QTest::newRow("SOCKS5 with host names") << QStringList{"--socks5-hostname", "127.0.0.1:%1"};
        QTest::newRow("HTTP CONNECT") << QStringList{"-p", "-x", "http://127.0.0.1:%1"};
        QTest::newRow("HTTP absolute URI") << QStringList{"-x", "http://127.0.0.1:%1"};
    }

    void proxiesToLocalServer()
    {
        QFETCH(QStringList, mode);
        TestHome home;
        LocalHttpServer server;
        QVERIFY(server.start());
        QProcess process;
        const quint16 port =
            startDirectCore(process, home, QStringLiteral("www.google.com=127.0.0.1:%1").arg(server.serverPort()));
        QVERIFY(port);
        mode.last() = mode.last().arg(port);

        const ProcessResult page = curl(mode + QStringList{"http://www.google.com/echo?q=1"});
        QVERIFY2(page.status == 0, page.err);
        QVERIFY2(page.out.contains("request=GET /echo?q=1 HTTP/1.1\n"), page.out);
        QVERIFY2(page.out.contains("host=www.google.com\n"), page.out);
        // The probe exactly as the client runs it, through SOCKS with names resolved by the proxy.
        const ProcessResult probe = curl({"--socks5-hostname", QStringLiteral("127.0.0.1:%1").arg(port),
                                          "--connect-timeout", "1.5", "--max-time", "2", "-L", "-sS", "-o", "/dev/null",
                                          "-w", "%{http_code}", "http://www.google.com/generate_204"});
        QCOMPARE(probe.out, QByteArray("204"));
        stopCore(process);
    }

    void routesToUpstreamProxies_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("peer");
        QTest::newRow("rule to the SOCKS5 upstream") << "via-socks.test"
                                                     << "127.0.0.2";
        QTest::newRow("rule to the HTTP upstream") << "via-http.test"
                                                   << "127.0.0.3";
        QTest::newRow("final outbound") << "elsewhere.test"
                                        << "127.0.0.1";
    }

    // The upstreams connect out from their own loopback addresses, so the server sees which path was taken.
    void routesToUpstreamProxies()
    {
        QFETCH(QString, host);
        QFETCH(QString, peer);
        TestHome home;
        LocalHttpServer server;
        QVERIFY(server.start());
        const QString hosts = QStringLiteral("*=127.0.0.1:%1").arg(server.serverPort());

        const quint16 socksPort = freePort();
        QProcess microsocks;
        microsocks.start("/usr/bin/microsocks", {"-i", "127.0.0.1", "-p", QString::number(socksPort), "-u", "devstack",
                                                 "-P", "secret", "-b", "127.0.0.2"});
        QVERIFY(microsocks.waitForStarted() && waitForListening(socksPort, microsocks));

        const quint16 httpPort = freePort();
        QProcess httpUpstream;
        QVERIFY(startCore(
            httpUpstream,
            writeConfig(
                home, mixedConfig(httpPort, R"({"type":"direct","tag":"direct","inet4_bind_address":"127.0.0.3"})", {}),
                "upstream.json"),
            httpPort));

        const quint16 port = freePort();
        const QString outbounds =
            QStringLiteral(R"({"type":"socks","tag":"socks-up","server":"127.0.0.1","server_port":%1,
                               "username":"devstack","password":"secret"},
                              {"type":"http","tag":"http-up","server":"127.0.0.1","server_port":%2},
                              {"type":"direct","tag":"direct"})")
                .arg(socksPort)
                .arg(httpPort);
        const QString rules =
            R"({"inbound":"tovren-system-proxy","domain_suffix":["via-socks.test"],"outbound":"socks-up"},
                                 {"inbound":["tovren-system-proxy"],"domain":["via-http.test"],"outbound":"http-up"})";
        QProcess process;
        QVERIFY(startCore(process, writeConfig(home, mixedConfig(port, outbounds, rules)), port, hosts));

        const ProcessResult page =
            curl({"--socks5-hostname", QStringLiteral("127.0.0.1:%1").arg(port), "http://" + host + "/echo"});
        QVERIFY2(page.status == 0, page.err);
        QVERIFY2(page.out.contains(("peer=" + peer + "\n").toUtf8()), page.out);
        stopCore(process);
        stopCore(httpUpstream);
        stopCore(microsocks);
    }

    void refusedTraffic_data()
    {
        QTest::addColumn<QStringList>("mode");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("curlStatus");
        QTest::addColumn<QByteArray>("code");
        const QStringList socks{"--socks5-hostname", "127.0.0.1:%1"};
        const QStringList http{"-x", "http://127.0.0.1:%1"};
        const QStringList connect{"-p", "-x", "http://127.0.0.1:%1"};
        QTest::newRow("SOCKS5, block outbound") << socks << "http://ads.blocked.test/" << 97 << QByteArray("000");
        QTest::newRow("SOCKS5, reject action") << socks << "http://tracker.test/" << 97 << QByteArray("000");
        QTest::newRow("SOCKS5, address rejected by ip_cidr")
            << socks << "http://127.0.0.1:%2/" << 97 << QByteArray("000");
        QTest::newRow("SOCKS5, connection refused") << socks << "http://closed.test/" << 97 << QByteArray("000");
        QTest::newRow("HTTP CONNECT, blocked") << connect << "http://ads.blocked.test/" << 56 << QByteArray("000");
        QTest::newRow("HTTP, blocked") << http << "http://ads.blocked.test/" << 0 << QByteArray("403");
        QTest::newRow("HTTP, connection refused") << http << "http://closed.test/" << 0 << QByteArray("502");
    }

    void refusedTraffic()
    {
        QFETCH(QStringList, mode);
        QFETCH(QString, url);
        QFETCH(int, curlStatus);
        QFETCH(QByteArray, code);
        TestHome home;
        LocalHttpServer server;
        QVERIFY(server.start());
        const QString hosts =
            QStringLiteral("*=127.0.0.1:%1, closed.test=127.0.0.1:%2").arg(server.serverPort()).arg(freePort());
        const QString rules = R"({"domain_suffix":["blocked.test"],"outbound":"block"},
                                 {"domain":["tracker.test"],"action":"reject"},
                                 {"ip_cidr":["127.0.0.0/8"],"action":"reject"})";
        const quint16 port = freePort();
        QProcess process;
        QVERIFY(startCore(process,
                          writeConfig(home, mixedConfig(port, R"({"type":"direct","tag":"direct"},
                                                                 {"type":"block","tag":"block"})",
                                                        rules)),
                          port, hosts));
        mode.last() = mode.last().arg(port);
        if (url.contains(u'%'))
            url = url.arg(server.serverPort());
        const ProcessResult result = curl(mode + QStringList{"-o", "/dev/null", "-w", "%{http_code}", url});
        QCOMPARE(result.status, curlStatus);
        QCOMPARE(result.out, code);
        QVERIFY(server.requestLines().isEmpty());
        stopCore(process);
    }

    void takenPortEndsTheCore()
    {
        TestHome home;
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        QProcess process;
        process.start(
            core(), {"run", "-c",
                     writeConfig(home, mixedConfig(squatter.serverPort(), R"({"type":"direct","tag":"direct"})", {}))});
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY(process.exitCode() != 0);
        const QByteArray output = process.readAllStandardError() + process.readAllStandardOutput();
        QVERIFY2(output.contains(QStringLiteral("listen tcp 127.0.0.1:%1: bind: address already in use")
                                     .arg(squatter.serverPort())
                                     .toUtf8()),
                 output);
    }

    // Installed in the simulated Mac, the core is what the runtime finds, recognises and stops.
    void installedCoreIsRecognisedAndStopsOnSigterm()
    {
        TestHome home;
        SimulatedMac mac;
        const quint16 port = freePort();
        const QString config = writeConfig(home, mixedConfig(port, R"({"type":"direct","tag":"direct"})", {}));
        QProcess process;
        QVERIFY(startCore(process, config, port, {}, mac.path("/opt/homebrew/bin/sing-box")));
        const QString pid = QString::number(process.processId());

        const ProcessResult command = runProcess(mac.path("/bin/ps"), {"-p", pid, "-o", "command="});
        QVERIFY2(command.out.contains("sing-box") && command.out.contains(config.toUtf8()), command.out);
        const ProcessResult listeners =
            runProcess(mac.path("/usr/sbin/lsof"), {"-nP", QStringLiteral("-iTCP:%1").arg(port), "-sTCP:LISTEN", "-t"});
        QCOMPARE(listeners.out.trimmed(), pid.toUtf8());
        QCOMPARE(mac.invocations("sing-box").first().arguments, (QStringList{"run", "-c", config}));

        // A connection still open when the signal comes does not keep the core alive.
        EchoServer echo;
        QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
        QTcpSocket open;
        open.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(open.waitForConnected(5000));
        open.write(socksConnect(QHostAddress(QHostAddress::LocalHost).toString().toUtf8(), echo.serverPort()));
        QTRY_COMPARE_WITH_TIMEOUT(open.bytesAvailable(), qint64(12), 5000);

        process.terminate();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QFile logFile(config + ".log");
        QVERIFY(logFile.open(QIODevice::ReadOnly));
        const QByteArray log = logFile.readAll();
        QVERIFY2(log.contains("\x1b[36mINFO\x1b[0m") && log.contains("terminated"), log);
        QTcpServer again;
        QVERIFY(again.listen(QHostAddress::LocalHost, port));
        QTRY_COMPARE_WITH_TIMEOUT(open.state(), QAbstractSocket::UnconnectedState, 5000);
    }

    void malformedBytesCloseOnlyThatConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("TLS straight to the port")
            << QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9) << QByteArray();
        QTest::newRow("SOCKS4") << QByteArray("\x04\x01\x00\x50\x7f\x00\x00\x01\x00", 9) << QByteArray();
        QTest::newRow("SOCKS5 without an acceptable method")
            << QByteArray("\x05\x01\x02", 3) << QByteArray("\x05\xff", 2);
        QTest::newRow("SOCKS5 request of another version")
            << QByteArray("\x05\x01\x00\x04\x01\x00\x01\x7f\x00\x00\x01\x00\x50", 13) << QByteArray("\x05\x00", 2);
        QTest::newRow("SOCKS5 unknown address type")
            << QByteArray("\x05\x01\x00\x05\x01\x00\x09\x00\x50", 9) << QByteArray("\x05\x00\x05\x08", 4);
        QTest::newRow("SOCKS5 UDP associate") << QByteArray("\x05\x01\x00\x05\x03\x00\x01\x7f\x00\x00\x01\x00\x50", 13)
                                              << QByteArray("\x05\x00\x05\x07", 4);
        QTest::newRow("SOCKS5 cut short") << QByteArray("\x05\x01", 2) << QByteArray();
        QTest::newRow("HTTP request line garbage") << QByteArray("GET\r\n\r\n") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("HTTP origin form")
            << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("HTTP CONNECT without port")
            << QByteArray("CONNECT x.test HTTP/1.1\r\n\r\n") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("HTTP header without colon")
            << QByteArray("GET http://x.test/ HTTP/1.1\r\nbroken\r\n\r\n") << QByteArray("HTTP/1.1 400 ");
        QTest::newRow("HTTP endless head")
            << "GET http://x.test/ HTTP/1.1\r\nX: " + QByteArray(100'000, 'a') << QByteArray("HTTP/1.1 431 ");
    }

    void malformedBytesCloseOnlyThatConnection()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, reply);
        TestHome home;
        LocalHttpServer server;
        QVERIFY(server.start());
        QProcess process;
        const quint16 port =
            startDirectCore(process, home, QStringLiteral("www.google.com=127.0.0.1:%1").arg(server.serverPort()));
        QVERIFY(port);

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write(bytes);
        if (bytes.size() <= 2)
            client.disconnectFromHost(); // a client that gives up half-way
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += client.readAll(), client.state() == QAbstractSocket::UnconnectedState),
                                 5000);
        received += client.readAll();
        QVERIFY2(received.startsWith(reply), received.toHex());

        QCOMPARE(process.state(), QProcess::Running);
        const ProcessResult page =
            curl({"--socks5-hostname", QStringLiteral("127.0.0.1:%1").arg(port), "http://www.google.com/echo"});
        QVERIFY2(page.status == 0 && page.out.contains("request=GET /echo"), page.err);
        stopCore(process);
    }

    void manyConcurrentConnectionsEcho()
    {
        TestHome home;
        EchoServer echo;
        QVERIFY(echo.listen(QHostAddress::LocalHost, 0));
        QProcess process;
        const quint16 port =
            startDirectCore(process, home, QStringLiteral("echo.test=127.0.0.1:%1").arg(echo.serverPort()));
        QVERIFY(port);

        constexpr int connections = 200;
        const QByteArray handshake = socksConnect("echo.test", 7);
        const QByteArray replies("\x05\x00\x05\x00\x00\x01\0\0\0\0\0\0", 12);
        int echoed = 0;
        QList<QTcpSocket *> sockets;
        for (int i = 0; i < connections; ++i) {
            auto *socket = new QTcpSocket(this);
            sockets << socket;
            const QByteArray payload = "payload-" + QByteArray::number(i) + QByteArray(2000, char('a' + i % 26));
            connect(socket, &QTcpSocket::connected, socket, [socket, handshake] { socket->write(handshake); });
            connect(socket, &QTcpSocket::readyRead, socket, [socket, replies, payload, &echoed] {
                QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
                if (!socket->property("open").toBool() && buffer.size() >= replies.size()) {
                    if (!buffer.startsWith(replies)) {
                        socket->abort();
                        return;
                    }
                    buffer.remove(0, replies.size());
                    socket->setProperty("open", true);
                    socket->write(payload);
                }
                socket->setProperty("buffer", buffer);
                if (socket->property("open").toBool() && buffer == payload)
                    ++echoed;
            });
            socket->connectToHost(QHostAddress::LocalHost, port);
        }
        QTRY_COMPARE_WITH_TIMEOUT(echoed, connections, 30'000);
        qDeleteAll(sockets);
        QCOMPARE(process.state(), QProcess::Running);
        stopCore(process);
    }

    void largeDownloadArrivesWhole()
    {
        TestHome home;
        LocalHttpServer server;
        QVERIFY(server.start());
        QProcess process;
        const quint16 port =
            startDirectCore(process, home, QStringLiteral("files.test=127.0.0.1:%1").arg(server.serverPort()));
        QVERIFY(port);
        const ProcessResult result =
            curl({"--socks5-hostname", QStringLiteral("127.0.0.1:%1").arg(port), "-o", "/dev/null", "-w",
                  "%{size_download}", "--limit-rate", "4M", "http://files.test/big"});
        QVERIFY2(result.status == 0, result.err);
        QCOMPARE(result.out, QByteArray::number(LocalHttpServer::bigSize));
        stopCore(process);
    }
};

QTEST_GUILESS_MAIN(TestProxyCore)
#include "test_proxy_core.moc"
