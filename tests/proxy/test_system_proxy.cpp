#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/ProxySnapshotFile.h"
#include "runtime/SystemProxySettings.h"
#include "tunnel/TovrenTrafficRules.h"

#include <QFile>
#include <QTest>

using Kind = SimulatedMac::ProxyKind;
using Setting = SimulatedMac::ProxySetting;

namespace {

const QList<Kind> allKinds{Kind::Web, Kind::SecureWeb, Kind::Socks};
const QString enabledNote = QStringLiteral("已为 %1 启用 HTTP/HTTPS/SOCKS 系统代理。");
const QString directNote = QStringLiteral("国内图片与 CDN 域名已加入系统代理直连保护。");
const QString failedNote = QStringLiteral("部分网络服务的系统代理增强未成功：%1。");

bool pointsAt(const SimulatedMac &mac, const QString &service, int port)
{
    for (Kind kind : allKinds) {
        if (mac.proxy(service, kind) != Setting{true, "127.0.0.1", port, false})
            return false;
    }
    return true;
}

} // namespace

namespace SimHost {
char *toString(const ProxySetting &setting)
{
    return qstrdup(QStringLiteral("%1 %2:%3%4")
                       .arg(setting.enabled ? "on" : "off", setting.server)
                       .arg(setting.port)
                       .arg(setting.authenticated ? " authenticated" : "")
                       .toUtf8());
}
} // namespace SimHost

Q_DECLARE_METATYPE(Setting)

class TestSystemProxy : public QObject
{
    Q_OBJECT

private:
    std::optional<TestHome> m_home; // one per test: the saved settings live there

private Q_SLOTS:
    void init() { m_home.emplace(); }
    void readingTheToolsOutput()
    {
        using namespace SystemProxy;
        QCOMPARE(parseNetworkServices("An asterisk (*) denotes that a network service is disabled.\n Wi-Fi \n"
                                      "*Thunderbolt Bridge\n\nJoe's LAN\n"),
                 (QStringList{"Wi-Fi", "Joe's LAN"}));
        QCOMPARE(parseProxyState("Enabled: YES\nServer: fe80::1\nPort: 8080\nAuthenticated Proxy Enabled: 0\n"),
                 (ProxyState{true, "fe80::1", 8080}));
        // Keys compare exactly; an unreadable port, or one outside the TCP range, is 0.
        QCOMPARE(parseProxyState("enabled: Yes\nServer: a\nPort: 80x\n"), (ProxyState{false, "a", 0}));
        QCOMPARE(parseProxyState("Enabled: Yes\nServer: a\nPort: 99999\n"), (ProxyState{true, "a", 0}));
        QCOMPARE(parseProxyState("Enabled: Yes\nServer: a\nPort: -8080\n"), (ProxyState{true, "a", 0}));
        QCOMPARE(parseProxyState("Enabled: No\nno colon here\n"), ProxyState{});
        QCOMPARE(parseBypassDomains("There aren't any bypass domains set on Wi-Fi.\n"), QStringList());
        QCOMPARE(parseBypassDomains(" *.local\n\n169.254/16\n"), (QStringList{"*.local", "169.254/16"}));
        QCOMPARE(setBypassArguments("Wi-Fi", {}), (QStringList{"-setproxybypassdomains", "Wi-Fi", "Empty"}));
    }

    // The service's own entries first, then the fixed domestic domains that are not already there in any
    // letter case; the first spelling of an entry wins.
    void bypassListIsMergedInOrder()
    {
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        mac.setBypassDomains("Wi-Fi", {"Intranet.Example", " *.LOCAL ", "QQ.COM", "intranet.example"});
        MacOSSystemProxyManager manager;
        awaitTask(manager.enableLocalProxy(19090));

        QStringList expected{"Intranet.Example", "*.LOCAL", "QQ.COM"};
        for (const QString &domain : TovrenTrafficRules::domesticProxyBypassDomains()) {
            if (domain != "*.local" && domain != "qq.com")
                expected << domain;
        }
        QCOMPARE(mac.bypassDomains("Wi-Fi"), expected);
        QCOMPARE(SystemProxy::mergedBypassDomains({}), TovrenTrafficRules::domesticProxyBypassDomains());
    }

