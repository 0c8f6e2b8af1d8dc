#include "TestHome.h"
#include "api/TovrenAPIClient.h"
#include "test_api_client_support.h"
#include "test_api_controlplane_support.h"

#include <QSslConfiguration>
#include <QTest>

namespace {

template<typename T> T run(QCoro::Task<T> task)
{
    return awaitTask(std::move(task));
}

std::optional<TovrenAPIError> serverFailure(QCoro::Task<APIMeResponse> task)
{
    try {
        awaitTask(std::move(task));
    } catch (const TovrenAPIError &error) {
        return error;
    }
    return std::nullopt;
}

const QString demoPassword = QStringLiteral("tovren-demo");

} // namespace

// The client against the stand-in control plane: every operation, end to end over real HTTP.
class TestAPIClientControlPlane : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ControlPlaneProcess> m_plane;
    std::unique_ptr<TovrenAPIClient> m_client;

    TovrenAPIClient &client() { return *m_client; }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_plane = std::make_unique<ControlPlaneProcess>();
        QVERIFY2(m_plane->isRunning(), qPrintable(m_plane->startError()));
        m_client = std::make_unique<TovrenAPIClient>(m_plane->http());
    }

    void cleanup()
    {
        m_client.reset();
        m_plane.reset();
        m_home.reset();
    }

    void signsUpWithTheMailedCodeAndSignsIn()
    {
        const QString identity = QStringLiteral("new.user@tovren.dev");
        const APIVerificationCodeResponse code = run(client().sendVerificationCode(identity));
        QVERIFY(code.ok);
        QVERIFY(code.debugCode && !code.debugCode->isEmpty());

        const APIAuthResponse registered = run(client().registerAccount(
            {identity, QStringLiteral("secret-pass"), *code.debugCode, QStringLiteral("TVDEMO")}));
        QCOMPARE(registered.user.identity, identity);
        QVERIFY(!registered.token.isEmpty());

        const APIAuthResponse signedIn = run(client().login(identity, QStringLiteral("secret-pass")));
        QCOMPARE(signedIn.user.id, registered.user.id);
        QCOMPARE(run(client().me(signedIn.token)).user.identity, identity);

        // The stand-in saw no token on the sign-up and sign-in calls.
        int signInCalls = 0;
        for (const QJsonValue &request : m_plane->state().value("requests").toArray()) {
            if (!request["path"].toString().contains(QLatin1String("/auth/")))
                continue;
            ++signInCalls;
            QVERIFY(!request["headers"].toObject().contains("Authorization"));
        }
        QCOMPARE(signInCalls, 3);

        QVERIFY(run(client().logout(signedIn.token)).ok);
        const auto expired = serverFailure(client().me(signedIn.token));
        QVERIFY(expired);
        QCOMPARE(expired->statusCode(), 401);
        QVERIFY(!expired->description().isEmpty());
    }

    void refusedSignInCarriesTheServersText()
    {
        const auto failure = [&]() -> std::optional<TovrenAPIError> {
            try {
                run(client().login(QStringLiteral("demo@tovren.dev"), QStringLiteral("wrong-password")));
            } catch (const TovrenAPIError &error) {
                return error;
            }
            return std::nullopt;
        }();
        QVERIFY(failure);
        QCOMPARE(failure->kind(), TovrenAPIError::Kind::server);
        QVERIFY(failure->message() && !failure->message()->isEmpty());
        QCOMPARE(failure->description(), *failure->message());
    }

    void readsTheCatalogueAndTheAccount()
    {
        QVERIFY(run(client().nodes()).nodes.size() >= 5);
        QVERIFY(run(client().plans()).plans.size() >= 3);
        const QList<APIAppVersion> versions = run(client().versions()).versions;
        QVERIFY(std::any_of(versions.begin(), versions.end(), [](const auto &v) { return v.platform == "macos"; }));

        const QString token = run(client().login(QStringLiteral("demo@tovren.dev"), demoPassword)).token;
        const APIUser user = run(client().me(token)).user;
        QCOMPARE(user.referralCode, std::optional<QString>(QStringLiteral("TVDEMO")));

        const APIClientBootstrapResponse bootstrap = run(client().clientBootstrap(token));
        QVERIFY(bootstrap.endpoints.size() >= 5);
        QVERIFY(bootstrap.devices);
        QCOMPARE(bootstrap.user->id, user.id);

        const APIDevicesResponse devices = run(client().devices(token));
        QVERIFY(std::any_of(devices.devices.begin(), devices.devices.end(),
                            [](const APIDevice &d) { return d.id == "dev_demo_iphone"; }));
        QCOMPARE(devices.maxDevices, user.maxDevices);

        const QList<APIOrder> orders = run(client().orders(token)).orders;
        QCOMPARE(orders.size(), 2);
        QCOMPARE(orders.at(1).planId, QStringLiteral("monthly")); // given in snake case only
        QVERIFY(!run(client().tickets(token)).tickets.isEmpty());
    }

    void bindsConfiguresReportsAndUnbindsADevice()
    {
        const QString token = run(client().login(QStringLiteral("demo@tovren.dev"), demoPassword)).token;
        const APIDevice bound = run(client().bindDevice({QStringLiteral("macos-0f8fad5b-d9cb-469f-a165-70867728950e"),
                                                         QStringLiteral("Mac"), QStringLiteral("macos"),
                                                         QStringLiteral("macOS 14.5"), QStringLiteral("v9.7.3")},
                                                        token))
                                    .device;
        QCOMPARE(bound.deviceType, QStringLiteral("macos"));

        const APIProtocolConfigResponse config =
            run(client().protocolConfig(QStringLiteral("ep_hk_01"), bound.id, QStringLiteral("smart"), token,
                                        QStringLiteral("att_0123456789ABCDEF01"),
                                        QStringLiteral("req_0123456789ABCDEF01"), QStringLiteral("macos-v9.7.3")));
        QVERIFY(!config.readiness().status.isEmpty());
        const QJsonObject seen = m_plane->state().value("protocolConfigRequests").toArray().last().toObject();
        QCOMPARE(seen["pathDeviceId"].toString(), bound.id);
        QCOMPARE(seen["body"]["request_id"].toString(), QStringLiteral("req_0123456789ABCDEF01"));

        APIConnectionReportRequest report;
        report.deviceId = bound.id;
        report.endpointId = QStringLiteral("ep_hk_01");
        report.protocolName = QStringLiteral("vless");
        report.status = QStringLiteral("connected");
        report.appVersion = QStringLiteral("v9.7.3");
        report.clientPlatform = QStringLiteral("macos");
        report.stateStage = QStringLiteral("connected");
        report.reasonCode = QStringLiteral("ok");
        report.clientRegion = QStringLiteral("auto");
        report.networkType = QStringLiteral("wired");
        report.attemptId = QStringLiteral("att_0123456789ABCDEF01");
        report.requestId = QStringLiteral("req_0123456789ABCDEF02");
        report.buildId = QStringLiteral("macos-v9.7.3");
        report.stateLog = {{{"stage", "connected"}}};
        QVERIFY(run(client().connectionReport(report, token)).ok);
        const QJsonObject trace =
            m_plane->state().value("connectionReports").toArray().last()["traceHeaders"].toObject();
        QCOMPARE(trace["X-Request-Id"].toString(), report.requestId);
        QCOMPARE(trace["X-Tovren-Attempt-Id"].toString(), report.attemptId);

        APIClientCrashReportRequest crash;
        crash.deviceId = bound.id;
        crash.clientPlatform = QStringLiteral("macos");
        crash.appVersion = QStringLiteral("v9.7.3");
        crash.crashType = QStringLiteral("exception");
        crash.reason = QStringLiteral("test");
        QVERIFY(run(client().crashReport(crash, token)).ok);

        QVERIFY(run(client().deleteDevice(bound.id, token)).ok);
        const QList<APIDevice> after = run(client().devices(token)).devices;
        QVERIFY(std::none_of(after.begin(), after.end(),
                             [&](const APIDevice &d) { return d.id == bound.id && d.status == "active"; }));
    }

    void createsATicket()
    {
        const QString token = run(client().login(QStringLiteral("demo@tovren.dev"), demoPassword)).token;
        const APITicket created = run(client().createTicket({QStringLiteral("无法连接"), QStringLiteral("客户端问题"),
                                                             std::nullopt, QStringLiteral("正文")},
                                                            token))
                                      .ticket;
        QCOMPARE(created.title, QStringLiteral("无法连接"));
        const QList<APITicket> tickets = run(client().tickets(token)).tickets;
        QVERIFY(std::any_of(tickets.begin(), tickets.end(), [&](const APITicket &t) { return t.id == created.id; }));
    }

    void anUntrustedCertificateFailsOverToTheNextBaseURL()
    {
        TovrenAPIClient client({m_plane->https(), m_plane->http()});
        QVERIFY(!run(client.nodes()).nodes.isEmpty());
        QCOMPARE(client.baseURLs().first(), m_plane->http());

        // Trusted, the same HTTPS origin answers itself.
        const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = saved;
        trusting.addCaCertificates(
            QList<QSslCertificate>{QSslCertificate(m_plane->request("GET", m_plane->adminUrl("/certificate")).body)});
        QSslConfiguration::setDefaultConfiguration(trusting);
        TovrenAPIClient trusted({m_plane->https(), m_plane->http()});
        const bool answered = !run(trusted.plans()).plans.isEmpty();
        QSslConfiguration::setDefaultConfiguration(saved);
        QVERIFY(answered);
        QCOMPARE(trusted.baseURLs().first(), m_plane->https());
    }
};

QTEST_GUILESS_MAIN(TestAPIClientControlPlane)
#include "test_api_client_controlplane.moc"
