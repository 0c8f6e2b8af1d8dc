#include "test_api_client_support.h"

#include <QFile>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

namespace {

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    default: return "Status";
    }
}

QString tlsFile(const QString &name)
{
    return qEnvironmentVariable("TOVREN_SOURCE_DIR") + QStringLiteral("/devstack/control-plane/tls/") + name;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool ReceivedRequest::hasHeader(const QByteArray &name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto &pair) { return pair.first.compare(name, Qt::CaseInsensitive) == 0; });
}

QByteArray ReceivedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QJsonObject ReceivedRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}

QString ScriptedServer::certificatePath()
{
    return tlsFile(QStringLiteral("devstack-cert.pem"));
}

ScriptedServer::ScriptedServer(Mode mode, Transport transport) : m_mode(mode), m_transport(transport)
{
    if (transport == Transport::https) {
        auto server = std::make_unique<QSslServer>();
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(readAll(certificatePath())));
        tls.setPrivateKey(QSslKey(readAll(tlsFile(QStringLiteral("devstack-key.pem"))), QSsl::Ec));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        server->setSslConfiguration(tls);
        m_server = std::move(server);
    } else {
        m_server = std::make_unique<QTcpServer>();
    }
    connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            accept(socket);
    });
    m_server->listen(QHostAddress::LocalHost);
}

ScriptedServer::~ScriptedServer()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_held)) {
        if (socket)
            socket->abort();
    }
}

QUrl ScriptedServer::baseURL(const QString &path) const
{
    QUrl url;
    url.setScheme(m_transport == Transport::https ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_server->serverPort());
    url.setPath(path);
    return url;
}

void ScriptedServer::setAnswer(int status, const QByteArray &body)
{
    m_status = status;
    m_body = body;
}

void ScriptedServer::setAnswer(int status, const QJsonObject &body)
{
    setAnswer(status, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void ScriptedServer::accept(QTcpSocket *socket)
{
    ++m_connections;
    socket->setParent(this);
    m_held.append(socket);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { consume(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void ScriptedServer::consume(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    ReceivedRequest request;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    qsizetype length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        if (request.headers.last().first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = request.headers.last().second.toLongLong();
    }
    if (buffer.size() < headEnd + 4 + length)
        return; // the body is still on its way
    request.body = buffer.mid(headEnd + 4, length);
    socket->setProperty("buffer", buffer.mid(headEnd + 4 + length));
    m_received.append(request);

    switch (m_mode) {
    case Mode::hang: return;
    case Mode::hangUp: socket->abort(); return;
    case Mode::answer: break;
    }
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(m_status) + ' ' + reasonPhrase(m_status) + "\r\n";
    answer += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    for (const auto &[name, value] : std::as_const(m_headers))
        answer += name + ": " + value + "\r\n";
    answer += "Connection: close\r\n\r\n" + m_body;
    socket->write(answer);
    socket->disconnectFromHost();
}

quint16 refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
