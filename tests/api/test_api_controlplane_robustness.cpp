#include "TestHome.h"
#include "test_api_controlplane_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QTest>

namespace {

QString sourceFile(const QString &relative)
{
    return qEnvironmentVariable("TOVREN_SOURCE_DIR") + QLatin1Char('/') + relative;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString bundledCertificate = QStringLiteral("devstack/control-plane/tls/devstack-cert.pem");
const QString bundledKey = QStringLiteral("devstack/control-plane/tls/devstack-key.pem");

} // namespace

class TestControlPlaneRobustness : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ControlPlaneProcess> m_shared;

    QUrl outsideBase(const ControlPlaneProcess &plane, const QString &path)
    {
        QUrl url = plane.http();
        url.setPath(path);
        return url;
    }

    // Asks over TLS, trusting exactly the certificate the stand-in says it serves (or nothing).
    HttpResult overTls(ControlPlaneProcess &plane, bool trust)
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(trust ? QSslCertificate::fromData(plane.admin("GET", "/certificate").body)
                                    : QList<QSslCertificate>());
        QUrl url = plane.https();
        url.setPath(url.path() + "/nodes");
        QNetworkRequest request(url);
        request.setSslConfiguration(tls);
        QNetworkAccessManager fresh;
        return ControlPlaneProcess::fetch(fresh, request);
    }

