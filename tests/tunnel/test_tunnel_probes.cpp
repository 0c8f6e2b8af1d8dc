// The probes and the port choice as commands on the simulated Mac: curl answers as a scripted stand-in, so the
// exit status and the printed status can be chosen; lsof, netstat, scutil and ifconfig are the simulated ones.
#include "TunnelFixtures.h"

#include "tunnel/TunnelCoordinator.h"

#include "SimulatedMac.h"
#include "TestHome.h"

#include <QFile>
#include <QTest>

using namespace TunnelFixtures;

namespace {

struct CurlAnswer
{
    QString url;
    QString output;
    int exitStatus = 0;
};

// curl replaced by a script that answers each URL (its last argument) as told, logs the URLs it was given, and
// answers everything else like a failed connection: "000" and status 7.
bool installFakeCurl(const SimulatedMac &mac, const QString &log, const QList<CurlAnswer> &answers)
{
    QByteArray script = "for url; do :; done\necho \"$url\" >> '" + log.toUtf8() + "'\ncase \"$url\" in\n";
    for (const CurlAnswer &answer : answers) {
        script += "  '" + answer.url.toUtf8() + "') printf '%s' '" + answer.output.toUtf8() + "'; exit " +
                  QByteArray::number(answer.exitStatus) + ";;\n";
    }
    script += "  *) printf '000'; exit 7;;\nesac\n";
    return writeScript(mac.path(QStringLiteral("/usr/bin/curl")), script);
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

const QString chatGPT = QStringLiteral("https://chatgpt.com/");
const QString openAI = QStringLiteral("https://api.openai.com/v1/models");
const QString claude = QStringLiteral("https://claude.ai/");
const QString anthropic = QStringLiteral("https://api.anthropic.com/");
const QString google = QStringLiteral("https://www.google.com/generate_204");
const QString gstatic = QStringLiteral("https://www.gstatic.com/generate_204");

} // namespace

Q_DECLARE_METATYPE(QList<CurlAnswer>)

class TestTunnelProbes : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<SimulatedMac> m_mac;
    std::unique_ptr<TunnelCoordinator> m_tunnel;

    QString curlLog() const { return m_home->path() + QStringLiteral("/curl.log"); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_mac = std::make_unique<SimulatedMac>();
        QVERIFY2(m_mac->isValid(), qPrintable(m_mac->errorString()));
        m_tunnel = std::make_unique<TunnelCoordinator>();
    }

    void cleanup()
    {
        m_tunnel.reset();
        m_mac.reset();
        m_home.reset();
    }