    // The heading and disabled services are not services to configure.
    void onlyEnabledServicesAreConfigured()
    {
        SimulatedMac mac;
        mac.setServices(QStringList{"Wi-Fi", "*Bluetooth PAN", "USB LAN", "Dock", "Hotspot"});
        MacOSSystemProxyManager manager;
        const QStringList notes = awaitTask(manager.enableLocalProxy(19093));
        QCOMPARE(notes, (QStringList{enabledNote.arg("Wi-Fi、USB LAN、Dock"), directNote}));
        for (const QString &service : QStringList{"Wi-Fi", "USB LAN", "Dock", "Hotspot"})
            QVERIFY(pointsAt(mac, service, 19093));
        QCOMPARE(mac.proxy("Bluetooth PAN", Kind::Web), Setting{});
        QCOMPARE(mac.promptCount(), 0);

        mac.setServices(QStringList{"*Bluetooth PAN"});
        QCOMPARE(awaitTask(manager.enableLocalProxy(19093)), QStringList{"系统代理增强未启用：未读取到可用网络服务。"});
    }

    void oneRejectingServiceIsReportedWithoutPrompt()
    {
        SimulatedMac mac;
        mac.setServices(QStringList{"Wi-Fi", "Joe's LAN"});
        mac.rejectAsUser("Joe's LAN", {"-setsecurewebproxystate"});
        MacOSSystemProxyManager manager;
        const QStringList notes = awaitTask(manager.enableLocalProxy(19090));
        QCOMPARE(notes, (QStringList{enabledNote.arg("Wi-Fi"), directNote, failedNote.arg("Joe's LAN")}));
        QCOMPARE(mac.promptCount(), 0);
        QVERIFY(pointsAt(mac, "Wi-Fi", 19090));
        // Its other commands still ran.
        QCOMPARE(mac.proxy("Joe's LAN", Kind::Socks), (Setting{true, "127.0.0.1", 19090, false}));
    }

