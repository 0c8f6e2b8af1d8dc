// The stand-in control plane as the client reads it: what it provisions for each protocol, and how it refuses.
#include "api/ProtocolConfiguration.h"
#include "api/TovrenAPIClient.h"
#include "testkit/AwaitTask.h"
#include "testkit/ControlPlaneProcess.h"

#include <QTest>

namespace {

const APIBindDeviceRequest bindMac{QString("macos-aaaa"), "Mac", "macos", "macOS 14.5", "v9.7.3"};

APIProtocolConfigRequest configRequest(const QString &endpoint, const QString &device)
{
    return {endpoint, device, "macos", "smart", 8000, "auto", "wired", std::nullopt, "att_1", "req_1", "macos-v9.7.3"};
}

} // namespace

class TestControlPlane : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each way the stand-in delivers a configuration normalises to one the tunnel can use.
    void protocolConfigurationsNormaliseAndRefusalsSpeak()
    {
        ControlPlaneProcess plane(
            {"--data", qEnvironmentVariable("TOVREN_SOURCE_DIR") + "/tests/devstack/control_plane_devices.json",
             "--provisioning-ms", "200"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        TovrenAPIClient client({plane.https(), plane.http()}); // its certificate is not trusted: on to plain HTTP
        const QString token = awaitTask(client.login("a@test.dev", "tovren-demo")).token;
        QCOMPARE(client.baseURLs().first(), plane.http());
        QCOMPARE(failureOf<NetworkRequestError>(TovrenAPIClient(plane.https()).nodes()).code(),
                 NetworkRequestError::Code::serverCertificateUntrusted);
        QVERIFY(!awaitTask(TovrenAPIClient({plane.https(), plane.http()}).nodes()).nodes.isEmpty());
        const QString device = awaitTask(client.bindDevice(bindMac, token)).device.id;
        const QList<std::pair<QString, ProtocolKind>> endpoints{
            {"ep_runtime", ProtocolKind::vless},    {"ep_text", ProtocolKind::trojan},
            {"ep_config", ProtocolKind::hysteria2}, {"ep_outbounds", ProtocolKind::shadowsocks},
            {"ep_wg", ProtocolKind::wireguard},     {"ep_broken", ProtocolKind::unknown}, // the node fails
        };
        for (const auto &[endpoint, kind] : endpoints) {
            APIProtocolConfigResponse answer;
            for (int attempt = 0; attempt < 100; ++attempt) {
                answer = awaitTask(
                    client.protocolConfig(endpoint, device, "smart", token, "att_1", "req_1", "macos-v9.7.3"));
                const APIProtocolReadiness readiness = answer.readiness();
                if (readiness.status != u"provisioning")
                    break;
                QVERIFY(readiness.message && !readiness.message->isEmpty());
                QCOMPARE(readiness.maxWaitMs, 4000);
                QTest::qWait(static_cast<int>(readiness.retryAfterMs));
            }
            QCOMPARE(answer.readiness().status, kind == ProtocolKind::unknown ? QString("failed") : QString("ready"));
            if (kind == ProtocolKind::unknown)
                continue;
            const ProtocolConfiguration config = ProtocolConfiguration::from(answer, endpoint);
            QCOMPARE(config.protocolKind, kind);
            QCOMPARE(config.endpointId, endpoint);
            QVERIFY(!config.cacheKey.isEmpty());
            QCOMPARE(config.configRevision, 1);
            if (kind == ProtocolKind::wireguard)
                QVERIFY(config.wireGuardConfigText && config.wireGuardConfigText->contains("[Peer]"));
            else
                QVERIFY(config.singBoxConfig || config.singBoxConfigText);
        }

        // What the client reads of a refusal: the status and the server's words in the error envelope.
        const QString freePlan = plane.signIn("free@test.dev");
        const QString legacy = "/client/devices/dev%2Flegacy%2001/protocol-config"; // percent-encoded "dev/legacy 01"
        const QList<std::tuple<QByteArray, QString, QString, QByteArray, int, QString>> refusals{
            {"GET", "/me", "", "", 401, ""},
            {"GET", "/client/bootstrap?clientPlatform=macos", "", "", 401, ""},
            {"GET", "/devices", "not-a-session", "", 401, ""},
            {"POST", legacy, "", "{}", 401, ""},
            {"POST", "/auth/login", "", R"({"identity":"a@test.dev","password":"wrong"})", 401, ""},
            {"POST", "/devices", freePlan, jsonBytes(bindMac.toJson()), 403, "NO_DEVICE_SLOTS"},
            {"POST", legacy, token, jsonBytes(configRequest("ep_nope", "dev/legacy 01").toJson()), 404,
             "ENDPOINT_NOT_FOUND"},
            {"POST", legacy, token, jsonBytes(configRequest("ep_off", "dev/legacy 01").toJson()), 409,
             "ENDPOINT_OFFLINE"},
        };
        for (const auto &[method, path, session, body, status, code] : refusals) {
            const HttpResult r = plane.send(method, path, body, {{"Content-Type", "application/json"}},
                                            session.isEmpty() ? QString() : session);
            QVERIFY2(r.status == status && r.json().value("errorCode").toString().startsWith(code), r.body.constData());
            const auto envelope = decodeAnswer<APIErrorResponse>(r.body);
            QVERIFY2(envelope.userMessage() && !envelope.userMessage()->isEmpty(), qPrintable(path));
        }
    }
};

QTEST_GUILESS_MAIN(TestControlPlane)
#include "test_control_plane.moc"
