#pragma once

#include "AwaitTask.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// One request as it arrived on the wire.
struct ReceivedRequest
{
    QByteArray method;
    QByteArray target;                    // the request target exactly as sent: path and query, still percent-encoded
    QMap<QByteArray, QByteArray> headers; // by lower-case name
    QByteArray body;

    bool hasHeader(const QByteArray &name) const { return headers.contains(name.toLower()); }
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// A loopback HTTP server whose behaviour a test sets: answer with a status and a body, keep the
// connection open and never answer, or hang up as soon as a request has arrived. It records every request.
class ScriptedServer final : public QObject
{
    Q_OBJECT

public:
    enum class Mode { answer, hang, hangUp };
    explicit ScriptedServer(Mode mode = Mode::answer); // hung connections stay open until the server goes

    bool isListening() const { return m_server.isListening(); }
    QUrl baseURL(const QString &path = QStringLiteral("/api")) const;
    void setAnswer(int status, const QByteArray &body);
    void addAnswerHeader(const QByteArray &line) { m_headers += line + "\r\n"; }

    const QList<ReceivedRequest> &received() const { return m_received; }
    int connectionCount() const { return m_connections; }

private:
    void consume(QTcpSocket *socket);

    QTcpServer m_server;
    Mode m_mode;
    int m_status = 200;
    QByteArray m_body = "{}";
    QByteArray m_headers;
    QList<ReceivedRequest> m_received;
    int m_connections = 0;
};

// A port on 127.0.0.1 where nothing listens: connecting is refused.
quint16 refusedPort();
