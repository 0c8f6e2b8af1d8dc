// The simulated Mac's tools, driven as processes the way the client drives the real ones.
#include "LocalServers.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

namespace {

using Kind = SimulatedMac::ProxyKind;

// The client's quoting of one word for a privileged shell text.
QString quoted(QString word)
{
    word.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + word + u'\'';
}

QString networkSetupLine(const SimulatedMac &mac, const QStringList &arguments)
{
    QStringList words{quoted(mac.path(QStringLiteral("/usr/sbin/networksetup")))};
    for (const QString &argument : arguments)
        words << quoted(argument);
    return words.join(u' ');
}

QString appleScriptEscaped(QString text)
{
    text.replace(u'\\', QStringLiteral("\\\\"));
    text.replace(u'"', QStringLiteral("\\\""));
    return text;
}

QString adminScript(const QString &command)
{
    return QStringLiteral("do shell script \"%1\" with administrator privileges").arg(appleScriptEscaped(command));
}

ProcessResult tool(const SimulatedMac &mac, const QString &macPath, const QStringList &arguments)
{
    return runProcess(mac.path(macPath), arguments);
}

ProcessResult networksetup(const SimulatedMac &mac, const QStringList &arguments)
{
    return tool(mac, QStringLiteral("/usr/sbin/networksetup"), arguments);
}

ProcessResult osascript(const SimulatedMac &mac, const QString &script)
{
    return tool(mac, QStringLiteral("/usr/bin/osascript"), {QStringLiteral("-e"), script});
}

// The top level of scutil --proxy, without the per-interface section.
QString topLevelProxies(const SimulatedMac &mac)
{
    const QString text = QString::fromUtf8(tool(mac, QStringLiteral("/usr/sbin/scutil"), {"--proxy"}).out);
    return text.left(text.indexOf(QLatin1String("__SCOPED__")));
}

} // namespace

