#include "TestHome.h"
#include "api/TovrenAPIClient.h"
#include "test_api_client_support.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTest>

using namespace std::chrono_literals;

namespace {

enum class Path { unresolvable, refused, untrustedCertificate, silent, hangsUp };

const QJsonObject node{{"id", "n1"},         {"region", "香港"}, {"name", "HK"},       {"host", "h"},
                       {"status", "online"}, {"latency_ms", 30}, {"load_percent", 10}, {"is_active", 1}};
const QJsonObject user{{"id", "u1"},         {"identity", "a@b.cn"}, {"role", "user"},
                       {"status", "active"}, {"planName", "月度"},   {"maxDevices", 3}};

// One body that every record of the client decodes from.
QJsonObject answerForAnything()
{
    return {{"nodes", QJsonArray{node}},
            {"plans", QJsonArray{}},
            {"versions", QJsonArray{}},
            {"ok", true},
            {"channel", "email"},
            {"expiresInMinutes", 10},
            {"message", "sent"},
            {"token", "tok"},
            {"user", user},
            {"devices", QJsonArray{}},
            {"device", QJsonObject{{"id", "d1"}}},
            {"orders", QJsonArray{}},
            {"tickets", QJsonArray{}},
            {"ticket", QJsonObject{{"id", "tk_1"}}}};
}

template<typename T> T run(QCoro::Task<T> task)
{
    return awaitTask(std::move(task));
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

QUrl unresolvable()
{
    return QUrl(QStringLiteral("https://control-plane.tovren.invalid/api"));
}

QUrl refused()
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/api").arg(refusedPort()));
}

} // namespace

