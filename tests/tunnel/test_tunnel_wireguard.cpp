// The WireGuard path on the simulated Mac: wg-quick (or its absence), administrator prompts, the repair of a
// stale tunnel, and the direct probe answered by a local server.
#include "TunnelFixtures.h"

#include "tunnel/TunnelCoordinator.h"
#include "tunnel/WireGuardCommands.h"

#include "core/ProductPaths.h"

#include "SimulatedMac.h"
#include "TestHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

using namespace TunnelFixtures;

namespace {

QString activeConf()
{
    return ProductPaths::protocolsDirectory() + QStringLiteral("/tovren-active.conf");
}

QString wgQuick(const QString &action, bool homebrewBash)
{
    return WireGuardCommands::wgQuickCommand(
        QStringLiteral("/opt/homebrew/bin/wg-quick"),
        homebrewBash ? QStringLiteral("/opt/homebrew/bin/bash") : QStringLiteral("/bin/bash"), action, activeConf());
}

QStringList promptTexts(const SimulatedMac &mac)
{
    QStringList texts;
    for (const SimulatedMac::PromptRecord &prompt : mac.prompts())
        texts << prompt.command;
    return texts;
}

SimulatedMac::Options withTools(bool homebrewBash = false)
{
    SimulatedMac::Options options;
    options.wireGuardTools = true;
    options.homebrewBash = homebrewBash;
    return options;
}

} // namespace

