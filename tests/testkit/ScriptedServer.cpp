#include "ScriptedServer.h"

#include <QTcpSocket>

ScriptedServer::ScriptedServer(Mode mode) : m_mode(mode)
{
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { consume(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    m_server.listen(QHostAddress::LocalHost);
}

QUrl ScriptedServer::baseURL(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void ScriptedServer::setAnswer(int status, const QByteArray &body)
{
    m_status = status;
    m_body = body;
}

void ScriptedServer::consume(QTcpSocket *socket)
{
    const QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    ReceivedRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    const qsizetype length = request.header("Content-Length").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return; // the body is still on its way
    request.body = buffer.mid(headEnd + 4, length);
    socket->setProperty("buffer", buffer.mid(headEnd + 4 + length));
    m_received.append(request);
    if (m_mode == Mode::hangUp)
        socket->abort();
    if (m_mode != Mode::answer)
        return;
    socket->write("HTTP/1.1 " + QByteArray::number(m_status) + " Status\r\nContent-Type: application/json\r\n" +
                  m_headers + "Content-Length: " + QByteArray::number(m_body.size()) + "\r\nConnection: close\r\n\r\n" +
                  m_body);
    socket->disconnectFromHost();
}

quint16 refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort(); // closed when the probe goes
}