    // When every service fails as the user, one prompt covers all of them, and what reads back decides.
    void allRejectingServicesShareOnePrompt_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("granted") << false;
        QTest::newRow("cancelled") << true;
    }
    void allRejectingServicesShareOnePrompt()
    {
        QFETCH(bool, cancelled);
        SimulatedMac mac;
        mac.setServices(QStringList{"Wi-Fi", "Joe's \"LAN\" $(x)"});
        mac.setBypassDomains("Wi-Fi", {"intranet.example"});
        mac.rejectAsUser("Wi-Fi");
        mac.rejectAsUser("Joe's \"LAN\" $(x)");
        mac.setPromptCancelled(cancelled);
        MacOSSystemProxyManager manager;
        const QStringList notes = awaitTask(manager.enableLocalProxy(19091));

        QCOMPARE(mac.promptCount(), 1);
        QCOMPARE(mac.prompts().first().command.count('\n'), 13); // 2 services x 7 commands
        if (cancelled) {
            QCOMPARE(notes, QStringList{failedNote.arg("Wi-Fi、Joe's \"LAN\" $(x)")});
            QCOMPARE(mac.proxy("Wi-Fi", Kind::Web), Setting{});
            return;
        }
        QCOMPARE(notes, (QStringList{enabledNote.arg("Wi-Fi、Joe's \"LAN\" $(x)"), directNote}));
        QVERIFY(pointsAt(mac, "Wi-Fi", 19091));
        QVERIFY(pointsAt(mac, "Joe's \"LAN\" $(x)", 19091));
        // The service's own bypass entries survive the privileged path too.
        QCOMPARE(mac.bypassDomains("Wi-Fi").first(), QStringLiteral("intranet.example"));
        QCOMPARE(mac.bypassDomains("Wi-Fi").size(), 129);
    }

    // Disable puts back what was there before the first enable: a setting that already pointed at one of
    // the client's ports (a crashed run) is switched off, anything else is set back.
    void disableRestoresTheSettingsFromBeforeTheFirstEnable_data()
    {
        QTest::addColumn<Setting>("saved");
        QTest::addColumn<Setting>("restored");
        QTest::newRow("owned 19090 is switched off")
            << Setting{true, "127.0.0.1", 19090, false} << Setting{false, "127.0.0.1", 19092, false};
        QTest::newRow("owned 19109 is switched off")
            << Setting{true, "127.0.0.1", 19109, false} << Setting{false, "127.0.0.1", 19092, false};
        QTest::newRow("19110 is not ours")
            << Setting{true, "127.0.0.1", 19110, false} << Setting{true, "127.0.0.1", 19110, false};
        QTest::newRow("another proxy, authentication off")
            << Setting{true, "10.0.0.2", 1080, true} << Setting{true, "10.0.0.2", 1080, false};
        QTest::newRow("port 0 is switched off")
            << Setting{true, "10.0.0.2", 0, false} << Setting{false, "127.0.0.1", 19092, false};
        QTest::newRow("disabled stays off")
            << Setting{false, "10.0.0.3", 3128, false} << Setting{false, "127.0.0.1", 19092, false};
    }
    void disableRestoresTheSettingsFromBeforeTheFirstEnable()
    {
        QFETCH(Setting, saved);
        QFETCH(Setting, restored);
        SimulatedMac mac;
        for (Kind kind : allKinds)
            mac.setProxy("Wi-Fi", kind, saved);
        mac.setBypassDomains("Wi-Fi", {});
        MacOSSystemProxyManager manager;
        awaitTask(manager.enableLocalProxy(19092));
        QVERIFY(pointsAt(mac, "Wi-Fi", 19092));
        awaitTask(manager.enableLocalProxy(19092)); // re-applying keeps the first snapshot
        QVERIFY(manager.hasSnapshot());

        mac.clearRecords();
        awaitTask(manager.disableLocalProxy(false));
        QVERIFY(!manager.hasSnapshot());
        for (Kind kind : allKinds)
            QCOMPARE(mac.proxy("Wi-Fi", kind), restored);
        QCOMPARE(mac.bypassDomains("Wi-Fi"), QStringList());
        bool wroteEmpty = false;
        for (const auto &run : mac.invocations("networksetup"))
            wroteEmpty |= run.arguments == QStringList{"-setproxybypassdomains", "Wi-Fi", "Empty"};
        QVERIFY(wroteEmpty);
    }

    // Without a snapshot (after a crash) the sweep switches off whatever still points at the client's ports,
    // and leaves the rest alone; a failing change may ask for authorization, once per command.
    void sweepSwitchesOffLeftoversOnly_data()
    {
        QTest::addColumn<bool>("rejecting");
        QTest::addColumn<bool>("allowAuthorization");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<bool>("switchedOff");
        QTest::newRow("as the user") << false << true << 0 << true;
        QTest::newRow("rejected, no prompt allowed") << true << false << 0 << false;
        QTest::newRow("rejected, one prompt per change") << true << true << 2 << true;
    }
    void sweepSwitchesOffLeftoversOnly()
    {
        QFETCH(bool, rejecting);
        QFETCH(bool, allowAuthorization);
        QFETCH(int, prompts);
        QFETCH(bool, switchedOff);
        SimulatedMac mac;
        mac.setProxy("Wi-Fi", Kind::Web, {true, "127.0.0.1", 19095, false});
        mac.setProxy("Wi-Fi", Kind::SecureWeb, {true, "127.0.0.1", 19110, false});
        mac.setProxy("Wi-Fi", Kind::Socks, {true, "127.0.0.1", 19100, false});
        const QStringList bypass = mac.bypassDomains("Wi-Fi");
        if (rejecting)
            mac.rejectAsUser("Wi-Fi");
        MacOSSystemProxyManager manager;
        awaitTask(manager.disableLocalProxy(allowAuthorization));

        QCOMPARE(mac.promptCount(), prompts);
        QCOMPARE(mac.proxy("Wi-Fi", Kind::Web), (Setting{!switchedOff, "127.0.0.1", 19095, false}));
        QCOMPARE(mac.proxy("Wi-Fi", Kind::Socks), (Setting{!switchedOff, "127.0.0.1", 19100, false}));
        QCOMPARE(mac.proxy("Wi-Fi", Kind::SecureWeb), (Setting{true, "127.0.0.1", 19110, false}));
        QCOMPARE(mac.bypassDomains("Wi-Fi"), bypass);
    }

    // A restore that fails as the user asks once per kind and once for the bypass list.
    void restoreAsksOncePerFailedKind()
    {
        SimulatedMac mac;
        mac.setProxy("Wi-Fi", Kind::Web, {true, "10.0.0.2", 8080, false});
        MacOSSystemProxyManager manager;
        awaitTask(manager.enableLocalProxy(19090));
        mac.rejectAsUser("Wi-Fi");
        // Without a prompt allowed (the guard, quitting), what failed stays saved for a later run that may ask.
        awaitTask(MacOSSystemProxyManager().disableLocalProxy(false));
        QVERIFY(QFile::exists(ProxySnapshotFile::path()));
        awaitTask(manager.disableLocalProxy(true));
        QVERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QCOMPARE(mac.promptCount(), 4);
        QCOMPARE(mac.proxy("Wi-Fi", Kind::Web), (Setting{true, "10.0.0.2", 8080, false}));
        QCOMPARE(mac.proxy("Wi-Fi", Kind::Socks).enabled, false);
        QCOMPARE(mac.bypassDomains("Wi-Fi"), (QStringList{"*.local", "169.254/16"}));
    }
};

QTEST_GUILESS_MAIN(TestSystemProxy)
#include "test_system_proxy.moc"
