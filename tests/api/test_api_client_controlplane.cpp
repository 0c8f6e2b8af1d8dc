#include "TestHome.h"
#include "api/TovrenAPIClient.h"
#include "test_api_client_support.h"
#include "test_api_controlplane_support.h"

#include <QTest>

namespace {

template<typename T> T run(QCoro::Task<T> task)
{
    return awaitTask(std::move(task));
}

} // namespace

// The client against the stand-in control plane, end to end over real HTTP.
class TestAPIClientControlPlane : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ControlPlaneProcess> m_plane;

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_plane = std::make_unique<ControlPlaneProcess>();
        QVERIFY2(m_plane->isRunning(), qPrintable(m_plane->startError()));
    }

    void cleanup()
    {
        m_plane.reset();
        m_home.reset();
    }

    void signsUpSignsInAndReadsTheAccount()
    {
        TovrenAPIClient client(m_plane->http());
        const QString identity = QStringLiteral("new.user@tovren.dev");
        const APIVerificationCodeResponse code = run(client.sendVerificationCode(identity));
        QVERIFY(code.ok && code.debugCode);
        const APIAuthResponse registered =
            run(client.registerAccount({identity, QStringLiteral("secret-pass"), *code.debugCode, std::nullopt}));
        QCOMPARE(registered.user.identity, identity);
        const QString token = run(client.login(identity, QStringLiteral("secret-pass"))).token;
        QCOMPARE(run(client.me(token)).user.id, registered.user.id);
        // No token went out with the sign-up and sign-in calls.
        int signInCalls = 0;
        for (const QJsonValue &request : m_plane->state().value("requests").toArray()) {
            if (request["path"].toString().contains(QLatin1String("/auth/"))) {
                ++signInCalls;
                QVERIFY(!request["headers"].toObject().contains("Authorization"));
            }
        }
        QCOMPARE(signInCalls, 3);

        QVERIFY(run(client.nodes()).nodes.size() >= 5);
        QVERIFY(run(client.plans()).plans.size() >= 3);
        QVERIFY(!run(client.versions()).versions.isEmpty());
        const APIClientBootstrapResponse bootstrap = run(client.clientBootstrap(token));
        QVERIFY(bootstrap.endpoints.size() >= 5);
        QCOMPARE(bootstrap.user->id, registered.user.id);

        const APIDevice bound =
            run(client.bindDevice({QStringLiteral("macos-test"), QStringLiteral("Mac"), QStringLiteral("macos"),
                                   QStringLiteral("macOS 14.5"), QStringLiteral("v9.7.3")},
                                  token))
                .device;
        QCOMPARE(run(client.devices(token)).devices.first().id, bound.id);
        const APIProtocolConfigResponse config = run(client.protocolConfig(
            QStringLiteral("ep_hk_01"), bound.id, QStringLiteral("smart"), token, QStringLiteral("att_1"),
            QStringLiteral("req_0123456789ABCDEF01"), QStringLiteral("macos-v9.7.3")));
        QVERIFY(!config.readiness().status.isEmpty());
        QVERIFY(run(client.deleteDevice(bound.id, token)).ok);
        QVERIFY(run(client.devices(token)).devices.isEmpty());

        const APITicket ticket = run(client.createTicket({QStringLiteral("无法连接"), QStringLiteral("客户端问题"),
                                                          std::nullopt, QStringLiteral("正文")},
                                                         token))
                                     .ticket;
        QCOMPARE(run(client.tickets(token)).tickets.first().id, ticket.id);
        QVERIFY(run(client.orders(token)).orders.isEmpty());

        QVERIFY(run(client.logout(token)).ok);
        try {
            run(client.me(token));
            QFAIL("the session outlived its sign-out");
        } catch (const TovrenAPIError &error) {
            QCOMPARE(error.statusCode(), 401);
            QVERIFY(error.message() && !error.message()->isEmpty());
        }
    }

    void anUntrustedCertificateFailsOverToTheNextBaseURL()
    {
        TovrenAPIClient client({m_plane->https(), m_plane->http()});
        QVERIFY(!run(client.nodes()).nodes.isEmpty());
        QCOMPARE(client.baseURLs().first(), m_plane->http());
    }
};

QTEST_GUILESS_MAIN(TestAPIClientControlPlane)
#include "test_api_client_controlplane.moc"
