// The stand-in and the client's records meet here: what the client's encoders write, the stand-in accepts;
// what the stand-in answers, the client's decoders read. A drift on either side fails this suite.
#include "TestHome.h"
#include "api/AccountRecords.h"
#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "api/GenericRecords.h"
#include "api/ProtocolConfiguration.h"
#include "api/ReportRecords.h"
#include "test_api_controlplane_support.h"

#include <QTest>

namespace {

// Decodes a body as the record the client expects, failing the test with the decoder's reason.
template<typename T> std::optional<T> decoded(const HttpResult &answer)
{
    try {
        return decodeAnswer<T>(answer.body);
    } catch (const DecodingError &error) {
        qWarning("%s: %s", qPrintable(error.detail()), answer.body.left(300).constData());
        return std::nullopt;
    }
}

QString sourceFile(const QString &relative)
{
    return qEnvironmentVariable("TOVREN_SOURCE_DIR") + QLatin1Char('/') + relative;
}

} // namespace

class TestControlPlaneContract : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;

private Q_SLOTS:
    void init() { m_home = std::make_unique<TestHome>(); }
    void cleanup() { m_home.reset(); }

    void theDemoAnswersDecodeIntoTheClientsRecords()
    {
        ControlPlaneProcess plane({"--no-https"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        QVERIFY(decoded<APIPlansResponse>(plane.get("/plans")));
        QVERIFY(decoded<APIVersionsResponse>(plane.get("/versions")));
        const auto nodes = decoded<APINodesResponse>(plane.get("/nodes"));
        QVERIFY(nodes);

        for (const QString identity : {"demo@tovren.dev", "full@tovren.dev", "free@tovren.dev", "expired@tovren.dev"}) {
            const HttpResult signedIn = plane.post("/auth/login", APILoginRequest{identity, "tovren-demo"}.toJson());
            const auto auth = decoded<APIAuthResponse>(signedIn);
            QVERIFY2(auth, qPrintable(identity));
            QVERIFY(decoded<APIMeResponse>(plane.get("/me", auth->token)));
            QVERIFY(decoded<APIDevicesResponse>(plane.get("/devices", auth->token)));
            QVERIFY(decoded<APIOrdersResponse>(plane.get("/orders", auth->token)));
            QVERIFY(decoded<APITicketsResponse>(plane.get("/tickets", auth->token)));
        }

        const QString token = plane.signIn("demo@tovren.dev");
        const auto bootstrap = decoded<APIClientBootstrapResponse>(plane.get(
            "/client/bootstrap?clientPlatform=macos&client_platform=macos&clientRegion=auto&client_region=auto"
            "&networkType=wired&network_type=wired",
            token));
        QVERIFY(bootstrap);
        QCOMPARE(bootstrap->endpoints.size(), nodes->nodes.size());
        QVERIFY(bootstrap->devices.has_value());
        QCOMPARE(bootstrap->maxDevices, std::optional<qint64>(5));
        // Every endpoint names a protocol the client knows, so none is taken for WireGuard by mistake.
        for (const APIEndpoint &endpoint : bootstrap->endpoints)
            QVERIFY2(protocolKindFromApiValue(endpoint.preferredProtocol) != ProtocolKind::unknown,
                     qPrintable(endpoint.id));

        const auto orders = decoded<APIOrdersResponse>(plane.get("/orders", token));
        QCOMPARE(orders->orders[1].planId, QString("monthly"));
        QCOMPARE(orders->orders[1].currency, QString("CNY"));

        const APIBindDeviceRequest bind{QString("macos-0b5c"), "Mac", "macos", "macOS 14.5", "v9.7.3"};
        const auto device = decoded<APIDeviceResponse>(plane.post("/devices", bind.toJson(), token));
        QVERIFY(device);
        QCOMPARE(device->device.deviceName, QString("Mac"));

        const APICreateTicketRequest ticket{"连不上", QString("客户端问题"), std::nullopt, "正文"};
        QVERIFY(decoded<APITicketResponse>(plane.post("/tickets", ticket.toJson(), token)));

        const auto refused = decoded<APIErrorResponse>(plane.get("/me"));
        QVERIFY(refused && refused->error && !refused->error->isEmpty());
        QVERIFY(decoded<APIOkResponse>(plane.send("POST", "/auth/logout", {}, {}, token))->ok);
    }

    void signUpWithTheClientsRequests()
    {
        ControlPlaneProcess plane({"--no-https"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const auto code = decoded<APIVerificationCodeResponse>(
            plane.post("/auth/verification-code", APIIdentityRequest{"new@tovren.dev"}.toJson()));
        QVERIFY(code && code->ok && code->debugCode);
        const APIRegisterRequest request{"new@tovren.dev", "secret-pass", *code->debugCode, std::nullopt};
        const auto auth = decoded<APIAuthResponse>(plane.post("/auth/register", request.toJson()));
        QVERIFY(auth);
        QCOMPARE(auth->user.identity, QString("new@tovren.dev"));
    }

    void protocolConfigurationsNormalise_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<ProtocolKind>("kind");
        QTest::newRow("runtime") << "ep_runtime" << ProtocolKind::vless;
        QTest::newRow("text") << "ep_text" << ProtocolKind::trojan;
        QTest::newRow("config") << "ep_config" << ProtocolKind::hysteria2;
        QTest::newRow("outbounds") << "ep_outbounds" << ProtocolKind::shadowsocks;
        QTest::newRow("wireguard") << "ep_wg" << ProtocolKind::wireguard;
    }

    void protocolConfigurationsNormalise()
    {
        QFETCH(QString, endpoint);
        QFETCH(ProtocolKind, kind);
        ControlPlaneProcess plane({"--no-https", "--data", sourceFile("tests/api/test_api_controlplane_devices.json"),
                                   "--provisioning-ms", "200"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const QString token = plane.signIn("a@test.dev");
        const APIBindDeviceRequest bind{QString("macos-1"), "Mac", "macos", "macOS 14.5", "v9.7.3"};
        const QString device = decoded<APIDeviceResponse>(plane.post("/devices", bind.toJson(), token))->device.id;
        const APIProtocolConfigRequest request{endpoint,
                                               device,
                                               "macos",
                                               "smart",
                                               8000,
                                               "auto",
                                               "wired",
                                               std::nullopt,
                                               "att_0123456789ABCDEF01",
                                               "req_0123456789ABCDEF01",
                                               "macos-v9.7.3"};

        std::optional<APIProtocolConfigResponse> answer;
        for (int attempt = 0; attempt < 100; ++attempt) {
            answer = decoded<APIProtocolConfigResponse>(
                plane.post("/client/devices/" + device + "/protocol-config", request.toJson(), token));
            QVERIFY(answer);
            const APIProtocolReadiness readiness = answer->readiness();
            if (readiness.status == "ready")
                break;
            QCOMPARE(readiness.status, QString("provisioning"));
            QVERIFY(readiness.message && !readiness.message->isEmpty());
            QCOMPARE(readiness.maxWaitMs, 4000);
            QTest::qWait(static_cast<int>(readiness.retryAfterMs));
        }
        QCOMPARE(answer->readiness().status, QString("ready"));
        const ProtocolConfiguration config = ProtocolConfiguration::from(*answer, endpoint);
        QCOMPARE(config.protocolKind, kind);
        QCOMPARE(config.endpointId, endpoint);
        QVERIFY(!config.cacheKey.isEmpty());
        QCOMPARE(config.configRevision, 1);
        if (kind == ProtocolKind::wireguard)
            QVERIFY(config.wireGuardConfigText && config.wireGuardConfigText->contains("[Peer]"));
        else
            QVERIFY(config.singBoxConfig || config.singBoxConfigText);
    }

    void aFailingNodeReadsAsFailed()
    {
        ControlPlaneProcess plane({"--no-https", "--data", sourceFile("tests/api/test_api_controlplane_devices.json")});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const QString token = plane.signIn("a@test.dev");
        const APIBindDeviceRequest bind{std::nullopt, "Mac", "macos", "macOS 14.5", "v9.7.3"};
        const QString device = decoded<APIDeviceResponse>(plane.post("/devices", bind.toJson(), token))->device.id;
        const APIProtocolConfigRequest request{"ep_broken", device, "macos", "enhanced", 8000,          "auto",
                                               "wired",     false,  "att_1", "req_1",    "macos-v9.7.3"};
        const auto answer = decoded<APIProtocolConfigResponse>(
            plane.post("/client/devices/" + device + "/protocol-config", request.toJson(), token));
        QVERIFY(answer);
        QCOMPARE(answer->readiness().status, QString("failed"));
    }

    void reportsFromTheClientsEncodersAreAccepted()
    {
        ControlPlaneProcess plane({"--no-https"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const QString token = plane.signIn("demo@tovren.dev");
        const APIBindDeviceRequest bind{QString("macos-2"), "Mac", "macos", "macOS 14.5", "v9.7.3"};
        const QString device = decoded<APIDeviceResponse>(plane.post("/devices", bind.toJson(), token))->device.id;

        APIConnectionReportRequest report;
        report.deviceId = device;
        report.endpointId = "ep_hk_01";
        report.protocolName = "vless";
        report.status = "failed";
        report.appVersion = "v9.7.3";
        report.clientPlatform = "macos";
        report.errorMessage = "节点不可用：协议配置同步失败。";
        report.stateStage = "fallback";
        report.reasonCode = "NODE_UNAVAILABLE";
        report.quickVerifyMs = 2000;
        report.clientRegion = "auto";
        report.networkType = "wired";
        report.isOverseas = false;
        report.attemptId = "att_1";
        report.requestId = "req_1";
        report.buildId = "macos-v9.7.3";
        report.stateLog = {StateRecord{{"stage", "auth_check"}, {"attempt_id", "att_1"}, {"attemptId", "att_1"}}};
        QVERIFY(decoded<APIOkResponse>(plane.post("/client/connection-report", report.toJson(), token))->ok);

        APIClientCrashReportRequest crash;
        crash.clientPlatform = "macos";
        crash.appVersion = "v9.7.3";
        crash.crashType = "macos-connection";
        crash.reason = "连接失败";
        QCOMPARE(plane.post("/client/crash-report", crash.toJson(), token).status, 200);

        const QJsonObject state = plane.state();
        QCOMPARE(state["connectionReports"][0]["report"].toObject(), report.toJson());
        QCOMPARE(state["crashReports"][0]["report"].toObject(), crash.toJson());
    }
};

QTEST_GUILESS_MAIN(TestControlPlaneContract)
#include "test_api_controlplane_contract.moc"
