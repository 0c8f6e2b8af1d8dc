#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

// One answer as a test sees it.
struct HttpResult
{
    int status = 0; // 0 when no HTTP answer arrived
    QByteArray body;

    const QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// The real stand-in control plane, started as a process on free loopback ports for one test, and a plain
// QNetworkAccessManager to talk to it.
class ControlPlaneProcess final
{
public:
    explicit ControlPlaneProcess(const QStringList &arguments = {});
    ~ControlPlaneProcess();
    Q_DISABLE_COPY_MOVE(ControlPlaneProcess)

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString startError() const { return m_startError; }
    QUrl http() const { return m_http; }
    QUrl https() const { return m_https; }

    HttpResult send(const QByteArray &method, const QString &path, const QByteArray &body = {},
                    const QList<QNetworkReply::RawHeaderPair> &headers = {}, const QString &token = {});
    HttpResult get(const QString &path, const QString &token = {}) { return send("GET", path, {}, {}, token); }
    // With a manager of its own: connections (and their TLS state) are not shared with other requests.
    static HttpResult fetch(QNetworkAccessManager &nam, const QNetworkRequest &request,
                            const QByteArray &method = "GET", const QByteArray &body = {});
    HttpResult admin(const QByteArray &method, const QString &path, const QJsonObject &body = {});

    const QJsonObject state();
    // Signs in and returns the token, or an empty text when the sign-in is refused.
    QString signIn(const QString &identity, const QString &password = QStringLiteral("tovren-demo"));

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