Q_DECLARE_METATYPE(Path)
Q_DECLARE_METATYPE(NetworkRequestError::Code)

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

    // The generic exchange, with headers of the test's choosing.
    static QCoro::Task<APIOkResponse> exchange(TovrenAPIClient &client, QByteArray method,
                                               TovrenAPIClient::Headers headers, std::optional<QString> token,
                                               std::optional<QByteArray> body)
    {
        return client.send<APIOkResponse>({QStringLiteral("/echo"), method, token, body, headers});
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<TestHome>(); }
    void cleanup() { m_home.reset(); }

    void brokenPathFailsOverByMethod_data()
    {
        QTest::addColumn<Path>("path");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("failsOver");
        QTest::addColumn<NetworkRequestError::Code>("code");

        using C = NetworkRequestError::Code;
        QTest::newRow("unresolvable host, GET") << Path::unresolvable << QByteArray("GET") << true << C::cannotFindHost;
        QTest::newRow("unresolvable host, POST")
            << Path::unresolvable << QByteArray("POST") << true << C::cannotFindHost;
        QTest::newRow("refused port, POST") << Path::refused << QByteArray("POST") << true << C::cannotConnectToHost;
        QTest::newRow("untrusted certificate, GET")
            << Path::untrustedCertificate << QByteArray("GET") << true << C::serverCertificateUntrusted;
        QTest::newRow("untrusted certificate, POST")
            << Path::untrustedCertificate << QByteArray("POST") << true << C::serverCertificateUntrusted;
        QTest::newRow("time-out, GET") << Path::silent << QByteArray("GET") << true << C::timedOut;
        QTest::newRow("time-out, POST") << Path::silent << QByteArray("POST") << false << C::timedOut;
        QTest::newRow("connection lost, GET") << Path::hangsUp << QByteArray("GET") << true << C::networkConnectionLost;
        QTest::newRow("connection lost, POST")
            << Path::hangsUp << QByteArray("POST") << false << C::networkConnectionLost;
    }

    void brokenPathFailsOverByMethod()
    {
        QFETCH(Path, path);
        QFETCH(QByteArray, method);
        QFETCH(bool, failsOver);
        QFETCH(NetworkRequestError::Code, code);

        std::unique_ptr<ScriptedServer> primaryServer;
        QUrl primary;
        switch (path) {
        case Path::unresolvable: primary = unresolvable(); break;
        case Path::refused: primary = refused(); break;
        case Path::untrustedCertificate:
            primaryServer =
                std::make_unique<ScriptedServer>(ScriptedServer::Mode::answer, ScriptedServer::Transport::https);
            break;
        case Path::silent: primaryServer = std::make_unique<ScriptedServer>(ScriptedServer::Mode::hang); break;
        case Path::hangsUp: primaryServer = std::make_unique<ScriptedServer>(ScriptedServer::Mode::hangUp); break;
        }
        if (primaryServer) {
            QVERIFY(primaryServer->isListening());
            primaryServer->setAnswer(200, answerForAnything());
            primary = primaryServer->baseURL();
        }
        ScriptedServer fallback;
        fallback.setAnswer(200, answerForAnything());
        auto client = clientFor({primary, fallback.baseURL()});

        const auto call = [&]() -> QCoro::Task<QString> {
            if (method == "GET")
                co_return (co_await client->nodes()).nodes.value(0).id;
            co_return (co_await client->createTicket({QStringLiteral("t"), {}, {}, QStringLiteral("b")},
                                                     QStringLiteral("tok")))
                .ticket.id;
        };

        if (failsOver) {
            QCOMPARE(run(call()), method == "GET" ? QStringLiteral("n1") : QStringLiteral("tk_1"));
            QCOMPARE(fallback.received().size(), 1);
            QCOMPARE(fallback.received().first().method, method);
            QCOMPARE(client->baseURLs(), (QList<QUrl>{fallback.baseURL(), primary}));
            // Every attempt of one call carries the same request id.
            const QByteArray requestId = fallback.received().first().header("X-Request-Id");
            QVERIFY(QRegularExpression(QStringLiteral("^req_[0-9A-F]{18}$"))
                        .match(QString::fromLatin1(requestId))
                        .hasMatch());
            if (primaryServer) {
                for (const ReceivedRequest &seen : primaryServer->received())
                    QCOMPARE(seen.header("X-Request-Id"), requestId);
            }
        } else {
            const auto failure = failureOf<NetworkRequestError>(call());
            QVERIFY(failure);
            QCOMPARE(failure->code(), code);
            QVERIFY(!failure->description().isEmpty());
            QCOMPARE(fallback.connectionCount(), 0);
            QCOMPARE(client->baseURLs().first(), primary);
        }
    }

    void theLastBrokenPathIsThrown()
    {
        auto client = clientFor({unresolvable(), refused()});
        const auto failure = failureOf<NetworkRequestError>(client->nodes());
        QVERIFY(failure);
        QCOMPARE(failure->code(), NetworkRequestError::Code::cannotConnectToHost);
        QCOMPARE(failure->description(), QStringLiteral("未能连接到服务器。"));

        const auto unknownHost = failureOf<NetworkRequestError>(clientFor({unresolvable()})->nodes());
        QVERIFY(unknownHost);
        QCOMPARE(unknownHost->code(), NetworkRequestError::Code::cannotFindHost);
        ScriptedServer untrusted(ScriptedServer::Mode::answer, ScriptedServer::Transport::https);
        const auto certificate = failureOf<NetworkRequestError>(clientFor({untrusted.baseURL()})->nodes());
        QVERIFY(certificate);
        QCOMPARE(certificate->code(), NetworkRequestError::Code::serverCertificateUntrusted);

        TovrenAPIClient empty(QList<QUrl>{}, nullptr, m_quick);
        const auto invalid = failureOf<TovrenAPIError>(empty.nodes());
        QVERIFY(invalid);
        QCOMPARE(invalid->kind(), TovrenAPIError::Kind::invalidResponse);
        QCOMPARE(invalid->description(), QStringLiteral("服务端响应格式异常"));
    }

    void laterCallsStartAtTheFallbackThatAnswered()
    {
        ScriptedServer primary(ScriptedServer::Mode::hangUp);
        ScriptedServer fallback;
        ScriptedServer spare;
        fallback.setAnswer(200, answerForAnything());
        auto client = clientFor({primary.baseURL(), fallback.baseURL(), spare.baseURL()});

        QCOMPARE(run(client->nodes()).nodes.size(), 1);
        const int primaryConnections = primary.connectionCount();
        QVERIFY(primaryConnections >= 1);
        QCOMPARE(run(client->plans()).plans.size(), 0);
        QCOMPARE(primary.connectionCount(), primaryConnections);
        QCOMPARE(fallback.received().size(), 2);
        QVERIFY(fallback.received().at(0).header("X-Request-Id") != fallback.received().at(1).header("X-Request-Id"));
        QCOMPARE(spare.connectionCount(), 0);
        QCOMPARE(client->baseURLs(), (QList<QUrl>{fallback.baseURL(), primary.baseURL(), spare.baseURL()}));

        // A fallback that answers with an error status answered all the same: it moves to the front too.
        ScriptedServer failing;
        failing.setAnswer(503, QByteArray());
        auto second = clientFor({unresolvable(), failing.baseURL()});
        QVERIFY(failureOf<TovrenAPIError>(second->nodes()));
        QCOMPARE(second->baseURLs().first(), failing.baseURL());
    }

    void errorStatusesAreThrownWithTheServersWords_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("description");
        QTest::addColumn<std::optional<QString>>("message");

        QTest::newRow("401 with error") << 401 << QByteArray(R"({"error":"登录已过期"})")
                                        << QStringLiteral("登录已过期")
                                        << std::optional<QString>(QStringLiteral("登录已过期"));
        QTest::newRow("error wins over message")
            << 400 << QByteArray(R"({"error":"A","message":"B"})") << "A" << std::optional<QString>("A");
        QTest::newRow("message alone") << 403 << QByteArray(R"({"message":"B","errorCode":"X"})") << "B"
                                       << std::optional<QString>("B");
        QTest::newRow("empty error gives way to message")
            << 400 << QByteArray(R"({"error":"","message":"B"})") << "B" << std::optional<QString>("B");
        QTest::newRow("empty texts give the status")
            << 409 << QByteArray(R"({"error":"","message":""})") << QStringLiteral("服务端返回错误：409")
            << std::optional<QString>();
        QTest::newRow("empty body, 502") << 502 << QByteArray() << QStringLiteral("服务端返回错误：502")
                                         << std::optional<QString>();
        QTest::newRow("HTML body, 502") << 502 << QByteArray("<html>Bad Gateway</html>")
                                        << QStringLiteral("服务端返回错误：502") << std::optional<QString>();
        QTest::newRow("error of the wrong type, the record does not decode")
            << 400 << QByteArray(R"({"error":5,"message":"B"})") << QStringLiteral("服务端返回错误：400")
            << std::optional<QString>();
    }

    void errorStatusesAreThrownWithTheServersWords()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, description);
        QFETCH(std::optional<QString>, message);

        ScriptedServer primary;
        ScriptedServer fallback;
        primary.setAnswer(status, body);
        fallback.setAnswer(200, answerForAnything());
        auto client = clientFor({primary.baseURL(), fallback.baseURL()});

        const auto failure = failureOf<TovrenAPIError>(client->me(QStringLiteral("tok")));
        QVERIFY(failure);
        QCOMPARE(failure->kind(), TovrenAPIError::Kind::server);
        QCOMPARE(failure->statusCode(), qint64(status));
        QCOMPARE(failure->description(), description);
        QCOMPARE(failure->message(), message);
        QCOMPARE(primary.received().size(), 1);
        QCOMPARE(fallback.connectionCount(), 0);
    }

    void successBodiesThatDoNotDecodeThrowTheDecodersError()
    {
        ScriptedServer server;
        auto client = clientFor({server.baseURL()});
        server.setAnswer(200, QJsonObject{{"nodes", 5}});
        auto failure = failureOf<DecodingError>(client->nodes());
        QVERIFY(failure);
        QCOMPARE(failure->codingPath(), QStringLiteral("nodes"));
        server.setAnswer(200, QByteArray("not json"));
        QVERIFY(failureOf<DecodingError>(client->nodes()));
        // An acknowledgement is never refused for its body.
        QVERIFY(run(client->logout(QStringLiteral("tok"))).ok);
    }

    void headersFollowTheirPrecedence()
    {
        ScriptedServer primary(ScriptedServer::Mode::hangUp);
        ScriptedServer fallback;
        auto client = clientFor({primary.baseURL(), fallback.baseURL()});
        const TovrenAPIClient::Headers extra{
            {"X-Empty", ""}, {"X-Request-Id", "req_GIVEN"}, {"Accept", "text/plain"}, {"Authorization", "Basic eA=="}};
        QVERIFY(run(exchange(*client, "GET", extra, QStringLiteral("tok"), QByteArray("{}"))).ok);

        QVERIFY(!primary.received().isEmpty());
        QList<ReceivedRequest> attempts = primary.received();
        attempts.append(fallback.received());
        for (const ReceivedRequest &seen : attempts) {
            QCOMPARE(seen.header("X-Request-Id"), QByteArray("req_GIVEN"));
            QVERIFY(!seen.hasHeader("X-Empty"));
            QCOMPARE(seen.header("Accept"), QByteArray("text/plain"));        // an extra header replaces the default
            QCOMPARE(seen.header("Authorization"), QByteArray("Bearer tok")); // the token replaces an extra one
            QCOMPARE(seen.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(seen.header("X-Tovren-Platform"), QByteArray("macos"));
        }
    }

    void redirectsStayOnTheirOrigin()
    {
        ScriptedServer elsewhere;
        elsewhere.setAnswer(200, answerForAnything());
        ScriptedServer sameOrigin;
        sameOrigin.setAnswer(200, answerForAnything());
        ScriptedServer redirecting;
        redirecting.setAnswer(302, QByteArray());
        // "localhost" is another origin than "127.0.0.1", though the same machine.
        QUrl target = elsewhere.baseURL(QStringLiteral("/api/me"));
        target.setHost(QStringLiteral("localhost"));
        redirecting.addAnswerHeader("Location", target.toEncoded());

        auto client = clientFor({redirecting.baseURL()});
        const auto failure = failureOf<NetworkRequestError>(client->me(QStringLiteral("secret")));
        QVERIFY(failure);
        QCOMPARE(failure->code(), NetworkRequestError::Code::other);
        QCOMPARE(elsewhere.connectionCount(), 0); // the token never left for the other origin
    }

    void operationsSendTheirMethodPathTokenAndBody()
    {
        ScriptedServer server;
        server.setAnswer(200, answerForAnything());
        TovrenAPIClient c(server.baseURL(), nullptr, m_quick);
        const QString t = QStringLiteral("tok");
        run(c.nodes());
        run(c.plans());
        run(c.versions());
        run(c.sendVerificationCode("a@b.cn"));
        run(c.registerAccount({"a@b.cn", "pw", "123456", std::nullopt}));
        run(c.login("a@b.cn", "pw"));
        run(c.logout(t));
        run(c.me(t));
        run(c.clientBootstrap(t));
        run(c.devices(t));
        run(c.bindDevice({std::nullopt, "Mac", "macos", "macOS 14.5", "v9.7.3"}, t));
        run(c.orders(t));
        run(c.tickets(t));
        run(c.createTicket({"标题", "类", std::nullopt, "正文"}, t));
        run(c.crashReport(APIClientCrashReportRequest(), t));

        // Method, target as sent, the Authorization header, the body's keys.
        QStringList seen;
        for (const ReceivedRequest &request : server.received()) {
            QStringList keys = request.json().keys();
            keys.sort();
            seen.append(QString::fromLatin1(
                            request.method + ' ' + request.target + ' ' +
                            (request.hasHeader("Authorization") ? request.header("Authorization") : QByteArray("-"))) +
                        QLatin1Char(' ') + keys.join(QLatin1Char(',')));
            QCOMPARE(request.hasHeader("Content-Type"), !keys.isEmpty());
        }
        const QStringList expected{
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
        };
        QCOMPARE(seen, expected);
    }

    void deviceIdsStayOnePathSegment_data()
    {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<QByteArray>("segment");

        QTest::newRow("plain") << "dev_01.a-b~c" << QByteArray("dev_01.a-b~c");
        QTest::newRow("slash and space") << "a/b c" << QByteArray("a%2Fb%20c");
        QTest::newRow("query and fragment marks") << "x?y#z" << QByteArray("x%3Fy%23z");
        QTest::newRow("percent sign") << "50%" << QByteArray("50%25");
        QTest::newRow("non-ASCII") << "设备" << QByteArray("%E8%AE%BE%E5%A4%87");
    }

    void deviceIdsStayOnePathSegment()
    {
        QFETCH(QString, deviceId);
        QFETCH(QByteArray, segment);

        ScriptedServer server;
        server.setAnswer(200, answerForAnything());
        auto client = clientFor({server.baseURL()});
        run(client->deleteDevice(deviceId, QStringLiteral("tok")));
        run(client->protocolConfig(QStringLiteral("ep_1"), deviceId, QStringLiteral("smart"), QStringLiteral("tok"),
                                   QStringLiteral("att_1"), QStringLiteral("req_1"), QStringLiteral("macos-v9.7.3")));

        const ReceivedRequest &deletion = server.received().at(0);
        QCOMPARE(deletion.method, QByteArray("DELETE"));
        QCOMPARE(deletion.target, "/api/devices/" + segment);

        const ReceivedRequest &config = server.received().at(1);
        QCOMPARE(config.target, "/api/client/devices/" + segment + "/protocol-config");
        const QJsonObject body = config.json();
        QCOMPARE(body.value("device_id").toString(), deviceId); // the body carries the raw id
        QCOMPARE(body.value("endpoint_id").toString(), QStringLiteral("ep_1"));
        QCOMPARE(body.value("platform").toString(), QStringLiteral("macos"));
        QCOMPARE(body.value("wait_for_ready_ms").toInt(), 8000);
        QCOMPARE(body.value("client_region").toString(), QStringLiteral("auto"));
        QCOMPARE(body.value("network_type").toString(), QStringLiteral("wired"));
        QVERIFY(!body.contains("is_overseas"));
        QCOMPARE(config.header("X-Request-Id"), QByteArray("req_1"));
        QCOMPARE(config.header("X-Tovren-Attempt-Id"), QByteArray("att_1"));
    }

    void urlsJoinTheBasePathAndThePath_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("url");

        QTest::newRow("base /api") << "https://h.example/api"
                                   << "/client/crash-report"
                                   << "https://h.example/api/client/crash-report";
        QTest::newRow("trailing slash on the base") << "https://h.example/api/"
                                                    << "/nodes"
                                                    << "https://h.example/api/nodes";
        QTest::newRow("path without its slash") << "https://h.example/api"
                                                << "nodes"
                                                << "https://h.example/api/nodes";
        QTest::newRow("slashes everywhere, port kept") << "https://h.example:8443//api//"
                                                       << "/x"
                                                       << "https://h.example:8443/api/x";
        QTest::newRow("no base path") << "http://127.0.0.1:9"
                                      << "/me"
                                      << "http://127.0.0.1:9/me";
        QTest::newRow("empty path") << "https://h.example/api"
                                    << ""
                                    << "https://h.example/api";
        QTest::newRow("trailing question mark") << "https://h.example/api"
                                                << "/nodes?"
                                                << "https://h.example/api/nodes";
        QTest::newRow("only a query") << "https://h.example/api"
                                      << "?a=1"
                                      << "https://h.example/api?a=1";
        QTest::newRow("escaped query kept") << "https://h.example/api"
                                            << "/q?x=a%26b&y=%2F"
                                            << "https://h.example/api/q?x=a%26b&y=%2F";
        QTest::newRow("escaped path kept") << "https://h.example/api"
                                           << "/devices/a%2Fb%20c"
                                           << "https://h.example/api/devices/a%2Fb%20c";
        QTest::newRow("query of the base dropped") << "https://h.example/api?k=v#f"
                                                   << "/me"
                                                   << "https://h.example/api/me";
    }

    void urlsJoinTheBasePathAndThePath()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(QString, url);
        QCOMPARE(TovrenAPIClient::makeURL(path, QUrl(base)).toString(QUrl::FullyEncoded), url);
    }

    void onlyTheProductionBaseURLHasFallbacks()
    {
        const TovrenAPIClient production;
        QCOMPARE(production.baseURLs(), Deployment::productionBaseURLs());
        QCOMPARE(production.baseURLs().size(), 3);
        for (const QUrl &url : production.baseURLs()) {
            QCOMPARE(url.scheme(), QStringLiteral("https"));
            QCOMPARE(url.path(), QStringLiteral("/api"));
        }
        const TovrenAPIClient other(QUrl(QStringLiteral("https://staging.example/api")));
        QCOMPARE(other.baseURLs(), QList<QUrl>{QUrl(QStringLiteral("https://staging.example/api"))});

        qputenv(Deployment::controlPlaneVariable, "http://127.0.0.1:4000/api");
        QCOMPARE(Deployment::controlPlaneBaseURL(), QUrl(QStringLiteral("http://127.0.0.1:4000/api")));
        qputenv(Deployment::controlPlaneVariable, "not a url");
        QCOMPARE(Deployment::controlPlaneBaseURL(), Deployment::productionBaseURL());
        qunsetenv(Deployment::controlPlaneVariable);
        QCOMPARE(Deployment::controlPlaneBaseURL(), Deployment::productionBaseURL());
    }

    void theSystemProxyIsNeverUsed()
    {
        ScriptedServer server;
        server.setAnswer(200, answerForAnything());
        const QNetworkProxy saved = QNetworkProxy::applicationProxy();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", refusedPort()));
        auto given = std::make_unique<QNetworkAccessManager>();
        given->setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", refusedPort()));
        TovrenAPIClient own(server.baseURL(), nullptr, m_quick);
        TovrenAPIClient withGiven(server.baseURL(), std::move(given), m_quick);
        const int ownNodes = run(own.nodes()).nodes.size();
        const int givenNodes = run(withGiven.nodes()).nodes.size();
        QNetworkProxy::setApplicationProxy(saved);
        QCOMPARE(ownNodes, 1);
        QCOMPARE(givenNodes, 1);
        QCOMPARE(server.received().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestTovrenAPIClient)
#include "test_api_client.moc"
