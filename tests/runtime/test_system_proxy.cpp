#include "base/TovrenTrafficRules.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/ProxySnapshotFile.h"
#include "runtime/SystemProxySettings.h"
#include "testkit/AwaitTask.h"
#include "testkit/SimulatedMac.h"
#include "testkit/TestHome.h"

#include <QFile>
#include <QTest>

using Kind = SimulatedMac::ProxyKind;
using Setting = SimulatedMac::ProxySetting;
Q_DECLARE_METATYPE(Setting)

namespace {

const QString enabledNote = QStringLiteral("已为 %1 启用 HTTP/HTTPS/SOCKS 系统代理。");
const QString directNote = QStringLiteral("国内图片与 CDN 域名已加入系统代理直连保护。");
const QString failedNote = QStringLiteral("部分网络服务的系统代理增强未成功：%1。");

} // namespace

class TestSystemProxy : public QObject
{
    Q_OBJECT

    std::optional<TestHome> m_home; // one per test: the saved settings live there
    std::optional<SimulatedMac> m_mac;
    std::optional<MacOSSystemProxyManager> m_manager;

    SimulatedMac &mac() { return *m_mac; }
    QStringList enable(int port) { return awaitTask(m_manager->enableLocalProxy(port)); }
    bool pointsAt(const QString &service, int port)
    {
        return std::ranges::all_of(std::initializer_list<Kind>{Kind::Web, Kind::SecureWeb, Kind::Socks},
                                   [&](Kind kind) {
                                       return mac().proxy(service, kind) == Setting{true, "127.0.0.1", port, false};
                                   });
    }

private Q_SLOTS:
    void init()
    {
        m_home.emplace();
        m_mac.emplace();
        QVERIFY2(m_mac->isValid(), qPrintable(m_mac->errorString()));
        m_manager.emplace();
    }
    void cleanup()
    {
        m_manager.reset();
        m_mac.reset();
        m_home.reset();
    }

    void readingTheToolsOutput()
    {
        using namespace SystemProxy;
        QCOMPARE(parseProxyState("Enabled: YES\nServer: fe80::1\nPort: 8080\nAuthenticated Proxy Enabled: 0\n"),
                 (ProxyState{true, "fe80::1", 8080}));
        // Keys compare exactly; an unreadable port, or one outside the TCP range, is 0.
        QCOMPARE(parseProxyState("enabled: Yes\nServer: a\nPort: 80x\n"), (ProxyState{false, "a", 0}));
        QCOMPARE(parseProxyState("Enabled: Yes\nServer: a\nPort: 99999\n"), (ProxyState{true, "a", 0}));
        QCOMPARE(parseProxyState("Enabled: Yes\nServer: a\nPort: -8080\n"), (ProxyState{true, "a", 0}));
    }

    // Only enabled services are configured; the service's own bypass entries come first, then the fixed
    // domestic domains not already there in any letter case.
    void enableConfiguresEveryEnabledService()
    {
        mac().setServices(QStringList{"Wi-Fi", "*Bluetooth PAN", "USB LAN", "Dock"});
        mac().setBypassDomains("Wi-Fi", {"Intranet.Example", " *.LOCAL ", "QQ.COM", "intranet.example"});
        QCOMPARE(enable(19093), (QStringList{enabledNote.arg("Wi-Fi、USB LAN、Dock"), directNote}));
        for (const QString &service : QStringList{"Wi-Fi", "USB LAN", "Dock"})
            QVERIFY(pointsAt(service, 19093));
        QCOMPARE(mac().proxy("Bluetooth PAN", Kind::Web), Setting{});
        QCOMPARE(mac().promptCount(), 0);
        QStringList expected{"Intranet.Example", "*.LOCAL", "QQ.COM"};
        for (const QString &domain : TovrenTrafficRules::domesticProxyBypassDomains()) {
            if (domain != "*.local" && domain != "qq.com")
                expected << domain;
        }
        QCOMPARE(mac().bypassDomains("Wi-Fi"), expected);

        mac().setServices(QStringList{"*Bluetooth PAN"});
        QCOMPARE(enable(19093), QStringList{"系统代理增强未启用：未读取到可用网络服务。"});
    }

