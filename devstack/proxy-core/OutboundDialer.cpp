#include "OutboundDialer.h"

#include <QtEndian>

namespace {

constexpr int dialTimeoutMs = 10'000;
constexpr qsizetype maxReplyHead = qsizetype(16) * 1024;

// SOCKS5 address: type, address and port in network order.
QByteArray socksAddress(const Destination &target)
{
    QByteArray bytes;
    const QHostAddress address(target.host);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        bytes.append('\x01');
        quint32 v4 = qToBigEndian(address.toIPv4Address());
        bytes.append(reinterpret_cast<const char *>(&v4), 4);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bytes.append('\x04');
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        bytes.append(reinterpret_cast<const char *>(v6.c), 16);
    } else {
        const QByteArray name = target.host.toUtf8();
        bytes.append('\x03');
        bytes.append(char(name.size()));
        bytes.append(name);
    }
    const quint16 port = qToBigEndian(target.port);
    bytes.append(reinterpret_cast<const char *>(&port), 2);
    return bytes;
}

} // namespace

OutboundDialer::OutboundDialer(const OutboundConfig &outbound, Destination target, QObject *parent)
    : QObject(parent), m_outbound(outbound), m_target(std::move(target))
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this,
            [this] { fail(Failure::TimedOut, QStringLiteral("dial tcp %1: i/o timeout").arg(m_target.toString())); });
}

void OutboundDialer::start()
{
    const QString &type = m_outbound.type;
    if (type == QLatin1String("block") || type == QLatin1String("dns")) {
        QTimer::singleShot(0, this, [this] { fail(Failure::Blocked, QStringLiteral("blocked")); });
        return;
    }
    if ((type == QLatin1String("socks") && m_target.host.toUtf8().size() > 255)) {
        QTimer::singleShot(0, this, [this] { fail(Failure::Unreachable, QStringLiteral("host name too long")); });
        return;
    }
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &OutboundDialer::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &OutboundDialer::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &OutboundDialer::onSocketError);
    m_stage = Stage::Connecting;
    m_timeout.start(dialTimeoutMs);
    if (type == QLatin1String("direct")) {
        const QString host = m_outbound.overrideAddress.isEmpty() ? m_target.host : m_outbound.overrideAddress;
        const quint16 port = m_outbound.overridePort ? m_outbound.overridePort : m_target.port;
        if (!m_outbound.bindAddress.isNull())
            m_socket->bind(m_outbound.bindAddress);
        m_socket->connectToHost(host, port);
    } else {
        m_socket->connectToHost(m_outbound.server, m_outbound.serverPort);
    }
}

void OutboundDialer::onConnected()
{
    if (m_outbound.type == QLatin1String("direct")) {
        succeed({});
    } else if (m_outbound.type == QLatin1String("socks")) {
        m_stage = Stage::SocksMethod;
        m_socket->write(m_outbound.username.isEmpty() ? QByteArray("\x05\x01\x00", 3)
                                                      : QByteArray("\x05\x02\x00\x02", 4));
    } else {
        m_stage = Stage::HttpReply;
        const QString authority = m_target.toString();
        QByteArray request = "CONNECT " + authority.toUtf8() + " HTTP/1.1\r\nHost: " + authority.toUtf8() + "\r\n";
        if (!m_outbound.username.isEmpty()) {
            request += "Proxy-Authorization: Basic " +
                       (m_outbound.username + u':' + m_outbound.password).toUtf8().toBase64() + "\r\n";
        }
        m_socket->write(request + "\r\n");
    }
}

void OutboundDialer::onReadyRead()
{
    m_buffer += m_socket->readAll();
    switch (m_stage) {
    case Stage::SocksMethod: {
        if (m_buffer.size() < 2)
            return;
        const char method = m_buffer.at(1);
        m_buffer.remove(0, 2);
        if (method == '\x00') {
            sendSocksRequest();
        } else if (method == '\x02' && !m_outbound.username.isEmpty()) {
            const QByteArray user = m_outbound.username.toUtf8().left(255);
            const QByteArray password = m_outbound.password.toUtf8().left(255);
            m_stage = Stage::SocksAuth;
            m_socket->write(QByteArray(1, '\x01') + char(user.size()) + user + char(password.size()) + password);
        } else {
            fail(Failure::Upstream, QStringLiteral("socks5: the upstream server accepted none of our methods"));
        }
        return;
    }
    case Stage::SocksAuth:
        if (m_buffer.size() < 2)
            return;
        if (m_buffer.at(1) != '\x00') {
            fail(Failure::Upstream, QStringLiteral("socks5: the upstream server refused the user name and password"));
            return;
        }
        m_buffer.remove(0, 2);
        sendSocksRequest();
        return;
    case Stage::SocksReply: readSocksReply(); return;
    case Stage::HttpReply: readHttpReply(); return;
    default: return;
    }
}

