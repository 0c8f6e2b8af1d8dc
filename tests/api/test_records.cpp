#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "api/GenericRecords.h"
#include "api/ProtocolConfiguration.h"
#include "api/ReportRecords.h"
#include "api/TovrenRuntimeError.h"
#include "testkit/TestHome.h"

#include <QTest>

// The control plane's records: the key rules every answer is read with, defaults and spellings, request bodies,
// and the per-device protocol configuration with its cache form.
namespace {

using Decoder = void (*)(const QByteArray &);

const QMap<QString, Decoder> &decoders()
{
    static const QMap<QString, Decoder> all{
        {"me", [](const QByteArray &b) { decodeAnswer<APIMeResponse>(b); }},
        {"auth", [](const QByteArray &b) { decodeAnswer<APIAuthResponse>(b); }},
        {"code", [](const QByteArray &b) { decodeAnswer<APIVerificationCodeResponse>(b); }},
        {"plans", [](const QByteArray &b) { decodeAnswer<APIPlansResponse>(b); }},
        {"nodes", [](const QByteArray &b) { decodeAnswer<APINodesResponse>(b); }},
        {"versions", [](const QByteArray &b) { decodeAnswer<APIVersionsResponse>(b); }},
        {"orders", [](const QByteArray &b) { decodeAnswer<APIOrdersResponse>(b); }},
        {"tickets", [](const QByteArray &b) { decodeAnswer<APITicketsResponse>(b); }},
        {"ticket", [](const QByteArray &b) { decodeAnswer<APITicketResponse>(b); }},
        {"bootstrap", [](const QByteArray &b) { decodeAnswer<APIClientBootstrapResponse>(b); }},
        {"devices", [](const QByteArray &b) { decodeAnswer<APIDevicesResponse>(b); }},
        {"device", [](const QByteArray &b) { decodeAnswer<APIDeviceResponse>(b); }},
        {"protocol", [](const QByteArray &b) { decodeAnswer<APIProtocolConfigResponse>(b); }},
        {"error", [](const QByteArray &b) { decodeAnswer<APIErrorResponse>(b); }},
    };
    return all;
}

const QByteArray user =
    R"({"id":"u1","identity":"a@b.c","role":"user","status":"active","planName":"月费","maxDevices":3)";

QByteArray me(const QByteArray &extra)
{
    return R"({"user":)" + user + extra + "}}";
}

APIProtocolConfigResponse answer(const QByteArray &json)
{
    return decodeAnswer<APIProtocolConfigResponse>(json);
}

std::optional<JSONValue> optionalValue(const QByteArray &json)
{
    return json.isEmpty() ? std::nullopt : std::optional<JSONValue>(JSONValue::decode(parseJsonBody(json)));
}

std::optional<QString> orAbsent(const QString &text)
{
    return text == u"-" ? std::nullopt : std::optional<QString>(text);
}

APIEndpoint endpoint(const QByteArray &members)
{
    return decodeAnswer<APIClientBootstrapResponse>(R"({"endpoints":[{"id":"e")" + members + "}]}").endpoints[0];
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT
    TestHome m_home;

private Q_SLOTS:
    void answersFollowTheKeyRules()
    {
        const int none = -1, missing = int(DecodingError::Kind::keyNotFound);
        const int null = int(DecodingError::Kind::valueNotFound), type = int(DecodingError::Kind::typeMismatch);
        const int corrupt = int(DecodingError::Kind::dataCorrupted);
        const QByteArray node = R"({"nodes":[{"id":"n","region":"r","name":"n","status":"online","latency_ms":1,)"
                                R"("load_percent":2)";
        struct Row
        {
            const char *record;
            QByteArray body;
            QString failsAt;
            int kind;
        };
        const QList<Row> rows{
            {"me", R"({"user":{"id":"u","identity":"i","role":"r","status":"s","maxDevices":1}})", "user.planName",
             missing},
            {"me", me(R"(,"role":null)"), "user.role", null},
            {"me", me(R"(,"email":null)"), "", none},
            {"me", me(R"(,"email":5)"), "user.email", type},
            {"me", me(R"(,"maxDevices":3.0)"), "", none},
            {"me", me(R"(,"maxDevices":3.5)"), "user.maxDevices", corrupt},
            {"me", me(R"(,"rewardDays":9223372036854775808)"), "user.rewardDays", corrupt},
            {"me", me(R"(,"rewardDays":-9223372036854775808)"), "", none},
            {"me", me(R"(,"maxDevices":"3")"), "user.maxDevices", type},
            {"me", R"({"user":[]})", "user", type},
            {"auth", R"({"user":)" + user + "}}", "token", missing},
            {"code", R"({"ok":1,"channel":"email","expiresInMinutes":10,"message":"sent"})", "ok", type},
            {"plans", R"({"plans":[{"id":"m","name":"M","price":30,"durationDays":30,"maxDevices":3}]})", "", none},
            {"plans", R"({"plans":[{"id":"m","name":"M","price":"30","durationDays":30,"maxDevices":3}]})",
             "plans[0].price", type},
            {"plans", R"({"plans":[null]})", "plans[0]", null},
            {"nodes", node + R"(,"is_active":1}]})", "nodes[0].host", missing},
            {"nodes", node + R"(,"host":"h","is_active":true}]})", "nodes[0].is_active", type},
            {"versions",
             R"({"versions":[{"platform":"macos","currentVersion":"1","latest_version":"1","min_version":"1",)"
             R"("update_mode":"optional"}]})",
             "versions[0].current_version", missing},
            {"orders", R"({"orders":[{"id":"o","planId":5,"plan_id":"p"}]})", "orders[0].planId", type},
            {"orders", R"({"orders":[{"id":"o","planId":null,"plan_id":"p"}]})", "", none},
            {"orders", "{}", "orders", missing},
            {"ticket", R"({"ticket":{"id":"t"}})", "", none},
            {"ticket", R"({"ticket":{"id":"t","title":1}})", "ticket.title", type},
            {"device", R"({"device":{"id":"d","device_name":"Mac","deviceName":7}})", "", none},
            {"device", R"({"device":{"id":"d","device_name":7,"deviceName":"Mac"}})", "device.device_name", type},
            {"device", R"({"device":{"id":"d","is_online":1}})", "device.is_online", type},
            {"devices", R"({"max_devices":3})", "devices", missing},
            {"bootstrap", "{}", "", none},
            {"bootstrap", R"({"endpoints":{}})", "endpoints", type},
            {"bootstrap", R"({"nodes":[{"name":"x"}]})", "nodes[0].id", missing},
            {"bootstrap", R"({"endpoints":[{"id":"e","protocols":"vless"}]})", "endpoints[0].protocols", type},
            {"bootstrap", R"({"user":{"id":"u"}})", "user.identity", missing},
            {"protocol", R"({"config":42})", "", none},
            {"protocol", R"({"retry_after_ms":1.5})", "retry_after_ms", corrupt},
            {"protocol", R"({"protocolConfigV2":{"runtime":"text"}})", "protocolConfigV2.runtime", type},
            {"protocol", R"({"protocol_config_v2":{"cache":{"config_revision":"7"}}})",
             "protocol_config_v2.cache.config_revision", type},
            {"error", R"({"error":{"code":1}})", "error", type},
            {"me", "<html>502</html>", "", corrupt},
            {"bootstrap", "{} {}", "", corrupt},
            {"bootstrap", "[]", "", type},
            {"ticket", "{\"ticket\":{\"id\":\"\xff\"}}", "", corrupt},
        };
        for (const Row &row : rows) {
            try {
                decoders().value(row.record)(row.body);
                QVERIFY2(row.kind == none, row.body.constData());
            } catch (const DecodingError &error) {
                QVERIFY2(row.kind != none, qPrintable(error.detail()));
                QCOMPARE(int(error.kind()), row.kind);
                QCOMPARE(error.codingPath(), row.failsAt);
            }
        }
    }

    // Every cut of a real answer either decodes or fails with a decoding error; nothing else escapes.
    void cutAnswersFailCleanly()
    {
        const QByteArray body =
            R"({"user":{"id":"u","identity":"i","role":"r","status":"s","planName":"p","maxDevices":2},)"
            R"("endpoints":[{"id":"hk","protocols":["vless"],"is_active":1}],"devices":[{"id":"d"}],)"
            R"("protocolConfigV2":{"runtime":{"config":{"outbounds":[{"type":"vless"}]}}},"max_devices":2})";
        // No prefix of a JSON object is a document: every cut is refused as a decoding error, never decoded
        // into a partial record; an answer whose body is not read takes any cut.
        for (qsizetype n = 0; n < body.size(); ++n) {
            for (auto it = decoders().cbegin(); it != decoders().cend(); ++it) {
                bool refused = false;
                try {
                    it.value()(body.left(n));
                } catch (const DecodingError &) {
                    refused = true;
                }
                QVERIFY2(refused, qPrintable(QStringLiteral("%1 decoded %2 bytes").arg(it.key()).arg(n)));
            }
            decodeAnswer<APIOkResponse>(body.left(n));
        }
    }

    void errorsAndAcknowledgements()
    {
        for (const auto &[body, description] : {std::pair{"{}", "未能读取数据，因为数据缺失。"},
                                                std::pair{"nonsense", "未能读取数据，因为它的格式不正确。"}}) {
            try {
                decodeAnswer<APIMeResponse>(body);
                QFAIL("decoded");
            } catch (const TovrenError &error) {
                QCOMPARE(error.description(), QString(description));
            }
        }
        // An acknowledgement never fails: only a boolean false reads as not ok.
        QCOMPARE(decodeAnswer<APIOkResponse>(R"({"ok":false})").ok, false);
        for (const QByteArray body : {R"({"ok":true})", R"({"ok":"no"})", R"({"ok":0})", R"({"ok":null})", "{}",
                                      R"([{"ok":false}])", "false", "", "\xff"})
            QVERIFY2(decodeAnswer<APIOkResponse>(body).ok, body.constData());

        const auto both = decodeAnswer<APIErrorResponse>(R"({"error":"E","message":"M","error_code":"x"})");
        QCOMPARE(both.userMessage(), std::optional<QString>("E"));
        QCOMPARE(both.errorCodeSnake, std::optional<QString>("x"));
        QCOMPARE(both.errorCode, std::nullopt);
        QCOMPARE(decodeAnswer<APIErrorResponse>(R"({"error":null,"message":"M"})").userMessage(),
                 std::optional<QString>("M"));
        QCOMPARE(decodeAnswer<APIErrorResponse>("{}").userMessage(), std::nullopt);
    }

    void jsonValueKeepsItsCase()
    {
        const auto decode = [](const char *text) { return JSONValue::decode(parseJsonBody(text)); };
        QCOMPARE(decode("1").numberValue(), std::optional<double>(1.0));
        QVERIFY(decode("1") != decode("true"));
        QVERIFY(decode("1") != decode("\"1\""));
        QVERIFY(decode("0") != decode("false"));
        QVERIFY(decode("null").isNull());
        QCOMPARE(decode("1"), decode("1.0"));
        // Objects compare member by member whatever the written order; arrays element by element.
        QCOMPARE(decode(R"({"a":[1,{"b":null}],"c":"x"})"), decode(R"({"c":"x","a":[1,{"b":null}]})"));
        QVERIFY(decode("[1,2]") != decode("[2,1]"));
        QVERIFY(decode(R"({"a":1})") != decode(R"({"a":1,"b":1})"));
        QVERIFY(decode("{}") != decode("[]"));
        // A sing-box configuration is an object with one of its top-level members.
        for (const char *config : {R"({"outbounds":[]})", R"({"inbounds":null})", R"({"route":{}})", R"({"dns":1})"})
            QVERIFY2(decode(config).isSingBoxConfig(), config);
        for (const char *other : {R"({"log":{},"outbound":{}})", "{}", R"([{"outbounds":[]}])", R"("outbounds")"})
            QVERIFY2(!decode(other).isSingBoxConfig(), other);
    }

    void defaultsSpellingsAndLenientFlags()
    {
        const auto orders = decodeAnswer<APIOrdersResponse>(
                                R"({"orders":[{"id":"o1","plan_id":"monthly","amount":29.99},)"
                                R"({"id":"o2","planId":"a","plan_id":"b","planName":null,"plan_name":"季度",)"
                                R"("currency":"USD","payment_method":"alipay","paymentStatus":"paid",)"
                                R"("created_at":"2024-01-01","paidAt":"2024-01-02"}]})")
                                .orders;
        QCOMPARE(orders[0], (APIOrder{"o1", "monthly", "套餐", 29.99, "CNY", {}, "pending", {}, {}}));
        QCOMPARE(orders[1], (APIOrder{"o2", "a", "季度", 0, "USD", "alipay", "paid", "2024-01-01", "2024-01-02"}));

        const auto ticket = decodeAnswer<APITicketResponse>(R"({"ticket":{"id":"t","contact_email":"x@y.z"}})").ticket;
        QCOMPARE(ticket.title, QStringLiteral("工单"));
        QCOMPARE(ticket.status, QStringLiteral("open"));
        QCOMPARE(ticket.contactEmail, std::optional<QString>("x@y.z"));

        const APIEndpoint bare = endpoint("");
        QCOMPARE(bare, (APIEndpoint{"e", "自动", "e", {}, "online", 0, 0, true, {"wireguard"}, "wireguard"}));

        const auto fromNodes = decodeAnswer<APIClientBootstrapResponse>(R"({"nodes":[{"id":"a"},{"id":"b"}]})");
        QCOMPARE(fromNodes.endpoints.size(), 2);
        QCOMPARE(fromNodes.devices, std::nullopt); // absent devices are not an empty list
        QCOMPARE(fromNodes.maxDevices, std::nullopt);
        const auto both = decodeAnswer<APIClientBootstrapResponse>(
            R"({"endpoints":[{"id":"e"}],"nodes":[{"id":"a"},{"id":"b"}],"devices":[],"max_devices":5})");
        QCOMPARE(both.endpoints.size(), 1);
        QCOMPARE(both.devices, std::optional<QList<APIDevice>>(QList<APIDevice>{}));
        QCOMPARE(both.maxDevices, std::optional<qint64>(5));

        const auto list = decodeAnswer<APIDevicesResponse>(
            R"({"devices":[{"id":"a","deviceName":"Camel","isOnline":true,"lastLoginAt":"t1"},)"
            R"({"id":"b","device_name":"Snake","deviceName":"Camel","app_version":"v1","appVersion":"v2"},)"
            R"({"id":"c"}],"maxDevices":3,"active_device_count":2})");
        QCOMPARE(list.maxDevices, 3);
        QCOMPARE(list.activeDeviceCount, 2);
        QCOMPARE(list.devices[0], (APIDevice{"a", "Camel", "unknown", "", "", "active", "t1", true, {}, {}}));
        QCOMPARE(list.devices[1].deviceName, QStringLiteral("Snake")); // the first spelling wins
        QCOMPARE(list.devices[1].appVersion, QStringLiteral("v1"));
        QCOMPARE(list.devices[2], (APIDevice{"c", "Tovren 设备", "unknown", "", "", "active", {}, false, {}, {}}));

        for (const char *lenient : {"true", "2", R"("0")", "0.5", "null", "{}"})
            QVERIFY2(endpoint(QByteArray(R"(,"is_active":)") + lenient).isActive, lenient);
        QVERIFY(!endpoint(R"(,"is_active":false)").isActive);
        QVERIFY(!endpoint(R"(,"is_active":0)").isActive);
        const QList<std::tuple<QByteArray, QStringList, QString>> rows{
            {R"(,"protocols":["vless","trojan"])", {"vless", "trojan"}, "vless"},
            {R"(,"protocols":["trojan"],"protocol":"vless")", {"trojan"}, "trojan"},
            {R"(,"protocol":"hysteria2")", {"hysteria2"}, "hysteria2"},
            {R"(,"protocols":null,"type":"vless")", {"vless"}, "vless"},
            {R"(,"protocols":[])", {}, "-"},
            {R"(,"protocols":[],"preferred_protocol":"trojan")", {}, "trojan"},
            {R"(,"protocols":["vless","trojan"],"preferred_protocol":"x")", {"vless", "trojan"}, "x"},
        };
        for (const auto &[members, protocols, preferred] : rows) {
            const APIEndpoint e = endpoint(members);
            QCOMPARE(e.protocols, protocols);
            QCOMPARE(e.preferredProtocol, orAbsent(preferred));
        }
    }

    void requestsLeaveAbsentFieldsOut()
    {
        QCOMPARE(jsonBytes(APIRegisterRequest{"a@b.c", "pw", "123456", "INV"}.toJson()),
                 R"({"identity":"a@b.c","inviteCode":"INV","password":"pw","verificationCode":"123456"})");
        QCOMPARE(jsonBytes(APICreateTicketRequest{"t", std::nullopt, "c@d.e", "body"}.toJson()),
                 R"({"body":"body","contactEmail":"c@d.e","title":"t"})");
        QCOMPARE(jsonBytes(APIBindDeviceRequest{"d1", "Mac", "macos", "14", "v1"}.toJson()),
                 R"({"appVersion":"v1","deviceId":"d1","deviceName":"Mac","deviceType":"macos","os":"14"})");

        APIConnectionReportRequest report;
        report.deviceId = "d";
        report.protocolName = "vless";
        report.latencyMs = 9007199254740993; // beyond a double's exact range: stays exact
        report.stateLog = {{{"stage", "start"}, {"state_stage", "start"}}, {}};
        const QJsonObject body = report.toJson();
        QCOMPARE(body.value("protocol"), QJsonValue("vless"));
        QVERIFY(!body.contains("protocolName") && !body.contains("errorMessage") && !body.contains("isOverseas"));
        QCOMPARE(body.size(), 17);
        QCOMPARE(jsonBytes(QJsonObject{{"n", body.value("latencyMs")}}), QByteArray(R"({"n":9007199254740993})"));
        QCOMPARE(body.value("stateLog").toArray(),
                 (QJsonArray{QJsonObject{{"stage", "start"}, {"state_stage", "start"}}, QJsonObject()}));
        report.errorMessage = "端口被占用";
        report.isOverseas = false; // a present false is written
        QCOMPARE(report.toJson().value("errorMessage"), QJsonValue("端口被占用"));
        QCOMPARE(report.toJson().value("isOverseas"), QJsonValue(false));

        APIProtocolConfigRequest request{"hk",    "dev/1",      "macos", "smart", 8000,          "auto",
                                         "wired", std::nullopt, "att_1", "req_1", "macos-v9.7.3"};
        QCOMPARE(jsonBytes(request.toJson()),
                 R"({"attempt_id":"att_1","build_id":"macos-v9.7.3","client_region":"auto","device_id":"dev/1",)"
                 R"("endpoint_id":"hk","network_type":"wired","outbound_mode":"smart","platform":"macos",)"
                 R"("request_id":"req_1","wait_for_ready_ms":8000})");
        request.isOverseas = true;
        QCOMPARE(request.toJson().value("is_overseas"), QJsonValue(true));
    }

    void readiness()
    {
        const auto lifecycle = [](const char *sync) {
            return QByteArray(R"({"protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"%1"}}})").replace("%1", sync);
        };
        const QList<std::pair<QByteArray, APIProtocolReadiness>> rows{
            {"{}", {"ready", {}, 1000, 5000}},
            {R"({"config_status":"Provisioning","retry_after_ms":800})", {"provisioning", {}, 800, 5000}},
            {lifecycle("SYNCED"), {"ready", {}, 1000, 5000}},
            {R"({"protocolConfigV2":{"lifecycle":{"node_sync_status":"Not_Required"}}})", {"ready", {}, 1000, 5000}},
            {lifecycle("push_FAILED_twice"), {"failed", {}, 1000, 5000}},
            {lifecycle("pending"), {"not_ready", {}, 1000, 5000}},
            {R"({"configStatus":"","protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"pending"}}})",
             {"not_ready", {}, 1000, 5000}},
            {R"({"configStatus":"READY","protocolConfigV2":{"lifecycle":{"nodeSyncStatus":"failed"}}})",
             {"ready", {}, 1000, 5000}},
            {R"({"configStatus":"a","protocolConfigV2":{"configStatus":"b"},"provisioning":{"status":"c"}})",
             {"a", {}, 1000, 5000}},
            {R"({"protocolConfigV2":{"config_status":"B"},"provisioning":{"status":"c"}})", {"b", {}, 1000, 5000}},
            {R"({"provisioning":{"status":"Pending","message":"正在下发","retry_after_ms":250,"maxWaitMs":9000}})",
             {"pending", "正在下发", 250, 9000}},
            {R"({"message":"m","retryAfterMs":1,"max_wait_ms":2,)"
             R"("provisioning":{"message":"p","retryAfterMs":3,"maxWaitMs":4}})",
             {"ready", "m", 1, 2}},
            {R"({"protocolConfigV2":{"provisioning":{"status":"pending","message":"x","retryAfterMs":5}}})",
             {"ready", {}, 1000, 5000}},
        };
        for (const auto &[body, expected] : rows)
            QVERIFY2(answer(body).readiness() == expected, body.constData());
    }

    void normalising()
    {
        const auto v2 = [](const char *protocol, const char *runtime, const char *top = "") {
            return QByteArray(R"({%1"protocolConfigV2":{"protocol":"%2","runtime":%3}})")
                .replace("%1", top)
                .replace("%2", protocol)
                .replace("%3", runtime);
        };
        using K = ProtocolKind;
        struct Row // kind unknown: nothing usable; "-" and "": absent
        {
            const char *name;
            QByteArray body;
            ProtocolKind kind;
            const char *wireGuard = "-", *singBoxText = "-", *singBox = "";
        };
        const QList<Row> rows{
            {"wireguard from config text", v2("WG", R"({"configText":"[Interface]"})"), K::wireguard, "[Interface]",
             "-", ""},
            {"wireguard text beats config text",
             v2("wireguard", R"({"configText":"a","wireGuardConfig":"b","singBoxConfig":{"outbounds":[]}})"),
             K::wireguard, "b", "-", ""},
            {"vless with text only", v2("vless", R"({"configText":"{}"})"), K::vless, "-", "{}", ""},
            {"single outbound becomes the configuration", v2("trojan", "{}", R"("outbound":{"type":"trojan"},)"),
             K::trojan, "-", "-", R"({"outbounds":[{"type":"trojan"}]})"},
            {"wrapped member beats the top-level configuration",
             v2("hy2", "{}", R"("config":{"sing_box_config":{"dns":{}}},"singBoxConfig":{"route":{}},)"), K::hysteria2,
             "-", "-", R"({"dns":{}})"},
            {"only the first wrapped name counts",
             v2("vless", "{}",
                R"("config":{"singBoxConfig":{"log":{}},"sing_box_config":{"dns":{}}},"singBoxConfig":{"route":{}},)"),
             K::vless, "-", "-", R"({"route":{}})"},
            {"raw configuration itself", v2("ss", "{}", R"("config":{"inbounds":[],"singbox_config":5},)"),
             K::shadowsocks, "-", "-", R"({"inbounds":[],"singbox_config":5})"},
            {"unusable top-level falls to the runtime",
             v2("naive", R"({"sing_box_config":{"x":1},"config":{"y":2}})", R"("singBoxConfig":{"log":{}},)"),
             K::naiveproxy, "-", "-", R"({"x":1})"},
            {"runtime config last", v2("vless", R"({"config":{"y":2},"configText":"t","wireguard_config":"wg"})"),
             K::vless, "wg", "t", R"({"y":2})"},
            {"flat configuration without the nested shape",
             R"({"protocol":"wireguard","wireguard_config":"[Interface]","config_text":"x"})", K::unknown},
            {"no runtime", R"({"protocolConfigV2":{"protocol":"vless"},"outbound":{}})", K::unknown},
            {"no protocol", R"({"protocol":"vless","protocolConfigV2":{"runtime":{"configText":"x"}}})", K::unknown},
            {"unknown protocol", v2("tuic", R"({"configText":"x"})"), K::unknown},
            {"wireguard with empty text", v2("wireguard", R"({"configText":""})"), K::unknown},
            {"wireguard with only sing-box", v2("wireguard", R"({"config":{"outbounds":[]}})"), K::unknown},
            {"empty wireguard text does not fall back", v2("wireguard", R"({"wireGuardConfig":"","configText":"x"})"),
             K::unknown},
            {"vless with only wireguard text", v2("vless", R"({"wireGuardConfig":"x"})"), K::unknown},
        };
        for (const Row &row : rows) {
            try {
                const ProtocolConfiguration c = ProtocolConfiguration::from(answer(row.body), "fallback");
                QVERIFY2(c.protocolKind == row.kind, row.name);
                QVERIFY2(c.wireGuardConfigText == orAbsent(row.wireGuard), row.name);
                QVERIFY2(c.singBoxConfigText == orAbsent(row.singBoxText), row.name);
                QVERIFY2(c.singBoxConfig == optionalValue(row.singBox), row.name);
            } catch (const TovrenRuntimeError &error) {
                QVERIFY2(row.kind == ProtocolKind::unknown, row.name);
                QCOMPARE(error.kind(), TovrenRuntimeError::Kind::missingProtocolConfig);
                QCOMPARE(error.description(), QStringLiteral("服务端没有返回可用协议配置。"));
            }
        }
    }

    void identityCacheFormAndDebugSummary()
    {
        const auto bare = ProtocolConfiguration::from(
            answer(R"({"endpoint_id":"flat","protocolConfigV2":{"protocol":"vless","runtime":{"configText":"t"}}})"),
            "fallback");
        QCOMPARE(bare.endpointId, QStringLiteral("fallback"));
        QCOMPARE(bare.cacheKey, QString());
        QCOMPARE(bare.configRevision, 0);
        QCOMPARE(bare.rawConfig, std::nullopt);

        const auto full = ProtocolConfiguration::from(
            answer(R"({"config":{"outbounds":[{"type":"vless","server_port":443}],"x":null},"protocolConfigV2":)"
                   R"({"endpoint_id":"hk","protocol":"vless","cache":{"key":"k1","config_revision":7},)"
                   R"("runtime":{"configText":"t","wireGuardConfig":"w"}}})"),
            "fallback");
        QCOMPARE(full.endpointId, QStringLiteral("hk"));
        QCOMPARE(full.cacheKey, QStringLiteral("k1"));
        QCOMPARE(full.configRevision, 7);
        QCOMPARE(full.rawConfig, optionalValue(R"({"outbounds":[{"type":"vless","server_port":443}],"x":null})"));
        QCOMPARE(decodeJsonValue<ProtocolConfiguration>(full.toJson(), QString()), full);
        const auto camel = ProtocolConfiguration::from(
            answer(R"({"protocolConfigV2":{"endpointId":"sg","protocol":"vless","cache":{"cacheKey":"k",)"
                   R"("configRevision":3},"runtime":{"configText":"t"}}})"),
            "fallback");
        QVERIFY(camel.endpointId == "sg" && camel.cacheKey == "k" && camel.configRevision == 3);

        ProtocolConfiguration minimal;
        minimal.endpointId = "sg";
        minimal.protocolKind = ProtocolKind::wireguard;
        minimal.wireGuardConfigText = "[Interface]";
        QCOMPARE(minimal.toJson().keys(),
                 (QStringList{"cacheKey", "configRevision", "endpointId", "protocolKind", "wireGuardConfigText"}));

        for (const char *damaged :
             {R"({"endpointId":"a","protocolKind":"vless","cacheKey":""})",
              R"({"endpointId":"a","protocolKind":"vless","configRevision":0})",
              R"({"endpointId":"a","protocolKind":"VLESS","cacheKey":"","configRevision":0})",
              R"({"endpointId":"a","protocolKind":"vless","cacheKey":"","configRevision":0,"singBoxConfigText":{}})"})
            QVERIFY_THROWS_EXCEPTION(DecodingError, decodeAnswer<ProtocolConfiguration>(damaged));

        QCOMPARE(answer(R"({"type":"trojan","singBoxConfig":{},"outbound":{},)"
                        R"("protocolConfigV2":{"protocol":"vless","runtime":{"config_text":"x","config":[]}}})")
                     .runtimeDebugSummary(),
                 QStringLiteral("v2=true proto=vless runtime=true rtText=true rtWG=false rtSB=false "
                                "rtConfig=true topSB=true topRaw=true"));

        const QList<std::pair<QByteArray, QByteArray>> raw{
            {R"({"config":"text","outbounds":[1]})", R"("text")"},
            {R"({"config":null,"outbounds":[1]})", R"({"outbounds":[1]})"},
            {R"({"outbounds":{"a":1}})", R"({"outbounds":{"a":1}})"},
            {R"({"outbound":{"type":"vless"}})", R"({"outbounds":[{"type":"vless"}]})"},
            {R"({"outbound":null})", ""},
        };
        for (const auto &[body, config] : raw)
            QVERIFY2(answer(body).rawConfig == optionalValue(config), body.constData());
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "test_records.moc"
