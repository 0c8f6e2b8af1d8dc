#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QUrl>

// One answer as a test sees it.
struct HttpResult
{
    int status = 0; // 0 when no HTTP answer arrived
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;

    const QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString errorText() const { return json().value(QStringLiteral("error")).toString(); }
    QString errorCode() const { return json().value(QStringLiteral("errorCode")).toString(); }
    QByteArray header(const QByteArray &name) const;
};

// The real stand-in control plane, started as a process on free loopback ports for one test, and a plain
// QNetworkAccessManager to talk to it.
class ControlPlaneProcess final
{
public:
    explicit ControlPlaneProcess(const QStringList &arguments = {});
    ~ControlPlaneProcess();
    Q_DISABLE_COPY_MOVE(ControlPlaneProcess)

    static QString executable();
    // Runs the executable to its end (for --help and refused starts): exit code, stdout, stderr.
    static std::tuple<int, QByteArray, QByteArray> runToEnd(const QStringList &arguments);

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString startError() const { return m_startError; }
    QUrl http() const { return m_http; }
    QUrl https() const { return m_https; }
    QUrl adminUrl(const QString &path) const;

    HttpResult send(const QByteArray &method, const QString &path, const QByteArray &body = {},
                    const QList<QNetworkReply::RawHeaderPair> &headers = {}, const QString &token = {});
    HttpResult get(const QString &path, const QString &token = {}) { return send("GET", path, {}, {}, token); }
    HttpResult post(const QString &path, const QJsonObject &body, const QString &token = {});
    HttpResult request(const QByteArray &method, const QUrl &url, const QByteArray &body = {},
                       const QList<QNetworkReply::RawHeaderPair> &headers = {},
                       const std::optional<QSslConfiguration> &tls = std::nullopt);
    // With a manager of its own: connections (and their TLS state) are not shared with other requests.
    static HttpResult fetch(QNetworkAccessManager &nam, const QNetworkRequest &request,
                            const QByteArray &method = "GET", const QByteArray &body = {});
    HttpResult admin(const QByteArray &method, const QString &path, const QJsonObject &body = {});

    const QJsonObject state();
    // Signs in and returns the token, or an empty text when the sign-in is refused.
    QString signIn(const QString &identity, const QString &password = QStringLiteral("tovren-demo"));
    QByteArray standardError() { return m_process.readAllStandardError(); }

private:
    QProcess m_process;
    QNetworkAccessManager m_nam;
    QUrl m_http;
    QUrl m_https;
    QString m_startError;
};

// A data set written to a temporary file, for tests that need a catalogue of their own.
class DataSetFile final
{
public:
    explicit DataSetFile(const QJsonObject &dataSet);
    QString path() const { return m_dir.filePath(QStringLiteral("data.json")); }

private:
    QTemporaryDir m_dir;
};

QJsonObject parseJson(const QByteArray &text);
// `object` with the members of `changes` put in, a null change removing the member.
QJsonObject withChanges(QJsonObject object, const QJsonObject &changes);