void OutboundDialer::sendSocksRequest()
{
    m_stage = Stage::SocksReply;
    m_socket->write(QByteArray("\x05\x01\x00", 3) + socksAddress(m_target));
    if (!m_buffer.isEmpty())
        readSocksReply();
}

void OutboundDialer::readSocksReply()
{
    if (m_buffer.size() < 5)
        return;
    qsizetype length = 0;
    switch (m_buffer.at(3)) {
    case '\x01': length = 4 + 4 + 2; break;
    case '\x04': length = 4 + 16 + 2; break;
    case '\x03': length = 4 + 1 + quint8(m_buffer.at(4)) + 2; break;
    default: fail(Failure::Upstream, QStringLiteral("socks5: malformed reply from the upstream server")); return;
    }
    if (m_buffer.size() < length)
        return;
    const quint8 reply = quint8(m_buffer.at(1));
    if (reply != 0) {
        const Failure failure = reply == 2                 ? Failure::Blocked
                                : reply == 5               ? Failure::Refused
                                : reply == 6               ? Failure::TimedOut
                                : reply == 3 || reply == 4 ? Failure::Unreachable
                                                           : Failure::Upstream;
        fail(failure,
             QStringLiteral("socks5: the upstream server answered %1 for %2").arg(reply).arg(m_target.toString()));
        return;
    }
    succeed(m_buffer.mid(length));
}

void OutboundDialer::readHttpReply()
{
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > maxReplyHead)
            fail(Failure::Upstream, QStringLiteral("http: oversized reply from the upstream proxy"));
        return;
    }
    const QByteArray statusLine = m_buffer.left(m_buffer.indexOf("\r\n"));
    const QList<QByteArray> parts = statusLine.split(' ');
    bool ok = false;
    const int status = parts.value(1).toInt(&ok);
    if (!statusLine.startsWith("HTTP/1.") || !ok) {
        fail(Failure::Upstream, QStringLiteral("http: malformed reply from the upstream proxy"));
        return;
    }
    if (status < 200 || status > 299) {
        fail(status == 403 ? Failure::Blocked : Failure::Upstream,
             QStringLiteral("http: the upstream proxy answered %1").arg(QString::fromLatin1(statusLine)));
        return;
    }
    succeed(m_buffer.mid(end + 4));
}

void OutboundDialer::onSocketError(QAbstractSocket::SocketError error)
{
    const QString peer = m_stage == Stage::Connecting && m_outbound.type == QLatin1String("direct")
                             ? m_target.toString()
                             : QStringLiteral("%1:%2").arg(m_outbound.server).arg(m_outbound.serverPort);
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(Failure::Refused, QStringLiteral("dial tcp %1: connect: connection refused").arg(peer));
        return;
    case QAbstractSocket::HostNotFoundError:
        fail(Failure::Unreachable, QStringLiteral("lookup %1: no such host").arg(peer));
        return;
    case QAbstractSocket::RemoteHostClosedError:
        fail(Failure::Upstream, QStringLiteral("%1 closed the connection during the handshake").arg(peer));
        return;
    default: fail(Failure::Unreachable, QStringLiteral("dial tcp %1: %2").arg(peer, m_socket->errorString())); return;
    }
}

void OutboundDialer::succeed(const QByteArray &early)
{
    if (m_stage == Stage::Done)
        return;
    m_stage = Stage::Done;
    m_timeout.stop();
    m_socket->disconnect(this);
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    Q_EMIT connected(socket, early);
}

void OutboundDialer::fail(Failure failure, const QString &reason)
{
    if (m_stage == Stage::Done)
        return;
    m_stage = Stage::Done;
    m_timeout.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    Q_EMIT failed(failure, reason);
}