    // One service failing as the user is reported without a prompt; when every service fails, one prompt
    // covers all of them, and what reads back decides.
    void rejectingServices_data()
    {
        QTest::addColumn<bool>("all");
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("one rejects") << false << false;
        QTest::newRow("all reject, granted") << true << false;
        QTest::newRow("all reject, cancelled") << true << true;
    }
    void rejectingServices()
    {
        QFETCH(bool, all);
        QFETCH(bool, cancelled);
        const QString odd = QStringLiteral("Joe's \"LAN\" $(x)");
        mac().setServices(QStringList{"Wi-Fi", odd});
        mac().setBypassDomains("Wi-Fi", {"intranet.example"});
        all ? mac().rejectAsUser(odd) : mac().rejectAsUser(odd, {"-setsecurewebproxystate"});
        if (all)
            mac().rejectAsUser("Wi-Fi");
        mac().setPromptCancelled(cancelled);
        const QStringList notes = enable(19091);
        QCOMPARE(mac().promptCount(), all ? 1 : 0);
        if (!all) {
            QCOMPARE(notes, (QStringList{enabledNote.arg("Wi-Fi"), directNote, failedNote.arg(odd)}));
            QCOMPARE(mac().proxy(odd, Kind::Socks), (Setting{true, "127.0.0.1", 19091, false})); // the rest ran
            return;
        }
        QCOMPARE(mac().prompts().first().command.count('\n'), 13); // 2 services x 7 commands
        if (cancelled) {
            QCOMPARE(notes, QStringList{failedNote.arg("Wi-Fi、" + odd)});
            QCOMPARE(mac().proxy("Wi-Fi", Kind::Web), Setting{});
            return;
        }
        QCOMPARE(notes, (QStringList{enabledNote.arg("Wi-Fi、" + odd), directNote}));
        QVERIFY(pointsAt("Wi-Fi", 19091) && pointsAt(odd, 19091));
        QCOMPARE(mac().bypassDomains("Wi-Fi").first(), QStringLiteral("intranet.example"));
        QCOMPARE(mac().bypassDomains("Wi-Fi").size(), 129);
    }

    // Disable puts back what was there before the first enable: a setting that already pointed at one of
    // the client's ports (a crashed run) is switched off, anything else is set back.
    void disableRestoresTheSettingsFromBeforeTheFirstEnable_data()
    {
        QTest::addColumn<Setting>("saved");
        QTest::addColumn<Setting>("restored");
        const Setting off{false, "127.0.0.1", 19092, false};
        QTest::newRow("owned 19090") << Setting{true, "127.0.0.1", 19090, false} << off;
        QTest::newRow("owned 19109") << Setting{true, "127.0.0.1", 19109, false} << off;
        QTest::newRow("19110 is not ours")
            << Setting{true, "127.0.0.1", 19110, false} << Setting{true, "127.0.0.1", 19110, false};
        QTest::newRow("authentication off")
            << Setting{true, "10.0.0.2", 1080, true} << Setting{true, "10.0.0.2", 1080, false};
        QTest::newRow("port 0") << Setting{true, "10.0.0.2", 0, false} << off;
        QTest::newRow("disabled stays off") << Setting{false, "10.0.0.3", 3128, false} << off;
    }
    void disableRestoresTheSettingsFromBeforeTheFirstEnable()
    {
        QFETCH(Setting, saved);
        QFETCH(Setting, restored);
        for (Kind kind : {Kind::Web, Kind::SecureWeb, Kind::Socks})
            mac().setProxy("Wi-Fi", kind, saved);
        mac().setBypassDomains("Wi-Fi", {});
        enable(19092);
        QVERIFY(pointsAt("Wi-Fi", 19092));
        enable(19092); // re-applying keeps the first snapshot
        QVERIFY(m_manager->hasSnapshot());
        mac().clearRecords();
        awaitTask(m_manager->disableLocalProxy(false));
        QVERIFY(!m_manager->hasSnapshot());
        for (Kind kind : {Kind::Web, Kind::SecureWeb, Kind::Socks})
            QCOMPARE(mac().proxy("Wi-Fi", kind), restored);
        QList<QStringList> runs;
        for (const auto &run : mac().invocations("networksetup"))
            runs << run.arguments;
        QVERIFY(runs.contains(QStringList{"-setproxybypassdomains", "Wi-Fi", "Empty"}));
    }