class TestHostTools : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listsServicesWithHeadingAndDisabledMarks()
    {
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        mac.setServices(QStringList{"Wi-Fi", "*Thunderbolt Bridge", "Joe's LAN"});
        const ProcessResult result = networksetup(mac, {"-listallnetworkservices"});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out, QByteArray("An asterisk (*) denotes that a network service is disabled.\n"
                                        "Wi-Fi\n*Thunderbolt Bridge\nJoe's LAN\n"));
    }

    void proxySettingReadsBackThroughScutil_data()
    {
        QTest::addColumn<QString>("getVerb");
        QTest::addColumn<QString>("setVerb");
        QTest::addColumn<QString>("stateVerb");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("kind");
        QTest::newRow("web") << "-getwebproxy"
                             << "-setwebproxy"
                             << "-setwebproxystate"
                             << "HTTP" << int(Kind::Web);
        QTest::newRow("secure web") << "-getsecurewebproxy"
                                    << "-setsecurewebproxy"
                                    << "-setsecurewebproxystate"
                                    << "HTTPS" << int(Kind::SecureWeb);
        QTest::newRow("socks") << "-getsocksfirewallproxy"
                               << "-setsocksfirewallproxy"
                               << "-setsocksfirewallproxystate"
                               << "SOCKS" << int(Kind::Socks);
    }

    void proxySettingReadsBackThroughScutil()
    {
        QFETCH(QString, getVerb);
        QFETCH(QString, setVerb);
        QFETCH(QString, stateVerb);
        QFETCH(QString, prefix);
        QFETCH(int, kind);
        TestHome home;
        SimulatedMac mac;

        QCOMPARE(networksetup(mac, {getVerb, "Wi-Fi"}).out,
                 QByteArray("Enabled: No\nServer: \nPort: 0\nAuthenticated Proxy Enabled: 0\n"));
        QCOMPARE(networksetup(mac, {stateVerb, "Wi-Fi", "off"}).status, 0);
        QCOMPARE(networksetup(mac, {setVerb, "Wi-Fi", "127.0.0.1", "19090", "off"}).status, 0);
        QCOMPARE(networksetup(mac, {stateVerb, "Wi-Fi", "on"}).status, 0);
        QCOMPARE(networksetup(mac, {getVerb, "Wi-Fi"}).out,
                 QByteArray("Enabled: Yes\nServer: 127.0.0.1\nPort: 19090\nAuthenticated Proxy Enabled: 0\n"));
        QCOMPARE(mac.proxy("Wi-Fi", Kind(kind)), (SimulatedMac::ProxySetting{true, "127.0.0.1", 19090, false}));

        QString proxies = topLevelProxies(mac);
        QVERIFY2(proxies.contains(prefix + "Enable : 1\n"), qPrintable(proxies));
        QVERIFY(proxies.contains(prefix + "Port : 19090\n"));
        QVERIFY(proxies.contains(prefix + "Proxy : 127.0.0.1\n"));
        for (const QString &other : {QStringLiteral("HTTP"), QStringLiteral("HTTPS"), QStringLiteral("SOCKS")}) {
            if (other != prefix)
                QVERIFY2(proxies.contains(other + "Enable : 0\n"), qPrintable(proxies));
        }

        // Switched off, the dictionary keeps the server but reports it disabled.
        QCOMPARE(networksetup(mac, {stateVerb, "Wi-Fi", "off"}).status, 0);
        proxies = topLevelProxies(mac);
        QVERIFY(proxies.contains(prefix + "Enable : 0\n"));
        QVERIFY(proxies.contains(prefix + "Port : 19090\n"));
    }

    void scutilFollowsThePrimaryService()
    {
        TestHome home;
        SimulatedMac mac;
        SimulatedMac::NetworkService wifi;
        wifi.name = "Wi-Fi";
        wifi.device = "en0";
        SimulatedMac::NetworkService lan;
        lan.name = "USB 10/100/1000 LAN";
        lan.device = "en7";
        lan.connected = true;
        mac.setServices(QList<SimulatedMac::NetworkService>{wifi, lan}, "Wi-Fi");
        mac.setProxy(lan.name, Kind::Web, {true, "10.0.0.2", 3128, false});
        mac.setBypassDomains("Wi-Fi", {"*.local", "intranet.example"});

        QString proxies = topLevelProxies(mac);
        QVERIFY2(proxies.contains("HTTPEnable : 0\n") && !proxies.contains("10.0.0.2"), qPrintable(proxies));
        QVERIFY(proxies.contains("ExceptionsList : <array> {\n    0 : *.local\n    1 : intranet.example\n  }\n"));
        // The other connected service still shows in the per-interface section, as on a real Mac.
        const QString full = QString::fromUtf8(tool(mac, "/usr/sbin/scutil", {"--proxy"}).out);
        QVERIFY2(full.contains("en7 : <dictionary> {") && full.contains("HTTPProxy : 10.0.0.2"), qPrintable(full));

        mac.setPrimaryService(lan.name);
        QVERIFY(topLevelProxies(mac).contains("HTTPEnable : 1\n  HTTPPort : 3128\n  HTTPProxy : 10.0.0.2\n"));
    }

    void bypassDomainsRoundTrip_data()
    {
        QTest::addColumn<QStringList>("written");
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<QStringList>("stored");
        QTest::newRow("list") << QStringList{"localhost", "*.local", "127.0.0.1"}
                              << QByteArray("localhost\n*.local\n127.0.0.1\n")
                              << QStringList{"localhost", "*.local", "127.0.0.1"};
        QTest::newRow("Empty clears") << QStringList{"Empty"}
                                      << QByteArray("There aren't any bypass domains set on Wi-Fi.\n") << QStringList{};
    }

    void bypassDomainsRoundTrip()
    {
        QFETCH(QStringList, written);
        QFETCH(QByteArray, read);
        QFETCH(QStringList, stored);
        TestHome home;
        SimulatedMac mac;
        QCOMPARE(networksetup(mac, QStringList{"-setproxybypassdomains", "Wi-Fi"} + written).status, 0);
        QCOMPARE(networksetup(mac, {"-getproxybypassdomains", "Wi-Fi"}).out, read);
        QCOMPARE(mac.bypassDomains("Wi-Fi"), stored);
    }

    void invalidUseFailsWithoutChangingAnything_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("unknown service") << QStringList{"-setwebproxy", "Wi-Fi 2", "127.0.0.1", "19090"}
                                         << QByteArray("Wi-Fi 2 is not a recognized network service.");
        QTest::newRow("port not a number") << QStringList{"-setwebproxy", "Wi-Fi", "127.0.0.1", "port"}
                                           << QByteArray("** Error: The parameters were not valid.");
        QTest::newRow("state not on/off") << QStringList{"-setwebproxystate", "Wi-Fi", "yes"}
                                          << QByteArray("** Error: The parameters were not valid.");
        QTest::newRow("bypass without domains")
            << QStringList{"-setproxybypassdomains", "Wi-Fi"} << QByteArray("** Error: The parameters were not valid.");
        QTest::newRow("unknown verb") << QStringList{"-setftpproxystate", "Wi-Fi", "on"}
                                      << QByteArray("is not a valid command");
    }

    void invalidUseFailsWithoutChangingAnything()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        TestHome home;
        SimulatedMac mac;
        const SimHost::HostState before = mac.state();
        const ProcessResult result = networksetup(mac, arguments);
        QVERIFY(result.status != 0);
        QVERIFY2((result.out + result.err).contains(message), result.out + result.err);
        QCOMPARE(mac.state().toJson(), before.toJson());
    }

    // A service the user may not change accepts the whole batch through one prompt, whatever its name holds.
    void rejectedServiceSucceedsThroughOnePrompt_data()
    {
        QTest::addColumn<QString>("service");
        QTest::newRow("plain") << "Wi-Fi";
        QTest::newRow("single quote") << "Joe's Wi-Fi";
        QTest::newRow("spaces and slashes") << "USB 10/100/1000 LAN";
        QTest::newRow("backslash and double quote") << "Office \"LAN\" \\ 2";
        QTest::newRow("shell characters") << "LAN $(touch pwned); `id` & *";
    }

    void rejectedServiceSucceedsThroughOnePrompt()
    {
        QFETCH(QString, service);
        TestHome home;
        SimulatedMac mac;
        mac.setServices(QStringList{service});
        mac.rejectAsUser(service);

        const ProcessResult asUser = networksetup(mac, {"-setwebproxy", service, "127.0.0.1", "19090", "off"});
        QVERIFY(asUser.status != 0);
        QVERIFY2(asUser.err.contains("admin"), asUser.err);
        QCOMPARE(mac.proxy(service, Kind::Web).enabled, false);
        QCOMPARE(networksetup(mac, {"-getwebproxy", service}).status, 0); // reading stays allowed

        const QList<QStringList> batch{{"-setwebproxy", service, "127.0.0.1", "19090", "off"},
                                       {"-setsocksfirewallproxy", service, "127.0.0.1", "19090", "off"},
                                       {"-setproxybypassdomains", service, "localhost", "*.local"},
                                       {"-setwebproxystate", service, "on"},
                                       {"-setsocksfirewallproxystate", service, "on"}};
        QStringList lines;
        for (const QStringList &arguments : batch)
            lines << networkSetupLine(mac, arguments);
        const QString command = lines.join(u'\n');
        mac.clearRecords();
        const ProcessResult result = osascript(mac, adminScript(command));
        QVERIFY2(result.status == 0, result.err);

        QCOMPARE(mac.promptCount(), 1);
        QCOMPARE(mac.prompts().size(), 1);
        QCOMPARE(mac.prompts().first().command, command);
        QCOMPARE(mac.prompts().first().granted, true);
        const QList<SimulatedMac::Invocation> runs = mac.invocations("networksetup");
        QCOMPARE(runs.size(), batch.size());
        for (qsizetype i = 0; i < batch.size(); ++i) {
            QCOMPARE(runs.at(i).arguments, batch.at(i));
            QVERIFY(runs.at(i).privileged);
        }
        QCOMPARE(mac.proxy(service, Kind::Web), (SimulatedMac::ProxySetting{true, "127.0.0.1", 19090, false}));
        QCOMPARE(mac.proxy(service, Kind::Socks).enabled, true);
        QCOMPARE(mac.bypassDomains(service), (QStringList{"localhost", "*.local"}));
        QVERIFY(topLevelProxies(mac).contains("SOCKSPort : 19090\n"));
        QVERIFY(!QFile::exists(mac.root() + "/pwned"));
    }

    void rejectionCoversOnlyTheNamedVerbs()
    {
        TestHome home;
        SimulatedMac mac;
        mac.rejectAsUser("Wi-Fi", {"-setproxybypassdomains"});
        QCOMPARE(networksetup(mac, {"-setsocksfirewallproxy", "Wi-Fi", "127.0.0.1", "19090", "off"}).status, 0);
        QVERIFY(networksetup(mac, {"-setproxybypassdomains", "Wi-Fi", "localhost"}).status != 0);
        QCOMPARE(mac.bypassDomains("Wi-Fi"), (QStringList{"*.local", "169.254/16"}));
        mac.clearRejections();
        QCOMPARE(networksetup(mac, {"-setproxybypassdomains", "Wi-Fi", "localhost"}).status, 0);
        QCOMPARE(mac.promptCount(), 0);
    }

    void osascriptRunsShellTextLikeTheRealTool_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("administrator");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("errPart");
        QTest::addColumn<int>("prompts");
        QTest::newRow("granted") << "echo privileged=$TOVREN_SIMHOST_PRIVILEGED" << true << false << 0
                                 << QByteArray("privileged=1\n") << QByteArray() << 1;
        QTest::newRow("no prompt without administrator")
            << "echo privileged=$TOVREN_SIMHOST_PRIVILEGED" << false << false << 0 << QByteArray("privileged=\n")
            << QByteArray() << 0;
        QTest::newRow("cancelled") << "echo never" << true << true << 1 << QByteArray()
                                   << QByteArray("execution error: User canceled. (-128)") << 1;
        QTest::newRow("failing command") << "echo boom >&2; exit 3" << true << false << 1 << QByteArray()
                                         << QByteArray("execution error: boom (3)") << 1;
        QTest::newRow("failing silently") << "exit 2" << false << false << 1 << QByteArray()
                                          << QByteArray("The command exited with a non-zero status. (2)") << 0;
        QTest::newRow("backslash and double quote arrive unchanged")
            << "printf '%s' 'a\\b\"c'" << true << false << 0 << QByteArray("a\\b\"c\n") << QByteArray() << 1;
        QTest::newRow("line endings become carriage returns")
            << "printf 'one\\ntwo\\n'" << false << false << 0 << QByteArray("one\rtwo\n") << QByteArray() << 0;
        QTest::newRow("several lines, status of the last")
            << "false\ntrue" << true << false << 0 << QByteArray("\n") << QByteArray() << 1;
        QTest::newRow("macOS search path") << "echo $PATH" << false << false << 0
                                           << QByteArray("/usr/bin:/bin:/usr/sbin:/sbin\n") << QByteArray() << 0;
    }

    void osascriptRunsShellTextLikeTheRealTool()
    {
        QFETCH(QString, command);
        QFETCH(bool, administrator);
        QFETCH(bool, cancelled);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, errPart);
        QFETCH(int, prompts);
        TestHome home;
        SimulatedMac mac;
        mac.setPromptCancelled(cancelled);
        const QString script = administrator
                                   ? adminScript(command)
                                   : QStringLiteral("do shell script \"%1\"").arg(appleScriptEscaped(command));
        const ProcessResult result = osascript(mac, script);
        QCOMPARE(result.status, status);
        // The shell sees PATH below the root, so compare the search path in its macOS spelling.
        QCOMPARE(QByteArray(result.out).replace(mac.root().toUtf8(), ""), out);
        QVERIFY2(result.err.contains(errPart), result.err);
        QCOMPARE(mac.promptCount(), prompts);
        if (cancelled)
            QVERIFY(mac.invocations("sh").isEmpty());
    }

    void terminalScriptsAreRecordedNotRun()
    {
        TestHome home;
        SimulatedMac mac;
        const QString marker = home.path() + "/ran";
        const QString script =
            QStringLiteral("export HTTP_PROXY=http://127.0.0.1:19110\ntouch '%1'\necho \"it's\" \\ok").arg(marker);
        const QString appleScript = QStringLiteral("tell application \"Terminal\"\n  activate\n  do script \"%1\"\n"
                                                   "end tell")
                                        .arg(appleScriptEscaped(script));
        const ProcessResult result = osascript(mac, appleScript);
        QCOMPARE(result.status, 0);
        QCOMPARE(mac.terminalScripts(), QStringList{script});
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(mac.promptCount(), 0);
    }

    // The client's shell texts set PATH to macOS folders; the simulated shell finds the stand-ins there and
    // never this machine's network tools.
    void shellFindsCommandsBelowTheRoot_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("tools");
        QTest::addColumn<QByteArray>("out");
        const QString path = "export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin; ";
        QTest::newRow("stale tunnel listed")
            << "/bin/sh" << QStringList{"-lc", path + "wg show interfaces 2>/dev/null || true"} << true
            << QByteArray("tovren-active\n");
        QTest::newRow("no wireguard-tools")
            << "/bin/sh" << QStringList{"-lc", path + "wg show interfaces 2>/dev/null || true"} << false
            << QByteArray();
        QTest::newRow("ifconfig is the stand-in")
            << "/bin/bash" << QStringList{"-c", path + "command -v ifconfig killall"} << false
            << QByteArray("<root>/sbin/ifconfig\n<root>/usr/bin/killall\n");
        QTest::newRow("$0 and parameters kept")
            << "/bin/sh" << QStringList{"-c", "echo $0 $1", "name", "one"} << false << QByteArray("name one\n");
        QTest::newRow("env looks up below the root too")
            << "/usr/bin/env" << QStringList{"PATH=/usr/sbin:/sbin", "ifconfig", "-l"} << false
            << QByteArray("lo0 en0 bridge0 utun0\n");
    }

    void shellFindsCommandsBelowTheRoot()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(bool, tools);
        QFETCH(QByteArray, out);
        TestHome home;
        SimulatedMac mac;
        mac.setInstalled(SimulatedMac::Package::WireGuardTools, tools);
        mac.addWireGuardTunnel("tovren-active");
        const ProcessResult result = tool(mac, program, arguments);
        QVERIFY2(result.status == 0, result.err);
        QCOMPARE(result.out, QByteArray(out).replace("<root>", mac.root().toUtf8()));
    }

    void wireGuardTunnelComesUpAndDown()
    {
        TestHome home;
        SimulatedMac mac({.wireGuardTools = true, .homebrewBash = true});
        const QString config = home.path() + "/tovren-active.conf";
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Interface]\nAddress = 10.7.0.2/32\n[Peer]\nAllowedIPs = 0.0.0.0/0, ::/0\n");
        file.close();
        const auto wgQuick = [&](const QString &action) {
            return QStringLiteral(
                       "export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin; %1 %2 %3 %4")
                .arg(quoted(mac.path("/opt/homebrew/bin/bash")), quoted(mac.path("/opt/homebrew/bin/wg-quick")),
                     quoted(action), quoted(config));
        };

        const ProcessResult asUser = tool(mac, "/opt/homebrew/bin/wg-quick", {"up", config});
        QVERIFY(asUser.status != 0);
        QVERIFY2(asUser.err.contains("sudo"), asUser.err);

        ProcessResult result = osascript(mac, adminScript(wgQuick("up")));
        QVERIFY2(result.status == 0, result.err);
        QCOMPARE(mac.wireGuardTunnels(), QStringList{"tovren-active"});
        const QString interfaces = QString::fromUtf8(tool(mac, "/sbin/ifconfig", {}).out);
        QVERIFY2(interfaces.contains("utun0: flags=8051<UP,POINTOPOINT,RUNNING,MULTICAST>") &&
                     interfaces.contains("inet 10.7.0.2 --> 10.7.0.2"),
                 qPrintable(interfaces));
        const QString routes = QString::fromUtf8(tool(mac, "/usr/sbin/netstat", {"-rn", "-f", "inet"}).out);
        QVERIFY2(routes.contains(QRegularExpression("\n0/1 +utun0 ")) &&
                     routes.contains(QRegularExpression("\n128.0/1 +utun0 ")),
                 qPrintable(routes));
        QCOMPARE(tool(mac, "/opt/homebrew/bin/wg", {"show", "interfaces"}).out, QByteArray("tovren-active\n"));

        result = osascript(mac, adminScript(wgQuick("up")));
        QCOMPARE(result.status, 1);
        QVERIFY2(result.err.contains("wg-quick: `tovren-active' already exists"), result.err);

        mac.queueWgQuickFailure("down", "wg-quick: Version mismatch: bash 3 detected, when bash 4+ required");
        result = osascript(mac, adminScript(wgQuick("down")));
        QVERIFY2(result.err.contains("Version mismatch"), result.err);
        QCOMPARE(mac.wireGuardTunnels(), QStringList{"tovren-active"});

        result = osascript(mac, adminScript(wgQuick("down")));
        QVERIFY2(result.status == 0, result.err);
        QVERIFY(mac.wireGuardTunnels().isEmpty());
        result = osascript(mac, adminScript(wgQuick("down")));
        QVERIFY2(result.err.contains("is not a WireGuard interface"), result.err);
        QVERIFY(!tool(mac, "/usr/sbin/netstat", {"-rn", "-f", "inet"}).out.contains("utun"));
    }

    void repairScriptRunsAgainstStandIns()
    {
        TestHome home;
        SimulatedMac mac({.wireGuardTools = true});
        mac.addWireGuardTunnel("tovren-active");
        const QString command =
            QStringList{"export PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
                        "wg-quick down 'tovren-active' >/dev/null 2>&1 || true",
                        "ifconfig 'tovren-active' destroy >/dev/null 2>&1 || true",
                        "dscacheutil -flushcache >/dev/null 2>&1 || true",
                        "killall -HUP mDNSResponder >/dev/null 2>&1 || true"}
                .join(u'\n');
        const ProcessResult result = osascript(mac, adminScript(command));
        QVERIFY2(result.status == 0, result.err);
        QVERIFY(mac.wireGuardTunnels().isEmpty());
        for (const char *name : {"wg-quick", "ifconfig", "dscacheutil", "killall"}) {
            const QList<SimulatedMac::Invocation> runs = mac.invocations(name);
            QCOMPARE(runs.size(), 1);
            QVERIFY(runs.first().privileged);
        }
    }

    void brewInstallsComponentsOrFails()
    {
        TestHome home;
        SimulatedMac mac({.homebrew = true});
        QVERIFY(!mac.isInstalled(SimulatedMac::Package::WireGuardTools));
        mac.setBrewInstallFailure("Error: Cannot download wireguard-tools: network unreachable");
        ProcessResult result = tool(mac, "/opt/homebrew/bin/brew", {"install", "bash", "wireguard-tools"});
        QCOMPARE(result.status, 1);
        QVERIFY(result.err.contains("network unreachable"));
        QVERIFY(!mac.isInstalled(SimulatedMac::Package::WireGuardTools));

        mac.setBrewInstallFailure({});
        result = tool(mac, "/opt/homebrew/bin/brew", {"install", "bash", "wireguard-tools"});
        QVERIFY2(result.status == 0, result.err);
        QVERIFY(mac.isInstalled(SimulatedMac::Package::WireGuardTools));
        QVERIFY(mac.isInstalled(SimulatedMac::Package::HomebrewBash));

        result = osascript(mac, adminScript(quoted(mac.path("/opt/homebrew/bin/brew")) + " install bash"));
        QCOMPARE(result.status, 1);
        QVERIFY2(result.err.contains("Running Homebrew as root"), result.err);
    }

    void machineToolsAnswerInMacShape()
    {
        TestHome home;
        SimulatedMac mac;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        const QString port = QString::number(listener.serverPort());

        ProcessResult result = tool(mac, "/usr/sbin/lsof", {"-nP", "-iTCP:" + port, "-sTCP:LISTEN", "-t"});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out.trimmed(), pid.toUtf8());
        // Field output names the descriptor too, as macOS's lsof prints it; a reversed range is refused.
        result = tool(mac, "/usr/sbin/lsof", {"-nP", "-iTCP:" + port + u'-' + port, "-sTCP:LISTEN", "-F", "pn"});
        QVERIFY2(QRegularExpression("^p" + pid + "\\nf[0-9]+\\nn127.0.0.1:" + port + "\\n$")
                     .match(QString::fromUtf8(result.out))
                     .hasMatch(),
                 result.out);
        result = tool(mac, "/usr/sbin/lsof", {"-nP", "-iTCP:19110-19090", "-sTCP:LISTEN", "-Fpn"});
        QCOMPARE(result.status, 1);
        QVERIFY2(result.err.contains("unacceptable port"), result.err);
        listener.close();
        result = tool(mac, "/usr/sbin/lsof", {"-nP", "-iTCP:" + port, "-sTCP:LISTEN", "-t"});
        QVERIFY(result.status != 0);
        QVERIFY(result.out.trimmed().isEmpty());

        QCOMPARE(tool(mac, "/bin/ps", {"-p", pid, "-o", "pid="}).out.trimmed(), pid.toUtf8());
        QVERIFY(tool(mac, "/bin/ps", {"-p", pid, "-o", "command="}).out.contains("test_devstack_host"));

        QProcess sleeper;
        sleeper.start(mac.path("/bin/sleep"), {"30"});
        QVERIFY(sleeper.waitForStarted());
        const QString sleeperPid = QString::number(sleeper.processId());
        // killall is a stand-in: it never signals anything on this machine.
        QCOMPARE(tool(mac, "/usr/bin/killall", {"sleep"}).status, 1);
        QCOMPARE(sleeper.state(), QProcess::Running);
        QCOMPARE(tool(mac, "/bin/kill", {sleeperPid}).status, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sleeper.state(), QProcess::NotRunning, 5000);
        QVERIFY(tool(mac, "/bin/ps", {"-p", sleeperPid, "-o", "pid="}).status != 0);

        QCOMPARE(mac.invocations("lsof").size(), 4);
        QCOMPARE(mac.invocations("kill").first().arguments, QStringList{sleeperPid});
    }

    void desktopAndNetworkViews()
    {
        TestHome home;
        SimulatedMac mac;
        QCOMPARE(tool(mac, "/usr/bin/open", {"-R", home.path()}).status, 0);
        const ProcessResult missing = tool(mac, "/usr/bin/open", {"-R", home.path() + "/nothing.conf"});
        QCOMPARE(missing.status, 1);
        QVERIFY(missing.err.contains("does not exist"));

        mac.setRoutes({{"default", "192.168.1.1", "UGScg", "en0", ""},
                       {"0.0.0.0/1", "198.18.0.1", "UGSc", "utun3", ""},
                       {"198.18.0.0/16", "link#20", "UCS", "utun3", "!"}});
        const QString routes = QString::fromUtf8(tool(mac, "/usr/sbin/netstat", {"-rn", "-f", "inet"}).out);
        QVERIFY(routes.startsWith("Routing tables\n\nInternet:\nDestination        Gateway"));
        QVERIFY2(routes.contains(QRegularExpression("\n0/1 +198\\.18\\.0\\.1 +UGSc +utun3")), qPrintable(routes));
        QVERIFY2(routes.contains(QRegularExpression("\n198\\.18\\.0/16 +link#20 ")), qPrintable(routes));

        mac.addExtraInterface({"utun3", "198.18.0.1", true});
        QCOMPARE(tool(mac, "/sbin/ifconfig", {"-l"}).out, QByteArray("lo0 en0 bridge0 utun3\n"));
        const ProcessResult destroy = tool(mac, "/sbin/ifconfig", {"utun3", "destroy"});
        QVERIFY(destroy.err.contains("Operation not permitted"));
        QVERIFY(tool(mac, "/sbin/ifconfig", {"nope0"}).status != 0);
    }

    void environmentIsRestored()
    {
        TestHome home;
        qputenv("TOVREN_HOST_ROOT", "/previous");
        {
            SimulatedMac mac;
            QCOMPARE(qgetenv("TOVREN_HOST_ROOT"), QFile::encodeName(mac.root()));
            QVERIFY(QFileInfo(mac.path("/opt/homebrew/bin/sing-box")).isExecutable());
            QVERIFY(!QFileInfo::exists(mac.path("/opt/homebrew/bin/brew")));
        }
        QCOMPARE(qgetenv("TOVREN_HOST_ROOT"), QByteArray("/previous"));
        qunsetenv("TOVREN_HOST_ROOT");
        {
            SimulatedMac mac;
        }
        QVERIFY(!qEnvironmentVariableIsSet("TOVREN_HOST_ROOT"));
    }
};

QTEST_GUILESS_MAIN(TestHostTools)
#include "test_host_tools.moc"
