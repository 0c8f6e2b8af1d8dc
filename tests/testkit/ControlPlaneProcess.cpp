#include "ControlPlaneProcess.h"

#include "EndWithTest.h"

#include <QFile>
#include <QNetworkRequest>
#include <QTest>

ControlPlaneProcess::ControlPlaneProcess(const QStringList &arguments)
{
    endWithTest(m_process);
    m_process.start(qEnvironmentVariable("TOVREN_BUILD_DIR") +
                        QStringLiteral("/devstack/control-plane/tovren-control-plane"),
                    QStringList{QStringLiteral("--quiet")} + arguments);
    const bool ready =
        QTest::qWaitFor([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 30000);
    if (!ready || !m_process.canReadLine()) {
        m_startError = QStringLiteral("the control plane did not start: ") +
                       QString::fromLocal8Bit(m_process.readAllStandardError());
        return;
    }
    for (const QString &url : QString::fromUtf8(m_process.readLine()).trimmed().split(QLatin1Char(' '))) {
        if (url.startsWith(QLatin1String("https:")))
            m_https = QUrl(url);
        else
            m_http = QUrl(url);
    }
}

ControlPlaneProcess::~ControlPlaneProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

HttpResult ControlPlaneProcess::fetch(QNetworkAccessManager &nam, const QNetworkRequest &request,
                                      const QByteArray &method, const QByteArray &body)
{
    QNetworkRequest timed = request;
    timed.setTransferTimeout(20000);
    std::unique_ptr<QNetworkReply> reply(nam.sendCustomRequest(timed, method, body));
    static_cast<void>(QTest::qWaitFor([&] { return reply->isFinished(); }, 30000));
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

HttpResult ControlPlaneProcess::send(const QByteArray &method, const QString &path, const QByteArray &body,
                                     const QList<QNetworkReply::RawHeaderPair> &headers, const QString &token)
{
    // The path is appended as it stands, already percent-encoded, like the client does.
    QUrl url = m_http;
    const QString full = m_http.path(QUrl::FullyEncoded) + path;
    const qsizetype q = full.indexOf(QLatin1Char('?'));
    url.setPath(q < 0 ? full : full.left(q), QUrl::TolerantMode);
    if (q >= 0)
        url.setQuery(full.mid(q + 1), QUrl::TolerantMode);
    QNetworkRequest request(url);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("X-Tovren-Platform", "macos");
    if (!token.isNull())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return fetch(m_nam, request, method, body);
}

HttpResult ControlPlaneProcess::admin(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    QUrl url = m_http.isValid() ? m_http : m_https;
    url.setPath(QStringLiteral("/__devstack") + path);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    return fetch(m_nam, request, method, body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson());
}

const QJsonObject ControlPlaneProcess::state()
{
    return admin("GET", QStringLiteral("/state")).json();
}

QString ControlPlaneProcess::signIn(const QString &identity, const QString &password)
{
    const QJsonObject body{{QStringLiteral("identity"), identity}, {QStringLiteral("password"), password}};
    const HttpResult r = send("POST", QStringLiteral("/auth/login"), QJsonDocument(body).toJson(),
                              {{"Content-Type", "application/json"}});
    return r.status == 200 ? r.json().value(QStringLiteral("token")).toString() : QString();
}

DataSetFile::DataSetFile(const QJsonObject &dataSet)
{
    QFile file(path());
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(dataSet).toJson());
}