    // Without a snapshot (after a crash) the sweep switches off whatever still points at the client's ports,
    // and leaves the rest alone; a failing change may ask for authorization, once per command.
    void sweepSwitchesOffLeftoversOnly_data()
    {
        QTest::addColumn<bool>("rejecting");
        QTest::addColumn<bool>("allowAuthorization");
        QTest::addColumn<int>("prompts");
        QTest::newRow("as the user") << false << true << 0;
        QTest::newRow("rejected, no prompt allowed") << true << false << 0;
        QTest::newRow("rejected, one prompt per change") << true << true << 2;
    }
    void sweepSwitchesOffLeftoversOnly()
    {
        QFETCH(bool, rejecting);
        QFETCH(bool, allowAuthorization);
        QFETCH(int, prompts);
        const bool off = !rejecting || allowAuthorization;
        mac().setProxy("Wi-Fi", Kind::Web, {true, "127.0.0.1", 19095, false});
        mac().setProxy("Wi-Fi", Kind::SecureWeb, {true, "127.0.0.1", 19110, false});
        mac().setProxy("Wi-Fi", Kind::Socks, {true, "127.0.0.1", 19100, false});
        const QStringList bypass = mac().bypassDomains("Wi-Fi");
        if (rejecting)
            mac().rejectAsUser("Wi-Fi");
        awaitTask(m_manager->disableLocalProxy(allowAuthorization));
        QCOMPARE(mac().promptCount(), prompts);
        QCOMPARE(mac().proxy("Wi-Fi", Kind::Web), (Setting{!off, "127.0.0.1", 19095, false}));
        QCOMPARE(mac().proxy("Wi-Fi", Kind::Socks), (Setting{!off, "127.0.0.1", 19100, false}));
        QCOMPARE(mac().proxy("Wi-Fi", Kind::SecureWeb), (Setting{true, "127.0.0.1", 19110, false}));
        QCOMPARE(mac().bypassDomains("Wi-Fi"), bypass);
    }

    // A restore that fails as the user asks once per kind and once for the bypass list; without a prompt
    // allowed (the guard, quitting), what failed stays saved for a later run that may ask.
    void restoreAsksOncePerFailedKind()
    {
        mac().setProxy("Wi-Fi", Kind::Web, {true, "10.0.0.2", 8080, false});
        enable(19090);
        mac().rejectAsUser("Wi-Fi");
        awaitTask(MacOSSystemProxyManager().disableLocalProxy(false));
        QVERIFY(QFile::exists(ProxySnapshotFile::path()));
        awaitTask(m_manager->disableLocalProxy(true));
        QVERIFY(!QFile::exists(ProxySnapshotFile::path()));
        QCOMPARE(mac().promptCount(), 4);
        QCOMPARE(mac().proxy("Wi-Fi", Kind::Web), (Setting{true, "10.0.0.2", 8080, false}));
        QCOMPARE(mac().proxy("Wi-Fi", Kind::Socks).enabled, false);
        QCOMPARE(mac().bypassDomains("Wi-Fi"), (QStringList{"*.local", "169.254/16"}));
    }
};

QTEST_GUILESS_MAIN(TestSystemProxy)
#include "test_system_proxy.moc"
