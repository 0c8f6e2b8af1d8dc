#include "api/DeviceIdentityStore.h"
#include "api/ProtocolConfiguration.h"
#include "api/SessionStore.h"
#include "api/TovrenAPIClient.h"
#include "base/Preferences.h"
#include "testkit/ControlPlaneProcess.h"
#include "testkit/ScriptedServer.h"
#include "testkit/TestHome.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;

// The control-plane client against scripted loopback servers and the stand-in control plane, and the stores
// that keep its session and device identities.
namespace {

enum class Path { unresolvable, refused, silent, hangsUp };

// One body that every record of the client decodes from.
const QByteArray answerForAnything =
    R"({"nodes":[{"id":"n1","region":"香港","name":"HK","host":"h","status":"online","latency_ms":30,)"
    R"("load_percent":10,"is_active":1}],"plans":[],"versions":[],"ok":true,"channel":"email","expiresInMinutes":10,)"
    R"("message":"sent","token":"tok","user":{"id":"u1","identity":"a@b.cn","role":"user","status":"active",)"
    R"("planName":"月度","maxDevices":3},"devices":[],"device":{"id":"d1"},"orders":[],"tickets":[],)"
    R"("ticket":{"id":"tk_1"}})";

template<typename... T> void runAll(QCoro::Task<T>... tasks)
{
    (awaitTask(std::move(tasks)), ...);
}

// The error the call ended with, or none when it succeeded or threw something else.
template<typename E, typename T> std::optional<E> failureOf(QCoro::Task<T> task)
{
    try {
        awaitTask(std::move(task));
    } catch (const E &error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

const QUrl unresolvable(QStringLiteral("https://control-plane.tovren.invalid/api"));

QUrl refused()
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/api").arg(refusedPort()));
}

void writeSettingsFile(const TestHome &home, const QByteArray &json)
{
    QDir().mkpath(QFileInfo(home.settingsFile()).absolutePath());
    QFile f(home.settingsFile());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(json);
}

QJsonObject readSettingsFile(const TestHome &home)
{
    QFile f(home.settingsFile());
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

APIProtocolConfigRequest configRequest(const QString &endpoint, const QString &device)
{
    return {endpoint, device, "macos", "smart", 8000, "auto", "wired", std::nullopt, "att_1", "req_1", "macos-v9.7.3"};
}

} // namespace

class TestTovrenAPIClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    const ControlPlaneTimeouts m_quick{300ms, 300ms, 10s};

    std::unique_ptr<TovrenAPIClient> clientFor(const QList<QUrl> &baseURLs)
    {
        return std::make_unique<TovrenAPIClient>(baseURLs, nullptr, m_quick);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<TestHome>(); }
    void cleanup() { m_home.reset(); }

    void brokenPathsFailOverByMethod()
    {
        using C = NetworkRequestError::Code;
        const QList<std::tuple<Path, QByteArray, bool, C>> rows{
            {Path::unresolvable, "GET", true, C::cannotFindHost},
            {Path::unresolvable, "POST", true, C::cannotFindHost},
            {Path::refused, "POST", true, C::cannotConnectToHost},
            {Path::silent, "GET", true, C::timedOut},
            {Path::silent, "POST", false, C::timedOut},
            {Path::hangsUp, "GET", true, C::networkConnectionLost},
            {Path::hangsUp, "POST", false, C::networkConnectionLost},
        };
        const auto call = [](TovrenAPIClient &client, QByteArray method) -> QCoro::Task<QString> {
            const APICreateTicketRequest ticket{QStringLiteral("t"), {}, {}, QStringLiteral("b")};
            if (method == "GET")
                co_return (co_await client.nodes()).nodes.value(0).id;
            co_return (co_await client.createTicket(ticket, QStringLiteral("tok"))).ticket.id;
        };
        for (const auto &[path, method, failsOver, code] : rows) {
            const QByteArray row = method + ' ' + QByteArray::number(int(path));
            std::unique_ptr<ScriptedServer> server;
            QUrl primary = path == Path::unresolvable ? unresolvable : refused();
            if (path == Path::silent || path == Path::hangsUp) {
                server = std::make_unique<ScriptedServer>(path == Path::silent ? ScriptedServer::Mode::hang
                                                                               : ScriptedServer::Mode::hangUp);
                server->setAnswer(200, answerForAnything);
                primary = server->baseURL();
            }
            // Alone, the broken path's failure is thrown.
            const auto alone = failureOf<NetworkRequestError>(call(*clientFor({primary}), method));
            QVERIFY2(alone && alone->code() == code && !alone->description().isEmpty(), row.constData());
            const qsizetype seenAlone = server ? server->received().size() : 0;

            ScriptedServer fallback;
            fallback.setAnswer(200, answerForAnything);
            auto client = clientFor({primary, fallback.baseURL()});
            if (!failsOver) {
                const auto failure = failureOf<NetworkRequestError>(call(*client, method));
                QVERIFY2(failure && failure->code() == code, row.constData());
                QCOMPARE(fallback.connectionCount(), 0);
                QCOMPARE(client->baseURLs().first(), primary);
                continue;
            }
            QCOMPARE(awaitTask(call(*client, method)), method == "GET" ? QStringLiteral("n1") : QStringLiteral("tk_1"));
            QCOMPARE(fallback.received().size(), 1);
            QCOMPARE(fallback.received().first().method, method);
            QCOMPARE(client->baseURLs(), (QList<QUrl>{fallback.baseURL(), primary}));
            // Every attempt of one call carries the same request id.
            const QByteArray requestId = fallback.received().first().header("X-Request-Id");
            QVERIFY(QRegularExpression("^req_[0-9A-F]{18}$").match(QString::fromLatin1(requestId)).hasMatch());
            for (const ReceivedRequest &seen : server ? server->received().mid(seenAlone) : QList<ReceivedRequest>())
                QCOMPARE(seen.header("X-Request-Id"), requestId);
        }

        // With every path broken the last failure is thrown; with none, the call cannot be made.
        const auto failure = failureOf<NetworkRequestError>(clientFor({unresolvable, refused()})->nodes()).value();
        QCOMPARE(failure.code(), NetworkRequestError::Code::cannotConnectToHost);
        QCOMPARE(failure.description(), QStringLiteral("未能连接到服务器。"));
        const auto invalid = failureOf<TovrenAPIError>(clientFor({})->nodes()).value();
        QCOMPARE(invalid.kind(), TovrenAPIError::Kind::invalidResponse);
        QCOMPARE(invalid.description(), QStringLiteral("服务端响应格式异常"));

        // Later calls start at the fallback that answered, even with an error status.
        ScriptedServer primary(ScriptedServer::Mode::hangUp);
        ScriptedServer fallback;
        fallback.setAnswer(200, answerForAnything);
        auto client = clientFor({primary.baseURL(), fallback.baseURL()});
        awaitTask(client->nodes());
        const int primaryConnections = primary.connectionCount();
        awaitTask(client->plans());
        QVERIFY(primaryConnections >= 1 && primary.connectionCount() == primaryConnections);
        QCOMPARE(fallback.received().size(), 2);
        QVERIFY(fallback.received().at(0).header("X-Request-Id") != fallback.received().at(1).header("X-Request-Id"));

        ScriptedServer failing;
        failing.setAnswer(503, QByteArray());
        auto second = clientFor({unresolvable, failing.baseURL()});
        QVERIFY(failureOf<TovrenAPIError>(second->nodes()));
        QCOMPARE(second->baseURLs().first(), failing.baseURL());
    }

    void errorStatusesAreThrownWithTheServersWords()
    {
        const QList<std::tuple<int, QByteArray, QString>> rows{
            {401, R"({"error":"登录已过期"})", "登录已过期"},
            {400, R"({"error":"A","message":"B"})", "A"},
            {403, R"({"message":"B","errorCode":"X"})", "B"},
            {400, R"({"error":"","message":"B"})", "B"},
            {409, R"({"error":"","message":""})", ""}, // no words: the status speaks
            {502, "", ""},
            {502, "<html>Bad Gateway</html>", ""},
            {400, R"({"error":5,"message":"B"})", ""}, // the record does not decode
        };
        ScriptedServer primary;
        ScriptedServer fallback;
        fallback.setAnswer(200, answerForAnything);
        auto client = clientFor({primary.baseURL(), fallback.baseURL()});
        for (const auto &[status, body, message] : rows) {
            primary.setAnswer(status, body);
            const auto failure = failureOf<TovrenAPIError>(client->me(QStringLiteral("tok"))).value();
            QCOMPARE(failure.kind(), TovrenAPIError::Kind::server);
            QCOMPARE(failure.statusCode(), qint64(status));
            QCOMPARE(failure.description(),
                     message.isEmpty() ? QStringLiteral("服务端返回错误：%1").arg(status) : message);
            QCOMPARE(failure.message(), message.isEmpty() ? std::nullopt : std::optional<QString>(message));
        }
        QCOMPARE(primary.received().size(), rows.size());
        QCOMPARE(fallback.connectionCount(), 0);

        // A success whose body does not decode throws the decoder's error; an acknowledgement is never refused.
        primary.setAnswer(200, R"({"nodes":5})");
        QCOMPARE(failureOf<DecodingError>(client->nodes()).value().codingPath(), QStringLiteral("nodes"));
        primary.setAnswer(200, "not json");
        QVERIFY(failureOf<DecodingError>(client->nodes()));
        QVERIFY(awaitTask(client->logout(QStringLiteral("tok"))).ok);
    }

    void requestsCarryTheirMethodPathHeadersAndBody()
    {
        ScriptedServer server;
        server.setAnswer(200, answerForAnything);
        TovrenAPIClient c(server.baseURL(), nullptr, m_quick);
        const QString t = QStringLiteral("tok");
        runAll(c.nodes(), c.plans(), c.versions(), c.sendVerificationCode("a@b.cn"),
               c.registerAccount({"a@b.cn", "pw", "123456", std::nullopt}), c.login("a@b.cn", "pw"), c.logout(t),
               c.me(t), c.clientBootstrap(t), c.devices(t),
               c.bindDevice({std::nullopt, "Mac", "macos", "macOS 14.5", "v9.7.3"}, t), c.orders(t), c.tickets(t),
               c.createTicket({"标题", "类", std::nullopt, "正文"}, t), c.crashReport(APIClientCrashReportRequest(), t),
               c.deleteDevice("a/b c", t),
               c.protocolConfig("ep_1", "a/b c", "smart", t, "att_1", "req_1", "macos-v9.7.3"));
        QStringList seen; // method, target as sent, the Authorization header, the body's keys
        for (const ReceivedRequest &request : server.received()) {
            QStringList keys = request.json().keys();
            keys.sort();
            const QByteArray auth = request.hasHeader("Authorization") ? request.header("Authorization") : "-";
            seen.append(QString::fromLatin1(request.method + ' ' + request.target + ' ' + auth + ' ') + keys.join(','));
            QCOMPARE(request.hasHeader("Content-Type"), !keys.isEmpty());
        }
        QStringList expected{
            "GET /api/nodes - ",
            "GET /api/plans - ",
            "GET /api/versions - ",
            "POST /api/auth/verification-code - identity",
            "POST /api/auth/register - identity,password,verificationCode",
            "POST /api/auth/login - identity,password",
            "POST /api/auth/logout Bearer tok ",
            "GET /api/me Bearer tok ",
            "GET /api/client/bootstrap?clientPlatform=macos&client_platform=macos&clientRegion=auto&client_region=auto"
            "&networkType=wired&network_type=wired Bearer tok ",
            "GET /api/devices Bearer tok ",
            "POST /api/devices Bearer tok appVersion,deviceName,deviceType,os",
            "GET /api/orders Bearer tok ",
            "GET /api/tickets Bearer tok ",
            "POST /api/tickets Bearer tok body,category,title",
            "POST /api/client/crash-report Bearer tok appVersion,clientPlatform,crashType,reason",
            "DELETE /api/devices/a%2Fb%20c Bearer tok ",
            "POST /api/client/devices/a%2Fb%20c/protocol-config Bearer tok attempt_id,build_id,client_region,device_id,"
            "endpoint_id,network_type,outbound_mode,platform,request_id,wait_for_ready_ms",
        };
        seen.sort(); // the calls ran side by side
        expected.sort();
        QCOMPARE(seen, expected);
        const ReceivedRequest config =
            *std::find_if(server.received().begin(), server.received().end(),
                          [](const ReceivedRequest &r) { return r.target.endsWith("-config"); });
        QCOMPARE(config.json(), configRequest("ep_1", "a/b c").toJson()); // the body carries the raw id
        QCOMPARE(config.header("X-Request-Id") + config.header("X-Tovren-Attempt-Id"), QByteArray("req_1att_1"));

        // Headers of the caller's own: an empty one is left out, a token beats a given Authorization.
        ScriptedServer primary(ScriptedServer::Mode::hangUp);
        ScriptedServer fallback;
        auto client = clientFor({primary.baseURL(), fallback.baseURL()});
        const TovrenAPIClient::Headers extra{
            {"X-Empty", ""}, {"X-Request-Id", "req_GIVEN"}, {"Accept", "text/plain"}, {"Authorization", "Basic eA=="}};
        QVERIFY(awaitTask(client->send<APIOkResponse>({"/echo", "GET", QStringLiteral("tok"), QByteArray("{}"), extra}))
                    .ok);
        QVERIFY(!primary.received().isEmpty());
        for (const ReceivedRequest &attempt : primary.received() + fallback.received()) {
            QCOMPARE(attempt.header("X-Request-Id"), QByteArray("req_GIVEN"));
            QVERIFY(!attempt.hasHeader("X-Empty"));
            QCOMPARE(attempt.header("Accept"), QByteArray("text/plain"));        // an extra header replaces the default
            QCOMPARE(attempt.header("Authorization"), QByteArray("Bearer tok")); // the token replaces an extra one
            QCOMPARE(attempt.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(attempt.header("X-Tovren-Platform"), QByteArray("macos"));
        }

        // A redirect to another origin ("localhost" is not "127.0.0.1") is refused: the token never leaves.
        ScriptedServer elsewhere;
        ScriptedServer redirecting;
        redirecting.setAnswer(302, QByteArray());
        QUrl target = elsewhere.baseURL(QStringLiteral("/api/me"));
        target.setHost(QStringLiteral("localhost"));
        redirecting.addAnswerHeader("Location: " + target.toEncoded());
        const auto failure = failureOf<NetworkRequestError>(clientFor({redirecting.baseURL()})->me("secret"));
        QVERIFY(failure && failure->code() == NetworkRequestError::Code::other);
        QCOMPARE(elsewhere.connectionCount(), 0);
    }

    void urlsJoinTheBasePathAndThePath()
    {
        const QString h = QStringLiteral("https://h.example/api");
        const QList<std::tuple<QString, QString, QString>> rows{
            {h, "/client/crash-report", h + "/client/crash-report"},
            {h, "nodes", h + "/nodes"},
            {"https://h.example:8443//api//", "/x", "https://h.example:8443/api/x"},
            {"http://127.0.0.1:9", "/me", "http://127.0.0.1:9/me"},
            {h, "", h},
            {h, "/nodes?", h + "/nodes"},
            {h, "?a=1", h + "?a=1"},
            {h, "/q?x=a%26b&y=%2F", h + "/q?x=a%26b&y=%2F"},
            {h, "/devices/a%2Fb%20c", h + "/devices/a%2Fb%20c"},
            {h + "?k=v#f", "/me", h + "/me"},
        };
        for (const auto &[base, path, url] : rows)
            QCOMPARE(TovrenAPIClient::makeURL(path, QUrl(base)).toString(QUrl::FullyEncoded), url);
        // An id stays one path segment.
        for (const auto &[id, segment] : QList<std::pair<QString, QString>>{{"dev_01.a-b~c", "dev_01.a-b~c"},
                                                                            {"a/b c", "a%2Fb%20c"},
                                                                            {"x?y#z", "x%3Fy%23z"},
                                                                            {"50%", "50%25"},
                                                                            {"设备", "%E8%AE%BE%E5%A4%87"}})
            QCOMPARE(TovrenAPIClient::encodedPathSegment(id), segment);
    }

    void onlyTheProductionBaseURLHasFallbacksAndNoProxyIsUsed()
    {
        const TovrenAPIClient production;
        QCOMPARE(production.baseURLs(), Deployment::productionBaseURLs());
        QVERIFY(production.baseURLs().size() > 1);
        const QUrl staging(QStringLiteral("https://staging.example/api"));
        QCOMPARE(TovrenAPIClient(staging).baseURLs(), QList<QUrl>{staging});
        qputenv(Deployment::controlPlaneVariable, "http://127.0.0.1:4000/api");
        QCOMPARE(Deployment::controlPlaneBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:4000/api")));
        qputenv(Deployment::controlPlaneVariable, "not a url");
        QCOMPARE(Deployment::controlPlaneBaseURL(), Deployment::productionBaseURL());
        qunsetenv(Deployment::controlPlaneVariable);
        QCOMPARE(Deployment::controlPlaneBaseURL(), Deployment::productionBaseURL());

        // The system proxy is never used: while connected it leads into our own tunnel.
        ScriptedServer server;
        server.setAnswer(200, answerForAnything);
        const QNetworkProxy saved = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", refusedPort()));
        auto given = std::make_unique<QNetworkAccessManager>();
        given->setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", refusedPort()));
        TovrenAPIClient own(server.baseURL(), nullptr, m_quick);
        TovrenAPIClient withGiven(server.baseURL(), std::move(given), m_quick);
        const int ownNodes = awaitTask(own.nodes()).nodes.size();
        const int givenNodes = awaitTask(withGiven.nodes()).nodes.size();
        QNetworkProxy::setApplicationProxy(saved);
        QCOMPARE(ownNodes + givenNodes, 2);
        QCOMPARE(server.received().size(), 2);
    }

    void theSessionAndDeviceIdentitiesSurviveARestart()
    {
        QString clientId;
        {
            Preferences prefs;
            SessionStore store(prefs);
            QCOMPARE(store.read(), std::nullopt);
            store.save("tok-1");
            store.save("tok 2/é");
            clientId = DeviceIdentityStore(prefs).clientDeviceId();
        }
        QVERIFY2(QRegularExpression("^macos-[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$").match(clientId).hasMatch(),
                 qPrintable(clientId));
        Preferences prefs;
        SessionStore session(prefs);
        DeviceIdentityStore devices(prefs);
        QCOMPARE(session.read(), std::optional<QString>("tok 2/é"));
        QCOMPARE(devices.clientDeviceId(), clientId);
        // Server device ids are kept per account, and signing out keeps them.
        devices.saveServerDeviceId("dev_a", QString("usr_a"));
        devices.saveServerDeviceId("dev_b", QString("usr/b.2"));
        devices.saveServerDeviceId("dev_a2", QString("usr_a"));
        QCOMPARE(readSettingsFile(*m_home).value("tovren.sessionToken").toString(), QString("tok 2/é"));
        session.clear();
        QCOMPARE(session.read(), std::nullopt);
        QCOMPARE(readSettingsFile(*m_home), QJsonObject({{"tovren.clientDeviceId", clientId},
                                                         {"tovren.serverDeviceId.usr_a", "dev_a2"},
                                                         {"tovren.serverDeviceId.usr/b.2", "dev_b"}}));
        QCOMPARE(devices.serverDeviceId(QString("usr_a")), std::optional<QString>("dev_a2"));
        QCOMPARE(devices.serverDeviceId(QString("usr_c")), std::nullopt);

        // Without an account nothing is read or written.
        writeSettingsFile(*m_home, R"({"tovren.serverDeviceId.": "shared"})");
        Preferences fresh;
        DeviceIdentityStore anonymous(fresh);
        for (const std::optional<QString> &none : {std::optional<QString>(), std::optional<QString>(QString())}) {
            QCOMPARE(anonymous.serverDeviceId(none), std::nullopt);
            anonymous.saveServerDeviceId("dev_x", none);
        }
        QCOMPARE(readSettingsFile(*m_home), QJsonObject({{"tovren.serverDeviceId.", "shared"}}));
    }

    void storedValuesOfTheWrongShape()
    {
        QList<std::pair<QByteArray, QString>> rows{
            // the client id then read; empty: a fresh one
            {R"({"tovren.deviceId": "OLD-Device 7"})", "OLD-Device 7"},
            {R"({"tovren.deviceId": "old", "tovren.clientDeviceId": "new"})", "new"},
            {R"({"tovren.deviceId": 7})", ""}};
        for (const char *value : {"42", "true", R"({"token": "x"})", R"(["x"])", "null", R"("")"})
            rows.append({QByteArray(R"({"tovren.sessionToken": %1, "tovren.clientDeviceId": %1,
                                       "tovren.serverDeviceId.usr_a": %1})")
                             .replace("%1", value),
                         ""});
        for (const auto &[settings, clientId] : rows) {
            writeSettingsFile(*m_home, settings);
            const QJsonValue legacy = readSettingsFile(*m_home).value("tovren.deviceId");
            Preferences prefs;
            QCOMPARE(SessionStore(prefs).read(), std::nullopt);
            DeviceIdentityStore devices(prefs);
            QCOMPARE(devices.serverDeviceId(QString("usr_a")), std::nullopt);
            const QString id = devices.clientDeviceId();
            QVERIFY2(clientId.isEmpty() ? id.startsWith("macos-") : id == clientId, settings.constData());
            QCOMPARE(devices.clientDeviceId(), id); // a fresh one then stays
            QCOMPARE(readSettingsFile(*m_home).value("tovren.clientDeviceId").toString(), id);
            QCOMPARE(readSettingsFile(*m_home).value("tovren.deviceId"), legacy); // the legacy id is left in place
        }
    }
};

QTEST_GUILESS_MAIN(TestTovrenAPIClient)
#include "test_api_client.moc"
