#include "TestHome.h"
#include "test_api_controlplane_support.h"

#include <QFile>
#include <QTest>

namespace {

// The catalogue and accounts these tests are about, beside this file.
QJsonObject dataSet()
{
    QFile file(qEnvironmentVariable("TOVREN_SOURCE_DIR") + "/tests/api/test_api_controlplane_devices.json");
    return file.open(QIODevice::ReadOnly) ? parseJson(file.readAll()) : QJsonObject();
}

QJsonObject bindRequest(const QString &clientId)
{
    return {{"deviceId", clientId},
            {"deviceName", "Mac"},
            {"deviceType", "macos"},
            {"os", "macOS 14.5"},
            {"appVersion", "v9.7.3"}};
}

QJsonObject configRequest(const QString &deviceId, const QString &endpointId, const QString &mode = "smart")
{
    return {{"endpoint_id", endpointId},
            {"device_id", deviceId},
            {"platform", "macos"},
            {"outbound_mode", mode},
            {"wait_for_ready_ms", 8000},
            {"client_region", "auto"},
            {"network_type", "wired"},
            {"attempt_id", "att_0123456789ABCDEF01"},
            {"request_id", "req_0123456789ABCDEF01"},
            {"build_id", "macos-v9.7.3"}};
}

QJsonObject connectionReport(const QString &deviceId, const QString &status)
{
    return {{"deviceId", deviceId},
            {"endpointId", "ep_runtime"},
            {"protocol", "vless"},
            {"status", status},
            {"latencyMs", 38},
            {"appVersion", "v9.7.3"},
            {"clientPlatform", "macos"},
            {"stateStage", "connected"},
            {"reasonCode", "OK"},
            {"quickVerifyMs", 2000},
            {"clientRegion", "auto"},
            {"networkType", "wired"},
            {"isOverseas", false},
            {"attemptId", "att_A"},
            {"requestId", "req_B"},
            {"buildId", "macos-v9.7.3"},
            {"connectDurationMs", 1234},
            {"stateLog", QJsonArray{QJsonObject{{"stage", "auth_check"}, {"attempt_id", "att_A"}},
                                    QJsonObject{{"stage", "connected"}, {"elapsedMs", "1200"}}}}};
}

QString encoded(const QString &id)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

} // namespace

