#include "TestHome.h"
#include "api/AccountRecords.h"
#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "api/ProtocolConfigRecords.h"
#include "api/ReportRecords.h"

#include <QTest>

// Defaults, key alternatives and request bodies of the control-plane records.
class TestRecords : public QObject
{
    Q_OBJECT
    TestHome m_home;

private Q_SLOTS:
    void orderDefaultsAndSpellings()
    {
        const auto orders =
            decodeAnswer<APIOrdersResponse>(
                R"({"orders":[{"id":"o1","plan_id":"monthly","amount":29.99},)"
                R"({"id":"o2","planId":"a","plan_id":"b","planName":null,"plan_name":"季度","currency":"USD",)"
                R"("payment_method":"alipay","paymentStatus":"paid","created_at":"2024-01-01","paidAt":"2024-01-02"}]})")
                .orders;
        QCOMPARE(orders.size(), 2);
        QCOMPARE(orders[0].planId, QStringLiteral("monthly"));
        QCOMPARE(orders[0].planName, QStringLiteral("套餐"));
        QCOMPARE(orders[0].amount, 29.99);
        QCOMPARE(orders[0].currency, QStringLiteral("CNY"));
        QCOMPARE(orders[0].paymentStatus, QStringLiteral("pending"));
        QCOMPARE(orders[0].paymentMethod, std::nullopt);
        QCOMPARE(orders[1].planId, QStringLiteral("a")); // camel case first
        QCOMPARE(orders[1].planName, QStringLiteral("季度"));
        QCOMPARE(orders[1].currency, QStringLiteral("USD"));
        QCOMPARE(orders[1].paymentMethod, std::optional<QString>("alipay"));
        QCOMPARE(orders[1].paymentStatus, QStringLiteral("paid"));
        QCOMPARE(orders[1].createdAt, std::optional<QString>("2024-01-01"));
        QCOMPARE(orders[1].paidAt, std::optional<QString>("2024-01-02"));
    }

    void ticketDefaults()
    {
        const auto ticket = decodeAnswer<APITicketResponse>(R"({"ticket":{"id":"t","contact_email":"x@y.z"}})").ticket;
        QCOMPARE(ticket.title, QStringLiteral("工单"));
        QCOMPARE(ticket.status, QStringLiteral("open"));
        QCOMPARE(ticket.createdAt, QString());
        QCOMPARE(ticket.category, std::nullopt);
        QCOMPARE(ticket.contactEmail, std::optional<QString>("x@y.z"));
    }

    void endpointWithOnlyAnIdGetsEveryDefault()
    {
        const APIEndpoint e = decodeAnswer<APIClientBootstrapResponse>(R"({"endpoints":[{"id":"hk-9"}]})").endpoints[0];
        QCOMPARE(e.region, QStringLiteral("自动"));
        QCOMPARE(e.name, QStringLiteral("hk-9"));
        QCOMPARE(e.host, std::nullopt);
        QCOMPARE(e.status, QStringLiteral("online"));
        QCOMPARE(e.latencyMs, 0);
        QCOMPARE(e.loadPercent, 0);
        QCOMPARE(e.isActive, true);
        QCOMPARE(e.protocols, QStringList{"wireguard"});
        QCOMPARE(e.preferredProtocol, std::optional<QString>("wireguard"));
    }

