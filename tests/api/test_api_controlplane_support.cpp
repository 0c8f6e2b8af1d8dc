#include "test_api_controlplane_support.h"

#include "EndWithTest.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QCoro/QCoroTask>
#include <QFile>
#include <QNetworkRequest>
#include <QTest>

namespace {

QCoro::Task<HttpResult> exchange(QNetworkAccessManager &nam, QNetworkRequest request, QByteArray method,
                                 QByteArray body)
{
    request.setTransferTimeout(20000);
    QNetworkReply *reply = nam.sendCustomRequest(request, method, body);
    co_await reply;
    HttpResult result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    co_return result;
}

} // namespace

QByteArray HttpResult::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QJsonObject parseJson(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject withChanges(QJsonObject object, const QJsonObject &changes)
{
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it->isNull())
            object.remove(it.key());
        else
            object.insert(it.key(), *it);
    }
    return object;
}

QString ControlPlaneProcess::executable()
{
    return qEnvironmentVariable("TOVREN_BUILD_DIR") + QStringLiteral("/devstack/control-plane/tovren-control-plane");
}

std::tuple<int, QByteArray, QByteArray> ControlPlaneProcess::runToEnd(const QStringList &arguments)
{
    QProcess process;
    process.start(executable(), arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, {}};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

ControlPlaneProcess::ControlPlaneProcess(const QStringList &arguments)
{
    endWithTest(m_process);
    m_process.start(executable(), QStringList{QStringLiteral("--quiet")} + arguments);
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

QUrl ControlPlaneProcess::adminUrl(const QString &path) const
{
    QUrl url = m_http.isValid() ? m_http : m_https;
    url.setPath(QStringLiteral("/__devstack") + path);
    return url;
}

HttpResult ControlPlaneProcess::request(const QByteArray &method, const QUrl &url, const QByteArray &body,
                                        const QList<QNetworkReply::RawHeaderPair> &headers,
                                        const std::optional<QSslConfiguration> &tls)
{
    QNetworkRequest request(url);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    if (tls)
        request.setSslConfiguration(*tls);
    return QCoro::waitFor(exchange(m_nam, request, method, body));
}

HttpResult ControlPlaneProcess::fetch(QNetworkAccessManager &nam, const QNetworkRequest &request,
                                      const QByteArray &method, const QByteArray &body)
{
    return QCoro::waitFor(exchange(nam, request, method, body));
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
    QList<QNetworkReply::RawHeaderPair> all = headers;
    all.append(QNetworkReply::RawHeaderPair("Accept", "application/json"));
    all.append(QNetworkReply::RawHeaderPair("X-Tovren-Platform", "macos"));
    if (!token.isNull())
        all.append(QNetworkReply::RawHeaderPair("Authorization", "Bearer " + token.toUtf8()));
    return request(method, url, body, all);
}

HttpResult ControlPlaneProcess::post(const QString &path, const QJsonObject &body, const QString &token)
{
    return send("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact),
                {{"Content-Type", "application/json"}}, token);
}

HttpResult ControlPlaneProcess::admin(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    return request(method, adminUrl(path), body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(),
                   {{"Content-Type", "application/json"}});
}

const QJsonObject ControlPlaneProcess::state()
{
    return admin("GET", QStringLiteral("/state")).json();
}

QString ControlPlaneProcess::signIn(const QString &identity, const QString &password)
{
    const HttpResult r = post(QStringLiteral("/auth/login"),
                              {{QStringLiteral("identity"), identity}, {QStringLiteral("password"), password}});
    return r.status == 200 ? r.json().value(QStringLiteral("token")).toString() : QString();
}

DataSetFile::DataSetFile(const QJsonObject &dataSet)
{
    QFile file(path());
    if (file.open(QIODevice::WriteOnly))
        file.write(QJsonDocument(dataSet).toJson());
}
