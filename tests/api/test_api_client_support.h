#pragma once

#include "AwaitTask.h"

#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>

class QTcpSocket;

// One request as it arrived on the wire.
struct ReceivedRequest
{
    QByteArray method;
    QByteArray target; // the request target exactly as sent: path and query, still percent-encoded
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    bool hasHeader(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const; // empty when absent
    QJsonObject json() const;
};

// A loopback HTTP (or HTTPS) server whose behaviour a test sets: answer with a status and a body, keep the
// connection open and never answer, or hang up as soon as a request has arrived. It records every request.
class ScriptedServer final : public QObject
{
    Q_OBJECT

public:
    enum class Mode { answer, hang, hangUp };
    enum class Transport { http, https };

    explicit ScriptedServer(Mode mode = Mode::answer, Transport transport = Transport::http);
    ~ScriptedServer() override;

    bool isListening() const { return m_server->isListening(); }
    QUrl baseURL(const QString &path = QStringLiteral("/api")) const;
    void setMode(Mode mode) { m_mode = mode; }
    void setAnswer(int status, const QByteArray &body);
    void setAnswer(int status, const QJsonObject &body);
    void addAnswerHeader(const QByteArray &name, const QByteArray &value) { m_headers.append({name, value}); }

    const QList<ReceivedRequest> &received() const { return m_received; }
    int connectionCount() const { return m_connections; }

    // The certificate the HTTPS server presents (the devstack's loopback certificate).
    static QString certificatePath();

private:
    void accept(QTcpSocket *socket);
    void consume(QTcpSocket *socket);

    std::unique_ptr<QTcpServer> m_server;
    Mode m_mode;
    Transport m_transport;
    int m_status = 200;
    QByteArray m_body = "{}";
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QList<ReceivedRequest> m_received;
    QList<QPointer<QTcpSocket>> m_held; // hung connections stay open until the server goes
    int m_connections = 0;
};

// A port on 127.0.0.1 where nothing listens: connecting is refused.
quint16 refusedPort();