    void endpointActiveFlagIsLenient_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("active");
        QTest::newRow("false") << QByteArray("false") << false;
        QTest::newRow("true") << QByteArray("true") << true;
        QTest::newRow("zero") << QByteArray("0") << false;
        QTest::newRow("two") << QByteArray("2") << true;
        QTest::newRow("string zero") << QByteArray(R"("0")") << true;
        QTest::newRow("fraction") << QByteArray("0.5") << true;
        QTest::newRow("null") << QByteArray("null") << true;
        QTest::newRow("object") << QByteArray("{}") << true;
    }
    void endpointActiveFlagIsLenient()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, active);
        const auto answer =
            decodeAnswer<APIClientBootstrapResponse>(R"({"endpoints":[{"id":"e","is_active":)" + value + "}]}");
        QCOMPARE(answer.endpoints[0].isActive, active);
    }

    void endpointProtocolsFallBack_data()
    {
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<QStringList>("protocols");
        QTest::addColumn<QString>("preferred"); // empty: absent
        QTest::newRow("list") << QByteArray(R"("protocols":["vless","trojan"])") << QStringList{"vless", "trojan"}
                              << "vless";
        QTest::newRow("list wins over single")
            << QByteArray(R"("protocols":["trojan"],"protocol":"vless")") << QStringList{"trojan"} << "trojan";
        QTest::newRow("single protocol") << QByteArray(R"("protocol":"hysteria2")") << QStringList{"hysteria2"}
                                         << "hysteria2";
        QTest::newRow("type") << QByteArray(R"("type":"ss")") << QStringList{"ss"} << "ss";
        QTest::newRow("null list falls through")
            << QByteArray(R"("protocols":null,"type":"vless")") << QStringList{"vless"} << "vless";
        QTest::newRow("empty list stays empty") << QByteArray(R"("protocols":[])") << QStringList{} << "";
        QTest::newRow("empty list with preferred")
            << QByteArray(R"("protocols":[],"preferred_protocol":"trojan")") << QStringList{} << "trojan";
        QTest::newRow("preferred given") << QByteArray(R"("protocols":["vless","trojan"],"preferred_protocol":"x")")
                                         << QStringList{"vless", "trojan"} << "x";
    }
    void endpointProtocolsFallBack()
    {
        QFETCH(QByteArray, members);
        QFETCH(QStringList, protocols);
        QFETCH(QString, preferred);
        const auto e =
            decodeAnswer<APIClientBootstrapResponse>(R"({"endpoints":[{"id":"e",)" + members + "}]}").endpoints[0];
        QCOMPARE(e.protocols, protocols);
        QCOMPARE(e.preferredProtocol, preferred.isEmpty() ? std::nullopt : std::optional<QString>(preferred));
    }

    void bootstrapKeepsMissingDevicesApartFromNone()
    {
        const auto fromNodes = decodeAnswer<APIClientBootstrapResponse>(R"({"nodes":[{"id":"a"},{"id":"b"}]})");
        QCOMPARE(fromNodes.endpoints.size(), 2);
        QCOMPARE(fromNodes.devices, std::nullopt);
        QCOMPARE(fromNodes.user, std::nullopt);
        QCOMPARE(fromNodes.maxDevices, std::nullopt);
        const auto both = decodeAnswer<APIClientBootstrapResponse>(
            R"({"endpoints":[{"id":"e"}],"nodes":[{"id":"a"},{"id":"b"}],"devices":[],"max_devices":5})");
        QCOMPARE(both.endpoints.size(), 1);
        QCOMPARE(both.devices, std::optional<QList<APIDevice>>(QList<APIDevice>{}));
        QCOMPARE(both.maxDevices, std::optional<qint64>(5));
    }

    void deviceSpellingsAndDefaults()
    {
        const auto list = decodeAnswer<APIDevicesResponse>(
            R"({"devices":[{"id":"a","deviceName":"Camel","isOnline":true,"lastLoginAt":"t1"},)"
            R"({"id":"b","device_name":"Snake","deviceName":"Camel","app_version":"v1","appVersion":"v2"},)"
            R"({"id":"c"}]})");
        QCOMPARE(list.maxDevices, 0);
        QCOMPARE(list.activeDeviceCount, 0);
        QCOMPARE(list.devices[0].deviceName, QStringLiteral("Camel"));
        QCOMPARE(list.devices[0].isOnline, true);
        QCOMPARE(list.devices[0].lastLoginAt, std::optional<QString>("t1"));
        QCOMPARE(list.devices[1].deviceName, QStringLiteral("Snake"));
        QCOMPARE(list.devices[1].appVersion, QStringLiteral("v1"));
        const APIDevice &bare = list.devices[2];
        QCOMPARE(bare.deviceName, QStringLiteral("Tovren 设备"));
        QCOMPARE(bare.deviceType, QStringLiteral("unknown"));
        QCOMPARE(bare.os, QString());
        QCOMPARE(bare.status, QStringLiteral("active"));
        QCOMPARE(bare.isOnline, false);
        QCOMPARE(bare.connectionStatus, std::nullopt);

        const auto counted =
            decodeAnswer<APIDevicesResponse>(R"({"devices":[],"maxDevices":3,"active_device_count":2})");
        QCOMPARE(counted.maxDevices, 3);
        QCOMPARE(counted.activeDeviceCount, 2);
    }

    void requestsLeaveAbsentFieldsOut()
    {
        APIRegisterRequest registration{"a@b.c", "pw", "123456", std::nullopt};
        QCOMPARE(registration.toJson(),
                 (QJsonObject{{"identity", "a@b.c"}, {"password", "pw"}, {"verificationCode", "123456"}}));
        registration.inviteCode = "INV";
        QCOMPARE(registration.toJson().value("inviteCode"), QJsonValue("INV"));
        QCOMPARE((APILoginRequest{"a", ""}.toJson()), (QJsonObject{{"identity", "a"}, {"password", ""}}));
        QCOMPARE((APIIdentityRequest{"a"}.toJson()), (QJsonObject{{"identity", "a"}}));
        QCOMPARE((APICreateTicketRequest{"t", std::nullopt, "c@d.e", "body"}.toJson()),
                 (QJsonObject{{"title", "t"}, {"contactEmail", "c@d.e"}, {"body", "body"}}));
        QCOMPARE((APIBindDeviceRequest{std::nullopt, "Mac", "macos", "macOS 14", "v9.7.3"}.toJson()),
                 (QJsonObject{
                     {"deviceName", "Mac"}, {"deviceType", "macos"}, {"os", "macOS 14"}, {"appVersion", "v9.7.3"}}));
        QCOMPARE((APIBindDeviceRequest{"d1", "Mac", "macos", "", ""}.toJson().value("deviceId")), QJsonValue("d1"));
    }

    void connectionReportBody()
    {
        APIConnectionReportRequest report;
        report.deviceId = "d";
        report.endpointId = "hk";
        report.protocolName = "vless";
        report.status = "connected";
        report.latencyMs = 9007199254740993; // beyond a double's exact range: stays exact
        report.stateLog = {{{"stage", "start"}, {"state_stage", "start"}}, {}};
        const QJsonObject body = report.toJson();
        QCOMPARE(body.value("protocol"), QJsonValue("vless"));
        QVERIFY(!body.contains("protocolName"));
        QVERIFY(!body.contains("errorMessage"));
        QVERIFY(!body.contains("isOverseas"));
        QCOMPARE(body.size(), 17);
        QCOMPARE(jsonBytes(QJsonObject{{"n", body.value("latencyMs")}}), QByteArray(R"({"n":9007199254740993})"));
        const QJsonArray log = body.value("stateLog").toArray();
        QCOMPARE(log.size(), 2);
        QCOMPARE(log[0].toObject(), (QJsonObject{{"stage", "start"}, {"state_stage", "start"}}));
        QCOMPARE(log[1].toObject(), QJsonObject());

        report.errorMessage = "端口被占用";
        report.isOverseas = false; // a present false is written
        const QJsonObject failed = report.toJson();
        QCOMPARE(failed.value("errorMessage"), QJsonValue("端口被占用"));
        QCOMPARE(failed.value("isOverseas"), QJsonValue(false));
    }

    void protocolConfigRequestBody()
    {
        APIProtocolConfigRequest request{"hk",    "dev/1",      "macos", "smart", 8000,          "auto",
                                         "wired", std::nullopt, "att_1", "req_1", "macos-v9.7.3"};
        const QJsonObject body = request.toJson();
        QCOMPARE(body, (QJsonObject{{"endpoint_id", "hk"},
                                    {"device_id", "dev/1"},
                                    {"platform", "macos"},
                                    {"outbound_mode", "smart"},
                                    {"wait_for_ready_ms", 8000},
                                    {"client_region", "auto"},
                                    {"network_type", "wired"},
                                    {"attempt_id", "att_1"},
                                    {"request_id", "req_1"},
                                    {"build_id", "macos-v9.7.3"}}));
        request.isOverseas = true;
        QCOMPARE(request.toJson().value("is_overseas"), QJsonValue(true));
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "test_records.moc"
