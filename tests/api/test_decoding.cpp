#include "TestHome.h"
#include "api/AccountRecords.h"
#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "api/GenericRecords.h"
#include "api/JSONValue.h"
#include "api/ProtocolConfigRecords.h"

#include <QTest>
#include <functional>

// The key rules every answer is read with, exercised through the real records.
namespace {

using Decoder = std::function<void(const QByteArray &)>;

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

} // namespace

class TestDecoding : public QObject
{
    Q_OBJECT
    TestHome m_home;

private Q_SLOTS:
    void answersFollowTheKeyRules_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failsAt"); // empty: decodes
        QTest::addColumn<int>("kind");

        const int none = -1;
        const int missing = int(DecodingError::Kind::keyNotFound);
        const int null = int(DecodingError::Kind::valueNotFound);
        const int type = int(DecodingError::Kind::typeMismatch);
        const int corrupt = int(DecodingError::Kind::dataCorrupted);

        QTest::newRow("user complete") << "me" << me("") << "" << none;
        QTest::newRow("user without planName")
            << "me" << QByteArray(R"({"user":{"id":"u","identity":"i","role":"r","status":"s","maxDevices":1}})")
            << "user.planName" << missing;
        QTest::newRow("user with null required role") << "me" << me(R"(,"role":null)") << "user.role" << null;
        QTest::newRow("user optional email null") << "me" << me(R"(,"email":null)") << "" << none;
        QTest::newRow("user optional email of wrong type") << "me" << me(R"(,"email":5)") << "user.email" << type;
        QTest::newRow("integer written 3.0") << "me" << me(R"(,"maxDevices":3.0)") << "" << none;
        QTest::newRow("integer with a fraction") << "me" << me(R"(,"maxDevices":3.5)") << "user.maxDevices" << corrupt;
        QTest::newRow("integer beyond 64 bits")
            << "me" << me(R"(,"rewardDays":9223372036854775808)") << "user.rewardDays" << corrupt;
        QTest::newRow("integer at the 64-bit minimum")
            << "me" << me(R"(,"rewardDays":-9223372036854775808)") << "" << none;
        QTest::newRow("integer as a string") << "me" << me(R"(,"maxDevices":"3")") << "user.maxDevices" << type;
        QTest::newRow("user of the wrong type") << "me" << QByteArray(R"({"user":[]})") << "user" << type;
        QTest::newRow("auth without token") << "auth" << QByteArray(R"({"user":)" + user + "}}") << "token" << missing;
        QTest::newRow("boolean never read from a number")
            << "code" << QByteArray(R"({"ok":1,"channel":"email","expiresInMinutes":10,"message":"sent"})") << "ok"
            << type;
        QTest::newRow("verification code")
            << "code" << QByteArray(R"({"ok":true,"channel":"email","expiresInMinutes":10,"message":"sent"})") << ""
            << none;
        QTest::newRow("plan price may be whole")
            << "plans" << QByteArray(R"({"plans":[{"id":"m","name":"M","price":30,"durationDays":30,"maxDevices":3}]})")
            << "" << none;
        QTest::newRow("plan price as text")
            << "plans"
            << QByteArray(R"({"plans":[{"id":"m","name":"M","price":"30","durationDays":30,"maxDevices":3}]})")
            << "plans[0].price" << type;
        QTest::newRow("plan list element null") << "plans" << QByteArray(R"({"plans":[null]})") << "plans[0]" << null;
        QTest::newRow("node without host")
            << "nodes"
            << QByteArray(R"({"nodes":[{"id":"n","region":"r","name":"n","status":"online","latency_ms":1,)"
                          R"("load_percent":2,"is_active":1}]})")
            << "nodes[0].host" << missing;
        QTest::newRow("node is_active boolean is not an integer")
            << "nodes"
            << QByteArray(R"({"nodes":[{"id":"n","region":"r","name":"n","host":"h","status":"online",)"
                          R"("latency_ms":1,"load_percent":2,"is_active":true}]})")
            << "nodes[0].is_active" << type;
        QTest::newRow("version in camel case")
            << "versions"
            << QByteArray(R"({"versions":[{"platform":"macos","currentVersion":"1","latest_version":"1",)"
                          R"("min_version":"1","update_mode":"optional"}]})")
            << "versions[0].current_version" << missing;
        QTest::newRow("order planId of wrong type is not skipped")
            << "orders" << QByteArray(R"({"orders":[{"id":"o","planId":5,"plan_id":"p"}]})") << "orders[0].planId"
            << type;
        QTest::newRow("order planId null falls through")
            << "orders" << QByteArray(R"({"orders":[{"id":"o","planId":null,"plan_id":"p"}]})") << "" << none;
        QTest::newRow("orders missing") << "orders" << QByteArray("{}") << "orders" << missing;
        QTest::newRow("ticket with only an id") << "ticket" << QByteArray(R"({"ticket":{"id":"t"}})") << "" << none;
        QTest::newRow("ticket title of wrong type")
            << "ticket" << QByteArray(R"({"ticket":{"id":"t","title":1}})") << "ticket.title" << type;
        QTest::newRow("device later key of wrong type is never read")
            << "device" << QByteArray(R"({"device":{"id":"d","device_name":"Mac","deviceName":7}})") << "" << none;
        QTest::newRow("device earlier key of wrong type fails")
            << "device" << QByteArray(R"({"device":{"id":"d","device_name":7,"deviceName":"Mac"}})")
            << "device.device_name" << type;
        QTest::newRow("device is_online as number")
            << "device" << QByteArray(R"({"device":{"id":"d","is_online":1}})") << "device.is_online" << type;
        QTest::newRow("device list required")
            << "devices" << QByteArray(R"({"max_devices":3})") << "devices" << missing;
        QTest::newRow("bootstrap with nothing") << "bootstrap" << QByteArray("{}") << "" << none;
        QTest::newRow("bootstrap endpoints not a list")
            << "bootstrap" << QByteArray(R"({"endpoints":{}})") << "endpoints" << type;
        QTest::newRow("bootstrap endpoint without id")
            << "bootstrap" << QByteArray(R"({"nodes":[{"name":"x"}]})") << "nodes[0].id" << missing;
        QTest::newRow("endpoint protocols not a list")
            << "bootstrap" << QByteArray(R"({"endpoints":[{"id":"e","protocols":"vless"}]})")
            << "endpoints[0].protocols" << type;
        QTest::newRow("bootstrap user broken")
            << "bootstrap" << QByteArray(R"({"user":{"id":"u"}})") << "user.identity" << missing;
        QTest::newRow("protocol answer takes any raw config")
            << "protocol" << QByteArray(R"({"config":42})") << "" << none;
        QTest::newRow("protocol retry with a fraction")
            << "protocol" << QByteArray(R"({"retry_after_ms":1.5})") << "retry_after_ms" << corrupt;
        QTest::newRow("protocol nested record of wrong type")
            << "protocol" << QByteArray(R"({"protocolConfigV2":{"runtime":"text"}})") << "protocolConfigV2.runtime"
            << type;
        QTest::newRow("protocol nested field of wrong type")
            << "protocol" << QByteArray(R"({"protocol_config_v2":{"cache":{"config_revision":"7"}}})")
            << "protocol_config_v2.cache.config_revision" << type;
        QTest::newRow("error body fields of wrong type")
            << "error" << QByteArray(R"({"error":{"code":1}})") << "error" << type;
        QTest::newRow("not JSON") << "me" << QByteArray("<html>502</html>") << "" << corrupt;
        QTest::newRow("empty body") << "devices" << QByteArray("") << "" << corrupt;
        QTest::newRow("trailing garbage") << "bootstrap" << QByteArray("{} {}") << "" << corrupt;
        QTest::newRow("array instead of object") << "bootstrap" << QByteArray("[]") << "" << type;
        QTest::newRow("bare string") << "ticket" << QByteArray(R"("ok")") << "" << type;
        QTest::newRow("invalid UTF-8") << "ticket" << QByteArray("{\"ticket\":{\"id\":\"\xff\"}}") << "" << corrupt;
    }
    void answersFollowTheKeyRules()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, body);
        QFETCH(QString, failsAt);
        QFETCH(int, kind);
        try {
            decoders().value(record)(body);
            QVERIFY2(kind == -1, "decoded, but should have failed");
        } catch (const DecodingError &error) {
            QVERIFY2(kind != -1, qPrintable(error.detail()));
            QCOMPARE(int(error.kind()), kind);
            QCOMPARE(error.codingPath(), failsAt);
        }
    }

    void decodingErrorsSpeakToTheUser()
    {
        try {
            decodeAnswer<APIMeResponse>("{}");
            QFAIL("decoded");
        } catch (const TovrenError &error) {
            QCOMPARE(error.description(), QStringLiteral("未能读取数据，因为数据缺失。"));
            QVERIFY(QByteArray(error.what()).contains("user"));
        }
        try {
            decodeAnswer<APIMeResponse>("nonsense");
            QFAIL("decoded");
        } catch (const TovrenError &error) {
            QCOMPARE(error.description(), QStringLiteral("未能读取数据，因为它的格式不正确。"));
        }
    }

    void okAnswerNeverFails_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::newRow("ok false") << QByteArray(R"({"ok":false})") << false;
        QTest::newRow("ok true") << QByteArray(R"({"ok":true})") << true;
        QTest::newRow("ok as string") << QByteArray(R"({"ok":"no"})") << true;
        QTest::newRow("ok as zero") << QByteArray(R"({"ok":0})") << true;
        QTest::newRow("ok null") << QByteArray(R"({"ok":null})") << true;
        QTest::newRow("empty object") << QByteArray("{}") << true;
        QTest::newRow("array") << QByteArray(R"([{"ok":false}])") << true;
        QTest::newRow("scalar") << QByteArray("false") << true;
        QTest::newRow("empty body") << QByteArray() << true;
        QTest::newRow("not JSON") << QByteArray("\x00\xff", 2) << true;
    }
    void okAnswerNeverFails()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QCOMPARE(decodeAnswer<APIOkResponse>(body).ok, ok);
    }

    void errorAnswerGivesErrorThenMessage()
    {
        const auto both = decodeAnswer<APIErrorResponse>(R"({"error":"E","message":"M","error_code":"x"})");
        QCOMPARE(both.userMessage(), std::optional<QString>("E"));
        QCOMPARE(both.errorCodeSnake, std::optional<QString>("x"));
        QCOMPARE(both.errorCode, std::nullopt);
        QCOMPARE(decodeAnswer<APIErrorResponse>(R"({"message":"M"})").userMessage(), std::optional<QString>("M"));
        QCOMPARE(decodeAnswer<APIErrorResponse>(R"({"error":null,"message":"M"})").userMessage(),
                 std::optional<QString>("M"));
        QCOMPARE(decodeAnswer<APIErrorResponse>("{}").userMessage(), std::nullopt);
    }

    void jsonValueKeepsItsCase()
    {
        const auto decode = [](const char *text) { return JSONValue::decode(parseJsonBody(text)); };
        QCOMPARE(decode("1").kind(), JSONValue::Kind::number);
        QCOMPARE(decode("1").numberValue(), std::optional<double>(1.0));
        QCOMPARE(decode("true").kind(), JSONValue::Kind::boolean);
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
        // Writing and reading again gives the same value.
        const JSONValue nested = decode(R"({"outbounds":[{"type":"vless","port":443,"tls":{"enabled":true}}],)"
                                        R"("x":null,"n":-0.25,"big":12345678901234})");
        QCOMPARE(JSONValue::decode(nested.toJson()), nested);
    }

    void singBoxConfigShape_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("isSingBox");
        QTest::newRow("outbounds") << QByteArray(R"({"outbounds":[]})") << true;
        QTest::newRow("inbounds") << QByteArray(R"({"inbounds":null})") << true;
        QTest::newRow("route") << QByteArray(R"({"route":{}})") << true;
        QTest::newRow("dns") << QByteArray(R"({"dns":1})") << true;
        QTest::newRow("other members") << QByteArray(R"({"log":{},"outbound":{}})") << false;
        QTest::newRow("empty object") << QByteArray("{}") << false;
        QTest::newRow("array of configs") << QByteArray(R"([{"outbounds":[]}])") << false;
        QTest::newRow("string") << QByteArray(R"("outbounds")") << false;
    }
    void singBoxConfigShape()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, isSingBox);
        QCOMPARE(JSONValue::decode(parseJsonBody(json)).isSingBoxConfig(), isSingBox);
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
};

QTEST_GUILESS_MAIN(TestDecoding)
#include "test_decoding.moc"