class TestControlPlaneDevices : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<DataSetFile> m_data;
    std::unique_ptr<ControlPlaneProcess> m_plane;
    QString m_token;

    ControlPlaneProcess &plane() { return *m_plane; }

    QString bind(const QString &clientId)
    {
        return plane().post("/devices", bindRequest(clientId), m_token).json()["device"]["id"].toString();
    }

    HttpResult requestConfig(const QString &deviceId, const QJsonObject &body)
    {
        return plane().post("/client/devices/" + encoded(deviceId) + "/protocol-config", body, m_token);
    }

    // Polls like the client: until the node is no longer provisioning, at most 100 times.
    HttpResult configWhenSettled(const QString &deviceId, const QJsonObject &body)
    {
        HttpResult r;
        for (int i = 0; i < 100; ++i) {
            r = requestConfig(deviceId, body);
            if (r.status != 202)
                break;
            QTest::qWait(r.json()["retry_after_ms"].toInt());
        }
        return r;
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_data = std::make_unique<DataSetFile>(dataSet());
        m_plane = std::make_unique<ControlPlaneProcess>(QStringList{"--no-https", "--data", m_data->path()});
        QVERIFY2(plane().isRunning(), qPrintable(plane().startError()));
        m_token = plane().signIn("a@test.dev");
        QVERIFY(!m_token.isEmpty());
    }

    void cleanup()
    {
        m_plane.reset();
        m_data.reset();
        m_home.reset();
    }

    void thePlansDeviceLimitBoundsBinding()
    {
        const QString mac = bind("macos-aaaa");
        QVERIFY(mac.startsWith("dev_"));
        QJsonObject list = plane().get("/devices", m_token).json();
        QCOMPARE(list["max_devices"].toInt(), 2);
        QCOMPARE(list["active_device_count"].toInt(), 2);
        QCOMPARE(list["devices"][1]["device_name"].toString(), QString("Mac"));

        const HttpResult refused = plane().post("/devices", bindRequest("macos-bbbb"), m_token);
        QCOMPARE(refused.status, 403);
        QCOMPARE(refused.errorCode(), QString("DEVICE_LIMIT"));
        QCOMPARE(refused.errorText(), QString("已绑定设备 2/2，请先在设置中解绑不用的设备。"));

        // Binding again with the same client id takes no second slot.
        const HttpResult again = plane().post("/devices", bindRequest("macos-aaaa"), m_token);
        QCOMPARE(again.status, 200);
        QCOMPARE(again.json()["device"]["id"].toString(), mac);

        // An id holding "/" and a space travels percent-encoded and is still one device.
        QCOMPARE(plane().send("DELETE", "/devices/" + encoded("dev/legacy 01"), {}, {}, m_token).status, 200);
        QCOMPARE(plane().send("DELETE", "/devices/" + encoded("dev/legacy 01"), {}, {}, m_token).status, 404);
        list = plane().get("/devices", m_token).json();
        QCOMPARE(list["devices"].toArray().size(), 1);
        QCOMPARE(list["active_device_count"].toInt(), 1);
        QCOMPARE(plane().post("/devices", bindRequest("macos-bbbb"), m_token).status, 201);

        QJsonObject incomplete = bindRequest("macos-cccc");
        incomplete.remove("os");
        QCOMPARE(plane().post("/devices", incomplete, m_token).status, 400);
    }

    void aPlanWithoutDevicesRefusesBinding()
    {
        const QString token = plane().signIn("free@test.dev");
        const HttpResult r = plane().post("/devices", bindRequest("macos-free"), token);
        QCOMPARE(r.status, 403);
        QCOMPARE(r.errorCode(), QString("NO_DEVICE_SLOTS"));
    }

    void provisioningThenReady_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("provisions");
        QTest::newRow("sing-box in the runtime") << "ep_runtime"
                                                 << "smart" << true;
        QTest::newRow("sing-box as text, http upstream") << "ep_text"
                                                         << "enhanced" << true;
        QTest::newRow("sing-box under config") << "ep_config"
                                               << "smart" << true;
        QTest::newRow("bare outbounds, no delay") << "ep_outbounds"
                                                  << "smart" << false;
        QTest::newRow("wireguard") << "ep_wg"
                                   << "smart" << true;
    }

    void provisioningThenReady()
    {
        QFETCH(QString, endpoint);
        QFETCH(QString, mode);
        QFETCH(bool, provisions);
        const QString device = bind("macos-aaaa");
        const QJsonObject body = configRequest(device, endpoint, mode);

        const HttpResult first = requestConfig(device, body);
        if (provisions) {
            QCOMPARE(first.status, 202);
            const QJsonObject waiting = first.json();
            QCOMPARE(waiting["configStatus"].toString(), QString("provisioning"));
            QCOMPARE(waiting["retry_after_ms"].toInt(), 100);
            QCOMPARE(waiting["max_wait_ms"].toInt(), 4000);
            QCOMPARE(waiting["provisioning"]["status"].toString(), QString("provisioning"));
            QVERIFY(!waiting["protocolConfigV2"].toObject().contains("runtime"));
        }
        const HttpResult settled = configWhenSettled(device, body);
        QCOMPARE(settled.status, 200);
        const QJsonObject ready = settled.json();
        QCOMPARE(ready["config_status"].toString(), QString("ready"));
        const QJsonObject v2 = ready["protocolConfigV2"].toObject();
        QCOMPARE(v2["endpointId"].toString(), endpoint);
        QCOMPARE(v2["lifecycle"]["nodeSyncStatus"].toString(), QString("synced"));
        QVERIFY(v2["cache"]["cacheKey"].toString().startsWith("pc_"));
        QCOMPARE(v2["cache"]["configRevision"].toInt(), 1);
        const QJsonObject runtime = v2["runtime"].toObject();
        QVERIFY(v2.contains("runtime"));

        if (endpoint == "ep_wg") {
            QCOMPARE(v2["protocol"].toString(), QString("wireguard"));
            const QString text = runtime["wireGuardConfig"].toString();
            QVERIFY(text.startsWith("[Interface]\nPrivateKey = "));
            QVERIFY(text.contains("\n[Peer]\nPublicKey = UFVC\n"));
            QVERIFY(text.contains("\nEndpoint = wg.test:51999\n"));
            QCOMPARE(QByteArray::fromBase64(text.section("PrivateKey = ", 1).section('\n', 0, 0).toLatin1()).size(),
                     32);
            return;
        }
        // Wherever the node put the sing-box configuration, its proxy outbound leads to the upstream.
        const QJsonObject config = [&] {
            if (endpoint == "ep_runtime")
                return runtime["singBoxConfig"].toObject();
            if (endpoint == "ep_text")
                return parseJson(runtime["configText"].toString().toUtf8());
            if (endpoint == "ep_config")
                return ready["config"]["sing_box_config"].toObject();
            return QJsonObject{{"outbounds", ready["outbounds"]}};
        }();
        const QJsonObject proxy = config["outbounds"][0].toObject();
        QCOMPARE(proxy["tag"].toString(), QString("proxy"));
        QCOMPARE(proxy["server"].toString(), QString("127.0.0.1"));
        if (endpoint == "ep_text") {
            QCOMPARE(proxy["type"].toString(), QString("http"));
            QCOMPARE(proxy["server_port"].toInt(), 3128);
            QCOMPARE(proxy["username"].toString(), QString("u"));
        } else {
            QCOMPARE(proxy["type"].toString(), QString("socks"));
            QCOMPARE(proxy["server_port"].toInt(), 1081);
        }
        QCOMPARE(config["outbounds"][1]["type"].toString(), QString("direct"));
        if (endpoint != "ep_outbounds") {
            const QJsonArray rules = config["route"]["rules"].toArray();
            QCOMPARE(rules.size(), mode == "smart" ? 2 : 1);
        }

        // Once provisioned, the configuration is ready at once, and every request was seen with its trace.
        QCOMPARE(requestConfig(device, body).status, 200);
        const QJsonArray seen = plane().state()["protocolConfigRequests"].toArray();
        QCOMPARE(seen.last()["answer"].toString(), QString("ready"));
        QCOMPARE(seen.last()["body"]["attempt_id"].toString(), QString("att_0123456789ABCDEF01"));
    }

    void aFailingNodeAnswersFailed()
    {
        const QString device = bind("macos-aaaa");
        const HttpResult r = configWhenSettled(device, configRequest(device, "ep_broken"));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.json()["config_status"].toString(), QString("failed"));
        QVERIFY(!r.json()["message"].toString().isEmpty());
        QCOMPARE(r.json()["protocolConfigV2"]["lifecycle"]["nodeSyncStatus"].toString(), QString("failed"));
    }

    void unbindingRevokesTheCredentials()
    {
        plane().admin("POST", "/settings", {{"provisioningDelayMs", 300}});
        const QString device = bind("macos-aaaa");
        QCOMPARE(configWhenSettled(device, configRequest(device, "ep_runtime")).status, 200);
        QCOMPARE(plane().send("DELETE", "/devices/" + device, {}, {}, m_token).status, 200);
        QCOMPARE(requestConfig(device, configRequest(device, "ep_runtime")).status, 404);
        const QString rebound = bind("macos-aaaa");
        QVERIFY(rebound != device);
        QCOMPARE(requestConfig(rebound, configRequest(rebound, "ep_runtime")).status, 202);
    }

    void theUpstreamAndDelayCanChangeAtRunTime()
    {
        const HttpResult changed =
            plane().admin("POST", "/settings", {{"upstream", "http://127.0.0.1:8080"}, {"provisioningDelayMs", 0}});
        QCOMPARE(changed.json()["upstream"].toString(), QString("http://127.0.0.1:8080"));
        const QString device = bind("macos-aaaa");
        const HttpResult r = requestConfig(device, configRequest(device, "ep_runtime"));
        QCOMPARE(r.status, 200);
        const QJsonObject proxy = r.json()["protocolConfigV2"]["runtime"]["singBoxConfig"]["outbounds"][0].toObject();
        QCOMPARE(proxy["type"].toString(), QString("http"));
        QCOMPARE(proxy["server_port"].toInt(), 8080);
        QCOMPARE(plane().admin("POST", "/settings", {{"upstream", "ftp://x:1"}}).status, 400);
        QCOMPARE(plane().admin("POST", "/settings", {{"maxWaitMs", -1}}).status, 400);
    }

    void protocolConfigRefusals_data()
    {
        QTest::addColumn<QString>("pathDevice"); // empty: the bound device
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("body names another device")
            << "" << QJsonObject{{"device_id", "dev_other"}} << 400 << "DEVICE_MISMATCH";
        QTest::newRow("unknown device") << "dev_nope" << QJsonObject{{"device_id", "dev_nope"}} << 404
                                        << "DEVICE_NOT_FOUND";
        QTest::newRow("unknown endpoint")
            << "" << QJsonObject{{"endpoint_id", "ep_nope"}} << 404 << "ENDPOINT_NOT_FOUND";
        QTest::newRow("offline endpoint") << "" << QJsonObject{{"endpoint_id", "ep_off"}} << 409 << "ENDPOINT_OFFLINE";
        QTest::newRow("unknown outbound mode")
            << "" << QJsonObject{{"outbound_mode", "global"}} << 400 << "INVALID_FIELD";
        QTest::newRow("wait with a fraction")
            << "" << QJsonObject{{"wait_for_ready_ms", 8000.5}} << 400 << "INVALID_FIELD";
        QTest::newRow("wait as text") << "" << QJsonObject{{"wait_for_ready_ms", "8000"}} << 400 << "INVALID_FIELD";
        QTest::newRow("overseas as text") << "" << QJsonObject{{"is_overseas", "false"}} << 400 << "INVALID_FIELD";
        QTest::newRow("camelCase keys") << ""
                                        << QJsonObject{{"build_id", QJsonValue::Null}, {"buildId", "macos-v9.7.3"}}
                                        << 400 << "INVALID_FIELD";
    }

    void protocolConfigRefusals()
    {
        QFETCH(QString, pathDevice);
        QFETCH(QJsonObject, changes);
        QFETCH(int, status);
        QFETCH(QString, code);
        const QString device = bind("macos-aaaa");
        const QJsonObject body = withChanges(configRequest(device, "ep_runtime"), changes);
        const HttpResult r = requestConfig(pathDevice.isEmpty() ? device : pathDevice, body);
        QCOMPARE(r.status, status);
        QCOMPARE(r.errorCode(), code);
    }

    void anExpiredSubscriptionGetsNoConfiguration()
    {
        m_token = plane().signIn("old@test.dev");
        const QString device = bind("macos-old");
        const HttpResult r = requestConfig(device, configRequest(device, "ep_outbounds"));
        QCOMPARE(r.status, 403);
        QCOMPARE(r.errorCode(), QString("SUBSCRIPTION_EXPIRED"));
    }

    void reportsAreKeptForInspection()
    {
        const QString device = bind("macos-aaaa");
        const QList<QNetworkReply::RawHeaderPair> trace{
            {"Content-Type", "application/json"}, {"X-Request-Id", "req_B"}, {"X-Tovren-Attempt-Id", "att_A"}};
        const QJsonObject connected = connectionReport(device, "connected");
        const HttpResult sent =
            plane().send("POST", "/client/connection-report", QJsonDocument(connected).toJson(), trace, m_token);
        QCOMPARE(sent.status, 200);
        QCOMPARE(sent.header("X-Request-Id"), QByteArray("req_B"));
        QJsonObject seen = plane().state()["connectionReports"][0].toObject();
        QCOMPARE(seen["report"].toObject(), connected);
        QCOMPARE(seen["traceHeaders"].toObject(),
                 QJsonObject({{"X-Request-Id", "req_B"}, {"X-Tovren-Attempt-Id", "att_A"}}));
        QCOMPARE(seen["userId"].toString(), QString("usr_a"));
        QJsonObject mine = plane().get("/devices", m_token).json()["devices"][1].toObject();
        QCOMPARE(mine["is_online"], QJsonValue(true));
        QCOMPARE(mine["connection_status"].toString(), QString("connected"));
        QVERIFY(mine.contains("latest_connection_at"));

        QCOMPARE(plane().post("/client/connection-report", connectionReport(device, "disconnected"), m_token).status,
                 200);
        mine = plane().get("/devices", m_token).json()["devices"][1].toObject();
        QCOMPARE(mine["is_online"], QJsonValue(false));

        const QJsonObject crash{{"clientPlatform", "macos"},       {"appVersion", "v9.7.3"},
                                {"crashType", "macos-connection"}, {"reason", "连接失败"},
                                {"diagnostics", "12:00:00 a"},     {"threadName", "main"}};
        QCOMPARE(plane().post("/client/crash-report", crash, m_token).status, 200);
        QCOMPARE(plane().state()["crashReports"][0]["report"].toObject(), crash);

        // Every request is recorded with the headers it carried.
        const QJsonObject last = plane().state()["requests"].toArray().last().toObject();
        QCOMPARE(last["path"].toString(), QString("/api/client/crash-report"));
        QCOMPARE(last["headers"]["X-Tovren-Platform"].toString(), QString("macos"));
        QVERIFY(last["headers"]["Authorization"].toString().startsWith("Bearer tvn_"));
    }

    void malformedReportsAreRefused_data()
    {
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<int>("status");
        QTest::newRow("state log value not text")
            << QJsonObject{{"stateLog", QJsonArray{QJsonObject{{"elapsedMs", 5}}}}} << 400;
        QTest::newRow("state log entry not an object") << QJsonObject{{"stateLog", QJsonArray{"connected"}}} << 400;
        QTest::newRow("state log missing") << QJsonObject{{"stateLog", QJsonValue::Null}} << 400;
        QTest::newRow("unknown status") << QJsonObject{{"status", "weird"}} << 400;
        QTest::newRow("reason code missing") << QJsonObject{{"reasonCode", QJsonValue::Null}} << 400;
        QTest::newRow("latency with a fraction") << QJsonObject{{"latencyMs", 1.5}} << 400;
        QTest::newRow("error message not text") << QJsonObject{{"errorMessage", 7}} << 400;
        QTest::newRow("protocol under its field name")
            << QJsonObject{{"protocol", QJsonValue::Null}, {"protocolName", "vless"}} << 400;
        QTest::newRow("device of nobody") << QJsonObject{{"deviceId", "dev_nope"}} << 404;
    }

    void malformedReportsAreRefused()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(int, status);
        const QJsonObject report = withChanges(connectionReport(bind("macos-aaaa"), "failed"), changes);
        QCOMPARE(plane().post("/client/connection-report", report, m_token).status, status);
        QCOMPARE(plane().state()["connectionReports"].toArray().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestControlPlaneDevices)
#include "test_api_controlplane_devices.moc"