class TestTunnelWireGuard : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ProbeServer> m_direct;
    std::unique_ptr<SimulatedMac> m_mac;
    std::unique_ptr<TunnelCoordinator> m_tunnel;

    void startMac(const SimulatedMac::Options &options)
    {
        m_mac = std::make_unique<SimulatedMac>(options);
        QVERIFY2(m_mac->isValid(), qPrintable(m_mac->errorString()));
    }

    TunnelActivation connect(OutboundMode mode = OutboundMode::smart)
    {
        return awaitTask(m_tunnel->connect(wireGuardConfiguration(), Endpoint{}, mode, false, false));
    }

    void pointDirectProbesAt(int port)
    {
        qputenv("TOVREN_PROBE_TARGETS",
                QStringLiteral("direct=http://127.0.0.1:%1/generate_204 http://127.0.0.1:%1/robots.txt")
                    .arg(port)
                    .toUtf8());
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_direct = std::make_unique<ProbeServer>();
        QVERIFY(m_direct->start());
        pointDirectProbesAt(m_direct->serverPort());
        m_tunnel = std::make_unique<TunnelCoordinator>();
    }

    void cleanup()
    {
        m_tunnel.reset();
        m_mac.reset();
        qunsetenv("TOVREN_PROBE_TARGETS");
        m_direct.reset();
        m_home.reset();
    }

    void withoutToolsTheConfigurationIsSavedAndShown()
    {
        startMac({});
        // Files of the older per-endpoint naming go; anything else in the folder stays.
        QVERIFY(QDir().mkpath(ProductPaths::protocolsDirectory()));
        for (const char *name : {"tovren-ep_jp_01.json", "tovren-ep_de_wg.conf", "notes.txt"}) {
            QFile file(ProductPaths::protocolsDirectory() + u'/' + QLatin1String(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        const TunnelActivation activation = connect(OutboundMode::enhanced);

        QCOMPARE(activation, (TunnelActivation{TunnelActivation::Mode::exported, activeConf(), std::nullopt, {}}));
        QFile saved(activeConf());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(saved.readAll()),
                 TunnelCoordinator::preparedWireGuardConfig(wireGuardText(), OutboundMode::enhanced));
        QCOMPARE(saved.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
                 QFile::Permissions());
        QCOMPARE(QDir(ProductPaths::protocolsDirectory()).entryList(QDir::Files),
                 (QStringList{"notes.txt", "tovren-active.conf"}));
        const QList<SimulatedMac::Invocation> opened = m_mac->invocations(QStringLiteral("open"));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().arguments, (QStringList{"-R", activeConf()}));
        QCOMPARE(m_tunnel->activeMode(), TunnelActivation::Mode::exported);
        QCOMPARE(m_mac->promptCount(), 0);

        // Nothing runs, so nothing is stopped; the saved file stays for the user.
        awaitTask(m_tunnel->disconnect());
        QCOMPARE(m_tunnel->activeConfigURL(), std::nullopt);
        QVERIFY(QFileInfo::exists(activeConf()));
        QCOMPARE(m_mac->promptCount(), 0);
        QVERIFY(!awaitTask(m_tunnel->hasStaleInterface(QStringLiteral("ep_de_wg"))));
    }

    void aConfigurationWithoutTextWritesNothing()
    {
        startMac(withTools());
        ProtocolConfiguration configuration = wireGuardConfiguration();
        configuration.wireGuardConfigText.reset();
        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(configuration, Endpoint{}, OutboundMode::smart, false, false));
        QCOMPARE(error.kind(), TunnelCoordinatorError::Case::missingProtocolConfig);
        QVERIFY(!QFileInfo::exists(activeConf()));
        QCOMPARE(m_mac->promptCount(), 0);
    }

    void upAndDown_data()
    {
        QTest::addColumn<bool>("homebrewBash");
        QTest::newRow("system bash only") << false;
        QTest::newRow("Homebrew bash") << true;
    }
    void upAndDown()
    {
        QFETCH(bool, homebrewBash);
        startMac(withTools(homebrewBash));

        const TunnelActivation activation = connect();

        QCOMPARE(activation, (TunnelActivation{TunnelActivation::Mode::wgQuick, activeConf(), std::nullopt, {}}));
        QCOMPARE(m_mac->wireGuardTunnels(), QStringList{"tovren-active"});
        // An earlier run of the same interface is taken down first (here there was none), then up.
        QCOMPARE(promptTexts(*m_mac), (QStringList{wgQuick("down", homebrewBash), wgQuick("up", homebrewBash)}));
        QCOMPARE(promptTexts(*m_mac).last().contains(m_mac->path("/opt/homebrew/bin/bash")), homebrewBash);
        QCOMPARE(m_direct->requests(), QStringList{"127.0.0.1/generate_204"});
        QCOMPARE(m_tunnel->activeMode(), TunnelActivation::Mode::wgQuick);
        QVERIFY(awaitTask(m_tunnel->hasStaleInterface(QStringLiteral("ep_de_wg"))));

        awaitTask(m_tunnel->disconnect());
        QVERIFY(m_mac->wireGuardTunnels().isEmpty());
        QCOMPARE(promptTexts(*m_mac).last(), wgQuick("down", homebrewBash));
        QCOMPARE(m_tunnel->activeConfigURL(), std::nullopt);

        const int prompts = m_mac->promptCount();
        awaitTask(m_tunnel->disconnect());
        QCOMPARE(m_mac->promptCount(), prompts);
    }

    void aFailedDownKeepsTheStateForARetry()
    {
        startMac(withTools());
        connect();
        m_mac->setPromptCancelled(true);
        const auto error = failureOf<TunnelCoordinatorError>(m_tunnel->disconnect());
        QVERIFY2(error.description().contains(QLatin1String("User canceled")), qPrintable(error.description()));
        QCOMPARE(m_tunnel->activeMode(), TunnelActivation::Mode::wgQuick);
        QCOMPARE(m_mac->wireGuardTunnels(), QStringList{"tovren-active"});

        m_mac->setPromptCancelled(false);
        awaitTask(m_tunnel->disconnect());
        QVERIFY(m_mac->wireGuardTunnels().isEmpty());
    }

    void leftoverStateIsRepairedOnce()
    {
        startMac(withTools());
        m_mac->queueWgQuickFailure(QStringLiteral("up"), QStringLiteral("Unable to create utun interface"));

        const TunnelActivation activation = connect();

        QCOMPARE(activation.recoveryNotes, (QStringList{QStringLiteral("检测到旧连接残留，正在自动清理。"),
                                                        QStringLiteral("旧连接状态已修复。")}));
        QCOMPARE(promptTexts(*m_mac),
                 (QStringList{wgQuick("down", false), wgQuick("up", false),
                              WireGuardCommands::repairScript(activeConf()), wgQuick("up", false)}));
        QCOMPARE(m_mac->wireGuardTunnels(), QStringList{"tovren-active"});
    }

    void failuresThatRepairCannotCure_data()
    {
        QTest::addColumn<QStringList>("upFailures");
        QTest::addColumn<bool>("cancelPrompts");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("prompts");
        QTest::newRow("version mismatch")
            << QStringList{"wg-quick: Version mismatch: bash 3 detected, when bash 4+ required"} << false
            << QStringLiteral("连接组件版本不匹配，请点击“一键安装连接组件”更新 Bash 和 WireGuard Tools。") << 2;
        QTest::newRow("still broken after the repair")
            << QStringList{"Unable to create utun interface", "Unable to create utun interface"} << false
            << QStringLiteral("Unable to create utun interface") << 4;
        QTest::newRow("administrator prompt dismissed")
            << QStringList() << true << QStringLiteral("User canceled.") << 2;
    }
    void failuresThatRepairCannotCure()
    {
        QFETCH(QStringList, upFailures);
        QFETCH(bool, cancelPrompts);
        QFETCH(QString, message);
        QFETCH(int, prompts);
        startMac(withTools());
        for (const QString &failure : upFailures)
            m_mac->queueWgQuickFailure(QStringLiteral("up"), failure);
        m_mac->setPromptCancelled(cancelPrompts);

        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(wireGuardConfiguration(), Endpoint{}, OutboundMode::smart, false, false));

        QVERIFY2(error.description().contains(message), qPrintable(error.description()));
        QCOMPARE(m_mac->promptCount(), prompts);
        QVERIFY(m_mac->wireGuardTunnels().isEmpty());
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        QCOMPARE(m_tunnel->activeConfigURL(), activeConf());
    }

    void aTunnelThatFailsItsCheckIsTakenDown_data()
    {
        QTest::addColumn<bool>("interfaceSeen");
        QTest::addColumn<QString>("message");
        QTest::newRow("no traffic") << true << "WireGuard 已启动，但外网连通性检测失败，已自动回滚。";
        QTest::newRow("no interface") << false << "协议内核已启动，但未检测到可用 TUN 接口。";
    }

    void aTunnelThatFailsItsCheckIsTakenDown()
    {
        QFETCH(bool, interfaceSeen);
        QFETCH(QString, message);
        startMac(withTools());
        pointDirectProbesAt(freePort());
        if (!interfaceSeen)
            QVERIFY(QFile::remove(m_mac->path(QStringLiteral("/sbin/ifconfig"))));
        const auto error = failureOf<TunnelCoordinatorError>(
            m_tunnel->connect(wireGuardConfiguration(), Endpoint{}, OutboundMode::enhanced, false, false));
        QCOMPARE(error.description(), message);
        QVERIFY(m_mac->wireGuardTunnels().isEmpty());
        QCOMPARE(promptTexts(*m_mac).last(), wgQuick("down", false));
    }

    void staleInterface_data()
    {
        QTest::addColumn<bool>("tools");
        QTest::addColumn<QStringList>("tunnels");
        QTest::addColumn<bool>("stale");
        QTest::newRow("no wg-quick") << false << QStringList{"tovren-active"} << false;
        QTest::newRow("among others") << true << QStringList{"wg0", "tovren-active"} << true;
        QTest::newRow("only others") << true << QStringList{"wg0"} << false;
        QTest::newRow("none") << true << QStringList() << false;
    }
    void staleInterface()
    {
        QFETCH(bool, tools);
        QFETCH(QStringList, tunnels);
        QFETCH(bool, stale);
        startMac(tools ? withTools() : SimulatedMac::Options{});
        for (const QString &name : tunnels)
            m_mac->addWireGuardTunnel(name);
        QCOMPARE(awaitTask(m_tunnel->hasStaleInterface(QStringLiteral("ep_de_wg"))), stale);
        QCOMPARE(m_mac->promptCount(), 0);
    }

    void cleanupTakesTheOwnTunnelDownWhenAPromptIsAllowed_data()
    {
        QTest::addColumn<bool>("allowAuthorization");
        QTest::newRow("allowed") << true;
        QTest::newRow("quitting, no prompt") << false;
    }
    void cleanupTakesTheOwnTunnelDownWhenAPromptIsAllowed()
    {
        QFETCH(bool, allowAuthorization);
        startMac(withTools());
        connect();
        const int prompts = m_mac->promptCount();

        awaitTask(m_tunnel->cleanupRuntimeArtifacts(allowAuthorization));

        QCOMPARE(m_mac->wireGuardTunnels().isEmpty(), allowAuthorization);
        QCOMPARE(m_mac->promptCount(), prompts + (allowAuthorization ? 1 : 0));
        QCOMPARE(m_tunnel->activeMode(), std::nullopt);
        // The configuration of a tunnel that stays up is kept.
        QVERIFY(QFileInfo::exists(activeConf()));
    }
};

QTEST_GUILESS_MAIN(TestTunnelWireGuard)
#include "test_tunnel_wireguard.moc"
