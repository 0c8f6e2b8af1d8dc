#include "TestHome.h"
#include "api/ProtocolConfiguration.h"
#include "api/TovrenRuntimeError.h"

#include <QTest>

namespace {

APIProtocolConfigResponse answer(const QByteArray &json)
{
    return decodeAnswer<APIProtocolConfigResponse>(json);
}

JSONValue value(const QByteArray &json)
{
    return JSONValue::decode(parseJsonBody(json));
}

std::optional<JSONValue> optionalValue(const QByteArray &json)
{
    return json.isEmpty() ? std::nullopt : std::optional<JSONValue>(value(json));
}

} // namespace

// Readiness, normalisation and the cache form of the per-device protocol configuration.
class TestProtocolConfig : public QObject
{
    Q_OBJECT
    TestHome m_home;

private Q_SLOTS:
    void readiness_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("message"); // empty: absent
        QTest::addColumn<qint64>("retry");
        QTest::addColumn<qint64>("maxWait");

        QTest::newRow("nothing at all") << QByteArray("{}") << "ready"
                                        << "" << 1000LL << 5000LL;
        QTest::newRow("flat status lower-cased")
            << QByteArray(R"({"config_status":"Provisioning","retry_after_ms":800})") << "provisioning"
            << "" << 800LL << 5000LL;
        QTest::newRow("node synced in capitals")
            << QByteArray(R"({"protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"SYNCED"}}})") << "ready"
            << "" << 1000LL << 5000LL;
        QTest::newRow("node sync not required")
            << QByteArray(R"({"protocolConfigV2":{"lifecycle":{"node_sync_status":"Not_Required"}}})") << "ready"
            << "" << 1000LL << 5000LL;
        QTest::newRow("node sync failed")
            << QByteArray(R"({"protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"push_FAILED_twice"}}})") << "failed"
            << "" << 1000LL << 5000LL;
        QTest::newRow("node sync pending")
            << QByteArray(R"({"protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"pending"}}})") << "not_ready"
            << "" << 1000LL << 5000LL;
        QTest::newRow("empty status lets node sync decide")
            << QByteArray(R"({"configStatus":"","protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"pending"}}})")
            << "not_ready"
            << "" << 1000LL << 5000LL;
        QTest::newRow("a status beats node sync")
            << QByteArray(R"({"configStatus":"READY","protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"failed"}}})")
            << "ready"
            << "" << 1000LL << 5000LL;
        QTest::newRow("flat status beats nested and provisioning")
            << QByteArray(
                   R"({"configStatus":"a","protocolConfigV2":{"configStatus":"b"},"provisioning":{"status":"c"}})")
            << "a"
            << "" << 1000LL << 5000LL;
        QTest::newRow("nested status beats provisioning")
            << QByteArray(R"({"protocolConfigV2":{"config_status":"B"},"provisioning":{"status":"c"}})") << "b"
            << "" << 1000LL << 5000LL;
        QTest::newRow("provisioning fills the gaps")
            << QByteArray(
                   R"({"provisioning":{"status":"Pending","message":"正在下发","retry_after_ms":250,"maxWaitMs":9000}})")
            << "pending"
            << "正在下发" << 250LL << 9000LL;
        QTest::newRow("flat values beat provisioning")
            << QByteArray(R"({"message":"m","retryAfterMs":1,"max_wait_ms":2,)"
                          R"("provisioning":{"message":"p","retryAfterMs":3,"maxWaitMs":4}})")
            << "ready"
            << "m" << 1LL << 2LL;
        QTest::newRow("nested provisioning is not read")
            << QByteArray(
                   R"({"protocolConfigV2":{"provisioning":{"status":"pending","message":"x","retryAfterMs":5}}})")
            << "ready"
            << "" << 1000LL << 5000LL;
    }
    void readiness()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, status);
        QFETCH(QString, message);
        QFETCH(qint64, retry);
        QFETCH(qint64, maxWait);
        const APIProtocolReadiness r = answer(body).readiness();
        QCOMPARE(r.status, status);
        QCOMPARE(r.message, message.isEmpty() ? std::nullopt : std::optional<QString>(message));
        QCOMPARE(r.retryAfterMs, retry);
        QCOMPARE(r.maxWaitMs, maxWait);
    }

    void debugSummary()
    {
        QCOMPARE(answer("{}").runtimeDebugSummary(),
                 QStringLiteral("v2=false proto=wireguard runtime=false rtText=false rtWG=false rtSB=false "
                                "rtConfig=false topSB=false topRaw=false"));
        QCOMPARE(answer(R"({"type":"trojan","singBoxConfig":{},"outbound":{},)"
                        R"("protocolConfigV2":{"protocol":"vless","runtime":{"config_text":"x","config":[]}}})")
                     .runtimeDebugSummary(),
                 QStringLiteral("v2=true proto=vless runtime=true rtText=true rtWG=false rtSB=false "
                                "rtConfig=true topSB=true topRaw=true"));
        QCOMPARE(answer(R"({"protocol_type":"ss","protocolConfigV2":{"runtime":{"wireguard_config":"w",)"
                        R"("sing_box_config":{}}}})")
                     .runtimeDebugSummary(),
                 QStringLiteral("v2=true proto=ss runtime=true rtText=false rtWG=true rtSB=true "
                                "rtConfig=false topSB=false topRaw=false"));
    }

    void rawConfigShapes_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("raw"); // empty: absent
        QTest::newRow("config as it is") << QByteArray(R"({"config":"text","outbounds":[1]})")
                                         << QByteArray(R"("text")");
        QTest::newRow("null config falls through")
            << QByteArray(R"({"config":null,"outbounds":[1]})") << QByteArray(R"({"outbounds":[1]})");
        QTest::newRow("outbounds wrapped")
            << QByteArray(R"({"outbounds":{"a":1}})") << QByteArray(R"({"outbounds":{"a":1}})");
        QTest::newRow("single outbound wrapped in a list")
            << QByteArray(R"({"outbound":{"type":"vless"}})") << QByteArray(R"({"outbounds":[{"type":"vless"}]})");
        QTest::newRow("none") << QByteArray(R"({"outbound":null})") << QByteArray();
    }
    void rawConfigShapes()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, raw);
        QCOMPARE(answer(body).rawConfig, optionalValue(raw));
    }

    void normalising_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("wireGuard");   // "-" : absent
        QTest::addColumn<QString>("singBoxText"); // "-" : absent
        QTest::addColumn<QByteArray>("singBox");  // empty: absent

        const int wg = int(ProtocolKind::wireguard);
        QTest::newRow("wireguard from config text")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"WG","runtime":{"configText":"[Interface]"}}})") << wg
            << "[Interface]"
            << "-" << QByteArray();
        QTest::newRow("wireguard text beats config text")
            << QByteArray(
                   R"({"protocolConfigV2":{"protocol":"wireguard","runtime":{"configText":"a","wireGuardConfig":"b",)"
                   R"("singBoxConfig":{"outbounds":[]}}}})")
            << wg << "b"
            << "-" << QByteArray();
        QTest::newRow("vless with text only")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"vless","runtime":{"configText":"{}"}}})")
            << int(ProtocolKind::vless) << "-"
            << "{}" << QByteArray();
        QTest::newRow("single outbound becomes the configuration")
            << QByteArray(R"({"outbound":{"type":"trojan"},"protocolConfigV2":{"protocol":"trojan","runtime":{}}})")
            << int(ProtocolKind::trojan) << "-"
            << "-" << QByteArray(R"({"outbounds":[{"type":"trojan"}]})");
        QTest::newRow("wrapped member beats the top-level configuration")
            << QByteArray(R"({"config":{"sing_box_config":{"dns":{}}},"singBoxConfig":{"route":{}},)"
                          R"("protocolConfigV2":{"protocol":"hy2","runtime":{}}})")
            << int(ProtocolKind::hysteria2) << "-"
            << "-" << QByteArray(R"({"dns":{}})");
        QTest::newRow("only the first wrapped name counts")
            << QByteArray(R"({"config":{"singBoxConfig":{"log":{}},"sing_box_config":{"dns":{}}},)"
                          R"("singBoxConfig":{"route":{}},"protocolConfigV2":{"protocol":"vless","runtime":{}}})")
            << int(ProtocolKind::vless) << "-"
            << "-" << QByteArray(R"({"route":{}})");
        QTest::newRow("raw configuration itself")
            << QByteArray(
                   R"({"config":{"inbounds":[],"singbox_config":5},"protocolConfigV2":{"protocol":"ss","runtime":{}}})")
            << int(ProtocolKind::shadowsocks) << "-"
            << "-" << QByteArray(R"({"inbounds":[],"singbox_config":5})");
        QTest::newRow("unusable top-level falls to the runtime")
            << QByteArray(R"({"singBoxConfig":{"log":{}},"protocolConfigV2":{"protocol":"naive",)"
                          R"("runtime":{"sing_box_config":{"x":1},"config":{"y":2}}}})")
            << int(ProtocolKind::naiveproxy) << "-"
            << "-" << QByteArray(R"({"x":1})");
        QTest::newRow("runtime config last")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"vless","runtime":{"config":{"y":2},"configText":"t",)"
                          R"("wireguard_config":"wg"}}})")
            << int(ProtocolKind::vless) << "wg"
            << "t" << QByteArray(R"({"y":2})");
    }
    void normalising()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, kind);
        QFETCH(QString, wireGuard);
        QFETCH(QString, singBoxText);
        QFETCH(QByteArray, singBox);
        const auto orAbsent = [](const QString &s) { return s == u"-" ? std::nullopt : std::optional<QString>(s); };
        const ProtocolConfiguration c = ProtocolConfiguration::from(answer(body), "fallback");
        QCOMPARE(int(c.protocolKind), kind);
        QCOMPARE(c.wireGuardConfigText, orAbsent(wireGuard));
        QCOMPARE(c.singBoxConfigText, orAbsent(singBoxText));
        QCOMPARE(c.singBoxConfig, optionalValue(singBox));
    }

    void nothingUsableThrows_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("flat configuration without the nested shape")
            << QByteArray(R"({"protocol":"wireguard","wireguard_config":"[Interface]","config_text":"x"})");
        QTest::newRow("no runtime") << QByteArray(R"({"protocolConfigV2":{"protocol":"vless"},"outbound":{}})");
        QTest::newRow("no protocol") << QByteArray(
            R"({"protocol":"vless","protocolConfigV2":{"runtime":{"configText":"x"}}})");
        QTest::newRow("unknown protocol")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"tuic","runtime":{"configText":"x"}}})");
        QTest::newRow("wireguard with empty text")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"wireguard","runtime":{"configText":""}}})");
        QTest::newRow("wireguard with only sing-box")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"wireguard","runtime":{"config":{"outbounds":[]}}}})");
        QTest::newRow("empty wireguard text does not fall back") << QByteArray(
            R"({"protocolConfigV2":{"protocol":"wireguard","runtime":{"wireGuardConfig":"","configText":"x"}}})");
        QTest::newRow("vless with only wireguard text")
            << QByteArray(R"({"protocolConfigV2":{"protocol":"vless","runtime":{"wireGuardConfig":"x"}}})");
    }
    void nothingUsableThrows()
    {
        QFETCH(QByteArray, body);
        try {
            ProtocolConfiguration::from(answer(body), "hk");
            QFAIL("a configuration was made");
        } catch (const TovrenRuntimeError &error) {
            QCOMPARE(error.kind(), TovrenRuntimeError::Kind::missingProtocolConfig);
            QCOMPARE(error.description(), QStringLiteral("服务端没有返回可用协议配置。"));
        }
    }

    void identityAndCacheFields()
    {
        const auto bare = ProtocolConfiguration::from(
            answer(R"({"endpoint_id":"flat","protocolConfigV2":{"protocol":"vless","runtime":{"configText":"t"}}})"),
            "fallback");
        QCOMPARE(bare.endpointId, QStringLiteral("fallback"));
        QCOMPARE(bare.cacheKey, QString());
        QCOMPARE(bare.configRevision, 0);
        QCOMPARE(bare.rawConfig, std::nullopt);

        const auto full = ProtocolConfiguration::from(
            answer(R"({"outbounds":[],"protocolConfigV2":{"endpoint_id":"hk-1","protocol":"vless",)"
                   R"("cache":{"key":"k1","config_revision":7},"runtime":{"configText":"t"}}})"),
            "fallback");
        QCOMPARE(full.endpointId, QStringLiteral("hk-1"));
        QCOMPARE(full.cacheKey, QStringLiteral("k1"));
        QCOMPARE(full.configRevision, 7);
        QCOMPARE(full.rawConfig, std::optional<JSONValue>(value(R"({"outbounds":[]})")));
    }

    void cacheFormRoundTrips()
    {
        const auto full = ProtocolConfiguration::from(
            answer(
                R"({"config":{"outbounds":[{"type":"vless","server_port":443}],"x":null},)"
                R"("protocolConfigV2":{"endpointId":"hk","protocol":"vless","cache":{"cacheKey":"k","configRevision":3},)"
                R"("runtime":{"configText":"t","wireGuardConfig":"w"}}})"),
            "fallback");
        const QJsonObject json = full.toJson();
        QCOMPARE(json.value("protocolKind"), QJsonValue("vless"));
        QCOMPARE(json.value("configRevision"), QJsonValue(3));
        QCOMPARE(decodeJsonValue<ProtocolConfiguration>(json, QString()), full);

        ProtocolConfiguration minimal;
        minimal.endpointId = "sg";
        minimal.protocolKind = ProtocolKind::wireguard;
        minimal.wireGuardConfigText = "[Interface]";
        QCOMPARE(minimal.toJson().keys(),
                 (QStringList{"cacheKey", "configRevision", "endpointId", "protocolKind", "wireGuardConfigText"}));
        QCOMPARE(decodeAnswer<ProtocolConfiguration>(jsonBytes(minimal.toJson())), minimal);
    }

    void damagedCacheFormFails_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("no revision") << QByteArray(R"({"endpointId":"a","protocolKind":"vless","cacheKey":""})");
        QTest::newRow("no cache key") << QByteArray(R"({"endpointId":"a","protocolKind":"vless","configRevision":0})");
        QTest::newRow("unknown protocol")
            << QByteArray(R"({"endpointId":"a","protocolKind":"VLESS","cacheKey":"","configRevision":0})");
        QTest::newRow("text of wrong type") << QByteArray(
            R"({"endpointId":"a","protocolKind":"vless","cacheKey":"","configRevision":0,"singBoxConfigText":{}})");
    }
    void damagedCacheFormFails()
    {
        QFETCH(QByteArray, body);
        QVERIFY_THROWS_EXCEPTION(DecodingError, decodeAnswer<ProtocolConfiguration>(body));
    }
};

QTEST_GUILESS_MAIN(TestProtocolConfig)
#include "test_protocolconfig.moc"