private Q_SLOTS:
    void init() { m_home = std::make_unique<TestHome>(); }
    void cleanup() { m_home.reset(); }
    void cleanupTestCase() { m_shared.reset(); }

    void helpDocumentsEveryOption()
    {
        const auto [code, out, err] = ControlPlaneProcess::runToEnd({"--help"});
        QCOMPARE(code, 0);
        for (const char *option : {"--data",
                                   "--listen",
                                   "--port",
                                   "--https-port",
                                   "--no-http",
                                   "--no-https",
                                   "--base-path",
                                   "--tls-cert",
                                   "--tls-key",
                                   "--openssl",
                                   "--certificate-out",
                                   "--upstream",
                                   "--provisioning-ms",
                                   "--retry-after-ms",
                                   "--max-wait-ms",
                                   "--fault",
                                   "--max-body-bytes",
                                   "--hide-debug-code",
                                   "--quiet",
                                   "/__devstack/state",
                                   "/__devstack/faults"})
            QVERIFY2(out.contains(option), option);
    }

    void refusedStartsSayWhyAndPrintNoUrl_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("port out of range") << QStringList{"--port", "70000"} << QByteArray("--port");
        QTest::newRow("unknown fault action") << QStringList{"--fault", "/nodes=explode"} << QByteArray("explode");
        QTest::newRow("fault path without slash")
            << QStringList{"--fault", "nodes=status:500"} << QByteArray("must start with");
        QTest::newRow("fault status out of range")
            << QStringList{"--fault", "/nodes=status:700"} << QByteArray("status");
        QTest::newRow("unknown upstream scheme") << QStringList{"--upstream", "ftp://h:1"} << QByteArray("upstream");
        QTest::newRow("nothing to serve") << QStringList{"--no-http", "--no-https"} << QByteArray("nothing to serve");
        QTest::newRow("missing data set")
            << QStringList{"--data", "/nonexistent/data.json"} << QByteArray("/nonexistent/data.json");
        QTest::newRow("key without certificate")
            << QStringList{"--tls-key", sourceFile(bundledKey)} << QByteArray("go together");
    }

    void refusedStartsSayWhyAndPrintNoUrl()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, reason);
        const auto [code, out, err] = ControlPlaneProcess::runToEnd(arguments);
        QVERIFY(code > 0);
        QVERIFY2(err.contains(reason), err.constData());
        QCOMPARE(out, QByteArray());
    }

    void aBrokenDataSetNamesTheEntry_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("not JSON") << QByteArray("{\"plans\": [") << QByteArray("not JSON");
        QTest::newRow("endpoint without id")
            << QByteArray("{\"endpoints\": [{\"region\": \"x\"}]}") << QByteArray("endpoints[0]");
        QTest::newRow("unknown plan") << QByteArray("{\"accounts\": [{\"id\": \"u\", \"identity\": \"a@b.cn\", "
                                                    "\"password\": \"p\", \"planId\": \"gold\"}]}")
                                      << QByteArray("gold");
        QTest::newRow("user field of the wrong type")
            << QByteArray("{\"accounts\": [{\"id\": \"u\", \"identity\": \"a@b.cn\", \"password\": \"p\", "
                          "\"planName\": \"x\", \"maxDevices\": \"2\"}]}")
            << QByteArray("maxDevices");
        QTest::newRow("unknown delivery")
            << QByteArray("{\"endpoints\": [{\"id\": \"e\", \"devstack\": {\"delivery\": \"fax\"}}]}")
            << QByteArray("delivery");
    }

    void aBrokenDataSetNamesTheEntry()
    {
        QFETCH(QByteArray, json);
        QFETCH(QByteArray, reason);
        const QString path = m_home->path() + "/data.json";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        const auto [code, out, err] = ControlPlaneProcess::runToEnd({"--data", path});
        QCOMPARE(code, 2);
        QVERIFY2(err.contains(reason), err.constData());
    }

    void aTakenPortIsReported()
    {
        ControlPlaneProcess first({"--no-https"});
        QVERIFY2(first.isRunning(), qPrintable(first.startError()));
        const auto [code, out, err] =
            ControlPlaneProcess::runToEnd({"--no-https", "--port", QString::number(first.http().port())});
        QCOMPARE(code, 1);
        QVERIFY(err.contains("HTTP port"));
    }

    void faultsSetAtStart_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QList<int>>("statuses"); // for consecutive requests; 0 is no HTTP answer
        QTest::newRow("status") << "/nodes=status:503" << QByteArray("GET") << "/nodes" << QList<int>{503, 503};
        QTest::newRow("other paths untouched")
            << "/nodes=status:503" << QByteArray("GET") << "/plans" << QList<int>{200};
        QTest::newRow("drop") << "/versions=drop" << QByteArray("GET") << "/versions" << QList<int>{0, 0};
        QTest::newRow("times") << "GET /plans=status:500,times:2" << QByteArray("GET") << "/plans"
                               << QList<int>{500, 500, 200};
        QTest::newRow("method filter") << "POST /nodes=status:500" << QByteArray("GET") << "/nodes" << QList<int>{200};
        QTest::newRow("wildcard segment")
            << "/devices/*=status:418" << QByteArray("DELETE") << "/devices/dev_1" << QList<int>{418};
        QTest::newRow("wildcard stays in its segment")
            << "/devices/*=status:418" << QByteArray("GET") << "/devices" << QList<int>{401};
        QTest::newRow("delay alone serves normally")
            << "/plans=delay:50" << QByteArray("GET") << "/plans" << QList<int>{200};
    }

    void faultsSetAtStart()
    {
        QFETCH(QString, rule);
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QList<int>, statuses);
        ControlPlaneProcess plane({"--no-https", "--fault", rule});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        for (const int expected : statuses) {
            const HttpResult r = plane.send(method, path);
            QCOMPARE(r.status, expected);
            if (expected == 0)
                QVERIFY(r.error != QNetworkReply::NoError);
            if (rule.contains(QStringLiteral("status:%1").arg(expected)))
                QCOMPARE(r.errorCode(), QString("DEVSTACK_FAULT"));
        }
        QCOMPARE(plane.get("/nodes").status == 200, !rule.startsWith("/nodes"));
    }

    void malformedAndGivenBodies()
    {
        ControlPlaneProcess plane(
            {"--no-https", "--fault", "/plans=malformed", "--fault", "POST /auth/login=status:502,body:oops, really"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const HttpResult malformed = plane.get("/plans");
        QCOMPARE(malformed.status, 200);
        QJsonParseError error{};
        QJsonDocument::fromJson(malformed.body, &error);
        QVERIFY(error.error != QJsonParseError::NoError);
        const HttpResult given =
            plane.post("/auth/login", {{"identity", "demo@tovren.dev"}, {"password", "tovren-demo"}});
        QCOMPARE(given.status, 502);
        QCOMPARE(given.body, QByteArray("oops, really"));
    }

    void faultsSwitchAtRunTime()
    {
        ControlPlaneProcess plane({"--no-https"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const HttpResult added = plane.admin("POST", "/faults", {{"path", "/nodes"}, {"status", 503}, {"times", 1}});
        QCOMPARE(added.status, 201);
        QCOMPARE(plane.admin("GET", "/faults").json()["faults"].toArray().size(), 1);
        QCOMPARE(plane.get("/nodes").status, 503);
        QCOMPARE(plane.get("/nodes").status, 200);
        QCOMPARE(plane.admin("GET", "/faults").json()["faults"].toArray().size(), 0);

        QCOMPARE(plane
                     .admin("POST", "/faults",
                            {{"faults", QJsonArray{QJsonObject{{"path", "/plans"}, {"drop", true}},
                                                   QJsonObject{{"path", "/versions"}, {"malformed", true}}}}})
                     .status,
                 201);
        QCOMPARE(plane.get("/plans").status, 0);
        QCOMPARE(plane.get("/versions").status, 200);
        QCOMPARE(plane.admin("DELETE", "/faults").status, 200);
        QCOMPARE(plane.get("/plans").status, 200);

        // The recorded requests say which ones a fault hit.
        const QJsonArray requests = plane.state()["requests"].toArray();
        QVERIFY(std::any_of(requests.begin(), requests.end(), [](const QJsonValue &r) {
            return r["path"] == "/api/plans" && r["status"] == 0 && r["fault"].toString().contains("dropped");
        }));

        for (const QJsonObject &bad :
             {QJsonObject{{"path", "nodes"}, {"status", 500}}, QJsonObject{{"path", "/nodes"}, {"status", 700}},
              QJsonObject{{"path", "/nodes"}, {"drop", true}, {"status", 500}}, QJsonObject{{"path", "/nodes"}},
              QJsonObject{{"path", "/nodes"}, {"drop", "yes"}}})
            QCOMPARE(plane.admin("POST", "/faults", bad).status, 400);
    }

    void aDelayedAnswerDoesNotHoldUpOthers()
    {
        ControlPlaneProcess plane({"--no-https", "--fault", "/nodes=delay:600"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        QNetworkAccessManager nam;
        QUrl url = plane.http();
        url.setPath(url.path() + "/nodes");
        QElapsedTimer clock;
        clock.start();
        QNetworkReply *slow = nam.get(QNetworkRequest(url));
        QCOMPARE(plane.get("/plans").status, 200);
        QVERIFY(QTest::qWaitFor([&] { return slow->isFinished(); }, 20000));
        QCOMPARE(slow->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(clock.elapsed() >= 600);
        delete slow;

        // A client that gives up during the delay leaves the server serving.
        QNetworkReply *abandoned = nam.get(QNetworkRequest(url));
        QTest::qWait(50);
        abandoned->abort();
        delete abandoned;
        QTest::qWait(700);
        QCOMPARE(plane.get("/plans").status, 200);
    }

    void badRequestsGet4xxAndServingGoesOn_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<int>("status");
        const QByteArray json("application/json");
        QTest::newRow("broken JSON") << QByteArray("POST") << "/auth/login" << QByteArray("{\"identity\": ") << json
                                     << 400;
        QTest::newRow("array body") << QByteArray("POST") << "/auth/login" << QByteArray("[1, 2]") << json << 400;
        QTest::newRow("empty body") << QByteArray("POST") << "/auth/login" << QByteArray() << json << 400;
        QTest::newRow("invalid UTF-8") << QByteArray("POST") << "/auth/login" << QByteArray("\xff\xfe{") << json << 400;
        QTest::newRow("number for text") << QByteArray("POST") << "/auth/login"
                                         << QByteArray("{\"identity\": 5, \"password\": \"x\"}") << json << 400;
        QTest::newRow("null for text") << QByteArray("POST") << "/auth/verification-code"
                                       << QByteArray("{\"identity\": null}") << json << 400;
        QTest::newRow("not declared as JSON")
            << QByteArray("POST") << "/auth/login" << QByteArray("{\"identity\": \"a@b.cn\", \"password\": \"x\"}")
            << QByteArray("text/plain") << 415;
        QTest::newRow("wrong method") << QByteArray("PUT") << "/nodes" << QByteArray() << QByteArray() << 405;
        QTest::newRow("unknown method") << QByteArray("BREW") << "/nodes" << QByteArray() << QByteArray() << 405;
        QTest::newRow("unknown path") << QByteArray("GET") << "/nope" << QByteArray() << QByteArray() << 404;
        QTest::newRow("trailing slash") << QByteArray("GET") << "/nodes/" << QByteArray() << QByteArray() << 404;
        QTest::newRow("empty device id") << QByteArray("DELETE") << "/devices/" << QByteArray() << QByteArray() << 404;
        QTest::newRow("huge body") << QByteArray("POST") << "/auth/login" << QByteArray(3 << 20, 'x') << json << 413;
    }

    void badRequestsGet4xxAndServingGoesOn()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(int, status);
        // One server takes every row: it must survive them all.
        if (!m_shared)
            m_shared = std::make_unique<ControlPlaneProcess>(QStringList{"--no-https"});
        ControlPlaneProcess *shared = m_shared.get();
        QVERIFY2(shared->isRunning(), qPrintable(shared->startError()));
        QList<QNetworkReply::RawHeaderPair> headers;
        if (!contentType.isEmpty())
            headers.append({"Content-Type", contentType});
        const HttpResult r = shared->send(method, path, body, headers);
        QCOMPARE(r.status, status);
        QVERIFY2(!r.errorText().isEmpty(), r.body.constData());
        if (status == 405)
            QCOMPARE(r.header("Allow"), QByteArray("GET"));
        QCOMPARE(shared->get("/nodes").status, 200);
        QCOMPARE(shared->request("GET", outsideBase(*shared, "/other/nodes")).status, 404);
    }

    void garbageOnTheWireLeavesTheServerServing()
    {
        ControlPlaneProcess plane;
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const QList<QPair<int, QByteArray>> sends{
            {plane.http().port(), "NOT HTTP AT ALL\r\n\r\n"},
            {plane.http().port(),
             "POST /api/auth/login HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n{\"half"},
            {plane.http().port(), QByteArray(64 * 1024, '\x01')},
            {plane.https().port(), "GET /api/nodes HTTP/1.1\r\nHost: x\r\n\r\n"},
        };
        for (const auto &[port, bytes] : sends) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
            QVERIFY(socket.waitForConnected(5000));
            socket.write(bytes);
            socket.waitForBytesWritten(5000);
            socket.waitForReadyRead(300);
            socket.abort();
        }
        QCOMPARE(plane.get("/nodes").status, 200);
        QCOMPARE(overTls(plane, true).status, 200);
    }

    void httpsServesTheSameApiWithItsOwnCertificate()
    {
        const QString written = m_home->path() + "/served.pem";
        ControlPlaneProcess plane({"--certificate-out", written});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const HttpResult untrusted = overTls(plane, false);
        QCOMPARE(untrusted.status, 0);
        QCOMPARE(untrusted.error, QNetworkReply::SslHandshakeFailedError);
        const HttpResult trusted = overTls(plane, true);
        QCOMPARE(trusted.status, 200);
        QCOMPARE(trusted.body, plane.get("/nodes").body);
        QCOMPARE(readAll(written), plane.admin("GET", "/certificate").body);
        // Made for this run, not the test certificate kept in the source tree.
        QVERIFY(QSslCertificate(readAll(written)) != QSslCertificate(readAll(sourceFile(bundledCertificate))));
    }

    void certificateSources_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("given files") << QStringList{"--tls-cert", sourceFile(bundledCertificate), "--tls-key",
                                                    sourceFile(bundledKey)};
        QTest::newRow("no openssl") << QStringList{"--openssl", "/nonexistent/openssl"};
    }

    void certificateSources()
    {
        QFETCH(QStringList, arguments);
        ControlPlaneProcess plane(arguments + QStringList{"--no-http"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        QVERIFY(!plane.http().isValid());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(sourceFile(bundledCertificate)));
        QUrl url = plane.https();
        url.setPath(url.path() + "/plans");
        QCOMPARE(plane.request("GET", url, {}, {}, tls).status, 200);
    }

    void aResetRestoresTheDataSet()
    {
        ControlPlaneProcess plane({"--no-https", "--fault", "/versions=status:500"});
        QVERIFY2(plane.isRunning(), qPrintable(plane.startError()));
        const QString token = plane.signIn("demo@tovren.dev");
        QCOMPARE(plane
                     .post("/devices",
                           {{"deviceName", "Mac"}, {"deviceType", "macos"}, {"os", "14"}, {"appVersion", "v9.7.3"}},
                           token)
                     .status,
                 201);
        QCOMPARE(plane.post("/tickets", {{"title", "t"}, {"body", "b"}}, token).status, 201);
        plane.admin("DELETE", "/faults");
        plane.admin("POST", "/settings", {{"provisioningDelayMs", 1}});

        QCOMPARE(plane.admin("POST", "/reset").status, 200);
        QCOMPARE(plane.get("/me", token).status, 401);
        const QString again = plane.signIn("demo@tovren.dev");
        QCOMPARE(plane.get("/devices", again).json()["devices"].toArray().size(), 1);
        QCOMPARE(plane.get("/tickets", again).json()["tickets"].toArray().size(), 1);
        QCOMPARE(plane.get("/versions").status, 500);
        QCOMPARE(plane.state()["settings"]["provisioningDelayMs"].toInt(), 1500);
        QCOMPARE(plane.admin("GET", "/unknown").status, 404);
    }
};

QTEST_GUILESS_MAIN(TestControlPlaneRobustness)
#include "test_api_controlplane_robustness.moc"
