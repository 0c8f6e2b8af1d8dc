#include "TestHome.h"
#include "test_api_controlplane_support.h"

#include <QRegularExpression>
#include <QTest>

namespace {

bool allOfType(const QJsonObject &object, const QStringList &keys, QJsonValue::Type type)
{
    return std::all_of(keys.begin(), keys.end(), [&](const QString &key) { return object.value(key).type() == type; });
}

const QStringList userTexts{"id", "identity", "role", "status", "planName"};

} // namespace

class TestControlPlaneAccounts : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ControlPlaneProcess> m_plane;

    ControlPlaneProcess &plane() { return *m_plane; }

    // A new account through the whole sign-up: code, debug code, registration.
    QString signUp(const QString &identity, const std::optional<QString> &invite = std::nullopt)
    {
        const HttpResult sent = plane().post("/auth/verification-code", {{"identity", identity}});
        QJsonObject body{{"identity", identity},
                         {"password", "secret-pass"},
                         {"verificationCode", sent.json().value("debugCode").toString()}};
        if (invite)
            body.insert("inviteCode", *invite);
        const HttpResult registered = plane().post("/auth/register", body);
        return registered.status == 201 ? registered.json().value("token").toString() : QString();
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_plane = std::make_unique<ControlPlaneProcess>();
        QVERIFY2(plane().isRunning(), qPrintable(plane().startError()));
        QCOMPARE(plane().http().path(), QString("/api"));
        QCOMPARE(plane().https().scheme(), QString("https"));
    }

    void cleanup()
    {
        m_plane.reset();
        m_home.reset();
    }

    void theCatalogueAnswersInItsRecordShapes()
    {
        const QJsonArray nodes = plane().get("/nodes").json().value("nodes").toArray();
        QVERIFY(nodes.size() >= 5);
        for (const QJsonValue &node : nodes) {
            QVERIFY(allOfType(node.toObject(), {"id", "region", "name", "host", "status"}, QJsonValue::String));
            QVERIFY(allOfType(node.toObject(), {"latency_ms", "load_percent", "is_active"}, QJsonValue::Double));
        }
        const QJsonArray plans = plane().get("/plans").json().value("plans").toArray();
        QVERIFY(plans.size() >= 3);
        for (const QJsonValue &plan : plans) {
            QVERIFY(allOfType(plan.toObject(), {"id", "name"}, QJsonValue::String));
            QVERIFY(allOfType(plan.toObject(), {"price", "durationDays", "maxDevices"}, QJsonValue::Double));
        }
        const QJsonArray versions = plane().get("/versions").json().value("versions").toArray();
        const auto macos = std::find_if(versions.begin(), versions.end(),
                                        [](const QJsonValue &v) { return v["platform"] == "macos"; });
        QVERIFY(macos != versions.end());
        QVERIFY(allOfType(macos->toObject(), {"current_version", "latest_version", "min_version", "update_mode"},
                          QJsonValue::String));
    }

    void signUpWithTheMailedCodeThenSignIn()
    {
        const HttpResult sent = plane().post("/auth/verification-code", {{"identity", "  New.User@Example.COM "}});
        QCOMPARE(sent.status, 200);
        const QJsonObject answer = sent.json();
        QCOMPARE(answer.value("ok"), QJsonValue(true));
        QVERIFY(allOfType(answer, {"channel", "message", "debugCode"}, QJsonValue::String));
        QVERIFY(answer.value("expiresInMinutes").isDouble());
        const QString code = answer.value("debugCode").toString();
        QVERIFY(QRegularExpression("^\\d{6}$").match(code).hasMatch());
        // Development needs the code even where the answer hides it.
        const QJsonArray mailed = plane().state().value("verificationCodes").toArray();
        QCOMPARE(mailed.last()["identity"].toString(), QString("new.user@example.com"));
        QCOMPARE(mailed.last()["code"].toString(), code);

        const QJsonObject wrong{{"identity", "new.user@example.com"},
                                {"password", "secret-pass"},
                                {"verificationCode", code == "000000" ? "111111" : "000000"}};
        QCOMPARE(plane().post("/auth/register", wrong).errorCode(), QString("INVALID_CODE"));

        const HttpResult registered = plane().post(
            "/auth/register",
            {{"identity", "new.user@example.com"}, {"password", "secret-pass"}, {"verificationCode", code}});
        QCOMPARE(registered.status, 201);
        const QString token = registered.json().value("token").toString();
        QVERIFY(!token.isEmpty());
        const QJsonObject user = registered.json().value("user").toObject();
        QVERIFY(allOfType(user, userTexts, QJsonValue::String));
        QCOMPARE(user.value("identity").toString(), QString("new.user@example.com"));
        QCOMPARE(plane().get("/me", token).json().value("user").toObject(), user);

        // The code is spent and the address taken.
        QCOMPARE(
            plane()
                .post("/auth/register",
                      {{"identity", "new.user@example.com"}, {"password", "secret-pass"}, {"verificationCode", code}})
                .status,
            409);
        QCOMPARE(plane().post("/auth/verification-code", {{"identity", "new.user@example.com"}}).status, 409);

        const QString again = plane().signIn("NEW.user@example.com", "secret-pass");
        QVERIFY(!again.isEmpty() && again != token);
        QCOMPARE(plane().post("/auth/login", {{"identity", "new.user@example.com"}, {"password", "wrong"}}).status,
                 401);
    }

    void hiddenDebugCodesStayVisibleToTheDevstackOnly()
    {
        ControlPlaneProcess hidden({"--hide-debug-code", "--no-https"});
        QVERIFY2(hidden.isRunning(), qPrintable(hidden.startError()));
        QVERIFY(!hidden.https().isValid());
        const HttpResult sent = hidden.post("/auth/verification-code", {{"identity", "a@b.cn"}});
        QCOMPARE(sent.status, 200);
        QVERIFY(!sent.json().contains("debugCode"));
        QCOMPARE(hidden.state().value("verificationCodes").toArray().size(), 1);
    }

    void registrationRefusesBadInput_data()
    {
        QTest::addColumn<QJsonObject>("overrides");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("address without a dot") << QJsonObject{{"identity", "x@localhost"}} << 400 << "INVALID_EMAIL";
        QTest::newRow("short password") << QJsonObject{{"password", "12345"}} << 400 << "WEAK_PASSWORD";
        QTest::newRow("unknown invite") << QJsonObject{{"inviteCode", "NOPE"}} << 400 << "INVALID_INVITE";
        QTest::newRow("empty invite") << QJsonObject{{"inviteCode", ""}} << 400 << "INVALID_INVITE";
        QTest::newRow("numeric password") << QJsonObject{{"password", 123456}} << 400 << "INVALID_FIELD";
        QTest::newRow("code missing") << QJsonObject{{"verificationCode", QJsonValue::Null}} << 400 << "INVALID_FIELD";
        QTest::newRow("snake_case code") << QJsonObject{{"verificationCode", QJsonValue::Null},
                                                        {"verification_code", "1"}}
                                         << 400 << "INVALID_FIELD";
        QTest::newRow("registered address") << QJsonObject{{"identity", "demo@tovren.dev"}} << 409 << "IDENTITY_TAKEN";
    }

    void registrationRefusesBadInput()
    {
        QFETCH(QJsonObject, overrides);
        QFETCH(int, status);
        QFETCH(QString, code);
        const QString sentCode = plane()
                                     .post("/auth/verification-code", {{"identity", "fresh@example.com"}})
                                     .json()
                                     .value("debugCode")
                                     .toString();
        const QJsonObject body = withChanges(
            {{"identity", "fresh@example.com"}, {"password", "secret-pass"}, {"verificationCode", sentCode}},
            overrides);
        const HttpResult r = plane().post("/auth/register", body);
        QCOMPARE(r.status, status);
        QCOMPARE(r.errorCode(), code);
        QVERIFY(!r.errorText().isEmpty());
    }

    void anInviteCountsForTheInviter()
    {
        QVERIFY(!signUp("invited@example.com", QString("TVDEMO")).isEmpty());
        const QString demo = plane().signIn("demo@tovren.dev");
        QCOMPARE(plane().get("/me", demo).json()["user"]["invitesTotal"].toInt(), 4);
    }

    void privatePathsNeedAValidBearerToken_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        for (const auto &[method, path] :
             QList<QPair<QByteArray, QString>>{{"POST", "/auth/logout"},
                                               {"GET", "/me"},
                                               {"GET", "/client/bootstrap?clientPlatform=macos"},
                                               {"GET", "/devices"},
                                               {"POST", "/devices"},
                                               {"DELETE", "/devices/dev_demo_iphone"},
                                               {"POST", "/client/devices/dev_demo_iphone/protocol-config"},
                                               {"POST", "/client/connection-report"},
                                               {"POST", "/client/crash-report"},
                                               {"GET", "/orders"},
                                               {"GET", "/tickets"},
                                               {"POST", "/tickets"}})
            QTest::newRow(qPrintable(method + ' ' + path)) << method << path;
    }

    void privatePathsNeedAValidBearerToken()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        const QByteArray body = method == "POST" ? "{}" : "";
        const QList<QNetworkReply::RawHeaderPair> json{{"Content-Type", "application/json"}};
        QCOMPARE(plane().send(method, path, body, json).status, 401);
        QCOMPARE(plane().send(method, path, body, json).header("WWW-Authenticate"), QByteArray("Bearer"));
        QCOMPARE(plane().send(method, path, body, json, QString("")).status, 401);
        QCOMPARE(plane().send(method, path, body, json, QString("not-a-session")).status, 401);
        QCOMPARE(plane()
                     .send(method, path, body, {{"Content-Type", "application/json"}, {"Authorization", "Basic eDp5"}})
                     .status,
                 401);
        const QString token = plane().signIn("demo@tovren.dev");
        const int signedIn = plane().send(method, path, body, json, token).status;
        QVERIFY2(signedIn != 401, qPrintable(QString::number(signedIn)));
    }

    void signingOutEndsOnlyThatSession()
    {
        const QString first = plane().signIn("demo@tovren.dev");
        const QString second = plane().signIn("demo@tovren.dev");
        QCOMPARE(plane().send("POST", "/auth/logout", {}, {}, first).json(), QJsonObject({{"ok", true}}));
        QCOMPARE(plane().get("/me", first).status, 401);
        QCOMPARE(plane().get("/me", second).status, 200);
        // The devstack can end sessions to exercise the client's expired-session path.
        QCOMPARE(plane().admin("POST", "/sessions/expire", {{"identity", "demo@tovren.dev"}}).json()["expired"].toInt(),
                 1);
        QCOMPARE(plane().get("/me", second).status, 401);
    }

    void refusedSignIns_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown account") << "nobody@tovren.dev"
                                         << "tovren-demo" << 401;
        QTest::newRow("wrong password") << "demo@tovren.dev"
                                        << "Tovren-demo" << 401;
        QTest::newRow("disabled account") << "disabled@tovren.dev"
                                          << "tovren-demo" << 403;
    }

    void refusedSignIns()
    {
        QFETCH(QString, identity);
        QFETCH(QString, password);
        QFETCH(int, status);
        const HttpResult r = plane().post("/auth/login", {{"identity", identity}, {"password", password}});
        QCOMPARE(r.status, status);
        QVERIFY(!r.errorText().isEmpty());
    }

    void bootstrapTakesEitherQuerySpelling_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("status");
        QTest::newRow("as the client sends it") << "clientPlatform=macos&client_platform=macos&clientRegion=auto&"
                                                   "client_region=auto&networkType=wired&network_type=wired"
                                                << 200;
        QTest::newRow("camelCase only") << "clientPlatform=macos" << 200;
        QTest::newRow("snake_case only") << "client_platform=macos" << 200;
        QTest::newRow("no platform") << "clientRegion=auto" << 400;
    }

    void bootstrapTakesEitherQuerySpelling()
    {
        QFETCH(QString, query);
        QFETCH(int, status);
        const QString token = plane().signIn("demo@tovren.dev");
        const HttpResult r = plane().get("/client/bootstrap?" + query, token);
        QCOMPARE(r.status, status);
        if (status != 200)
            return;
        const QJsonObject answer = r.json();
        QCOMPARE(answer["user"]["id"].toString(), QString("usr_demo"));
        QCOMPARE(answer["max_devices"].toInt(), 5);
        QCOMPARE(answer["devices"].toArray().size(), 1);
        const QJsonArray endpoints = answer["endpoints"].toArray();
        QCOMPARE(endpoints.size(), plane().get("/nodes").json()["nodes"].toArray().size());
        QVERIFY(std::any_of(endpoints.begin(), endpoints.end(),
                            [](const QJsonValue &e) { return e["protocols"].toArray() == QJsonArray{"wireguard"}; }));
        for (const QJsonValue &e : endpoints)
            QVERIFY2(!e.toObject().contains("devstack"), "the stand-in's own settings stay private");
    }

    void ordersAndTickets()
    {
        const QString token = plane().signIn("demo@tovren.dev");
        const QJsonArray orders = plane().get("/orders", token).json()["orders"].toArray();
        QCOMPARE(orders.size(), 2);
        QCOMPARE(orders[1]["plan_id"].toString(), QString("monthly"));

        const HttpResult created = plane().post(
            "/tickets",
            {{"title", "  连不上 "}, {"category", "客户端问题"}, {"body", "正文\n--- macOS 客户端日志 ---\n"}}, token);
        QCOMPARE(created.status, 201);
        const QJsonObject ticket = created.json()["ticket"].toObject();
        QVERIFY(allOfType(ticket, {"id", "title", "status", "createdAt", "category"}, QJsonValue::String));
        QCOMPARE(ticket["title"].toString(), QString("  连不上 "));
        QVERIFY(!ticket.contains("contactEmail"));
        const QJsonArray tickets = plane().get("/tickets", token).json()["tickets"].toArray();
        QCOMPARE(tickets.size(), 2);
        QCOMPARE(tickets.first().toObject(), ticket);
        QCOMPARE(plane().state()["ticketSubmissions"][0]["body"].toString(),
                 QString("正文\n--- macOS 客户端日志 ---\n"));

        QCOMPARE(plane().post("/tickets", {{"title", " \n"}, {"body", "x"}}, token).errorCode(),
                 QString("EMPTY_TICKET"));
        QCOMPARE(plane().post("/tickets", {{"title", "t"}, {"body", "x"}, {"contactEmail", "me@"}}, token).status, 400);
        QCOMPARE(plane().post("/tickets", {{"title", "t"}}, token).status, 400);
    }
};

QTEST_GUILESS_MAIN(TestControlPlaneAccounts)
#include "test_api_controlplane_accounts.moc"