    void statusThroughTheProxy_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("status");
        QTest::newRow("000 with success") << "000" << 0 << 0;
        QTest::newRow("204") << "204" << 0 << 204;
        QTest::newRow("nothing printed") << "" << 0 << 0;
        QTest::newRow("time-out after a status") << "204" << 28 << 0;
        QTest::newRow("refused") << "000" << 7 << 0;
    }
    void statusThroughTheProxy()
    {
        QFETCH(QString, output);
        QFETCH(int, exitStatus);
        QFETCH(int, status);
        QVERIFY(installFakeCurl(*m_mac, curlLog(), {{google, output, exitStatus}}));
        QCOMPARE(awaitTask(m_tunnel->proxyHTTPStatus(19090, google)), status);
    }

    void probeLists_data()
    {
        QTest::addColumn<QList<CurlAnswer>>("answers");
        QTest::addColumn<bool>("web");
        QTest::addColumn<bool>("ai");
        QTest::addColumn<QStringList>("probed");
        QTest::newRow("first web probe answers, a key refusal from the first AI service")
            << QList<CurlAnswer>{{google, "204"}, {chatGPT, "401"}} << true << true << QStringList{google, chatGPT};
        QTest::newRow("second of each decides")
            << QList<CurlAnswer>{{google, "500"}, {gstatic, "302"}, {chatGPT, "500"}, {openAI, "404"}} << true << true
            << QStringList{google, gstatic, chatGPT, openAI};
        QTest::newRow("last AI service") << QList<CurlAnswer>{{google, "404"}, {gstatic, "404"}, {anthropic, "404"}}
                                         << false << true
                                         << QStringList{google, gstatic, chatGPT, openAI, claude, anthropic};
        QTest::newRow("server errors everywhere")
            << QList<CurlAnswer>{{google, "500"}, {gstatic, "503"}, {chatGPT, "500"},
                                 {openAI, "500"}, {claude, "502"},  {anthropic, "500"}}
            << false << false << QStringList{google, gstatic, chatGPT, openAI, claude, anthropic};
    }
    void probeLists()
    {
        QFETCH(QList<CurlAnswer>, answers);
        QFETCH(bool, web);
        QFETCH(bool, ai);
        QFETCH(QStringList, probed);
        QVERIFY(installFakeCurl(*m_mac, curlLog(), answers));
        QCOMPARE(awaitTask(m_tunnel->proxyWebConnectivityAvailable(19090)), web);
        QCOMPARE(awaitTask(m_tunnel->aiProxyConnectivityAvailable(19110)), ai);
        QCOMPARE(readLines(curlLog()), probed);
    }

    void aiValidationTriesFourPasses()
    {
        QVERIFY(installFakeCurl(*m_mac, curlLog(), {{chatGPT, "500"}}));
        const auto error = failureOf<TunnelCoordinatorError>(m_tunnel->validateAIProxyConnection(19110));
        QCOMPARE(error.description(),
                 QStringLiteral("AI 增强模式已启动，但 OpenAI/Claude 连通性检测未通过，正在切换其他节点。"));
        QCOMPARE(readLines(curlLog()).size(), 16);

        QFile::remove(curlLog());
        QVERIFY(installFakeCurl(*m_mac, curlLog(), {{claude, "403"}}));
        QCOMPARE(awaitTask(m_tunnel->validateAIProxyConnection(19110)),
                 QStringList{QStringLiteral("AI 增强模式连通性检测通过。")});
        QCOMPARE(readLines(curlLog()), (QStringList{chatGPT, openAI, claude}));
    }

    void everyPortTakenFallsBackToThePreferredOne()
    {
        // A look a moment ago found every port quiet, which spares the next choice its clean-up; a leftover core
        // that has turned up since is still found and removed.
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19090);
        const QString config = RuntimeFixtures::writeConfig(m_home->path() + "/old", "tovren-active.json", "19090");
        const auto leftover = RuntimeFixtures::spawn(m_mac->path("/opt/homebrew/bin/sing-box"), {"run", "-c", config});
        QVERIFY(eventually([] { return listening(19090); }));
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19090);
        QVERIFY(eventually([&] { return leftover->state() == QProcess::NotRunning; }));

        std::vector<std::unique_ptr<QTcpServer>> holders;
        for (int port = 19090; port <= 19109; ++port) {
            holders.push_back(std::make_unique<QTcpServer>());
            QVERIFY(holders.back()->listen(QHostAddress::LocalHost, static_cast<quint16>(port)));
        }
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19090);
        QVERIFY(!awaitTask(m_tunnel->isTCPPortAvailable(19109)));

        holders.back().reset();
        QCOMPARE(awaitTask(m_tunnel->chooseLocalProxyPort(false)), 19109);
    }

    void interferenceWarnings()
    {
        m_mac->setRoutingTableText(QStringLiteral("Internet:\nDestination        Gateway            Flags     Netif\n"
                                                  "default            192.168.1.1        UGScg       en0\n"
                                                  "0/1                10.8.0.1           UGScg     utun2\n"));
        // The user's own HTTPS proxy is still on.
        m_mac->setProxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::SecureWeb, {true, "10.0.0.2", 3128});
        const QString routeWarning =
            QStringLiteral("检测到可能存在其它 VPN/TUN 路由：0/1                10.8.0.1           UGScg     utun2");
        const QString proxyWarning =
            QStringLiteral("检测到系统 HTTP/HTTPS/SOCKS 代理仍处于开启状态，可能影响流量归属。");
        QCOMPARE(awaitTask(m_tunnel->thirdPartyNetworkWarnings(false)), QStringList{routeWarning});
        QCOMPARE(awaitTask(m_tunnel->thirdPartyNetworkWarnings(true)), (QStringList{routeWarning, proxyWarning}));

        // A routing table that cannot be read gives no route warning, the proxy check still runs.
        QVERIFY(writeScript(m_mac->path(QStringLiteral("/usr/sbin/netstat")),
                            "echo 'netstat: sysctl: Operation not permitted' >&2\nexit 1\n"));
        QCOMPARE(awaitTask(m_tunnel->thirdPartyNetworkWarnings(true)), QStringList{proxyWarning});
    }

    void tunInterfaceWait()
    {
        QVERIFY(!awaitTask(m_tunnel->waitForTunInterface(QStringLiteral("tovren-active"))));
        QCOMPARE(m_mac->invocations(QStringLiteral("ifconfig")).size(), 3);

        m_mac->addExtraInterface({QStringLiteral("utun3"), QStringLiteral("10.8.0.2"), true});
        m_mac->clearRecords();
        QVERIFY(awaitTask(m_tunnel->waitForTunInterface(QStringLiteral("tovren-active"))));
        QCOMPARE(m_mac->invocations(QStringLiteral("ifconfig")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTunnelProbes)
#include "test_tunnel_probes.moc"
