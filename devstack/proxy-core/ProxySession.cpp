#include "ProxySession.h"

#include "CoreLog.h"
#include "Relay.h"

#include <QElapsedTimer>
#include <QUrl>
#include <QtEndian>

#include <sys/socket.h>

namespace {

constexpr int handshakeTimeoutMs = 30'000;
constexpr int lingerMs = 2'000;
constexpr qsizetype maxHttpHead = qsizetype(64) * 1024;

// The hop-by-hop headers a proxy must not forward.
bool isHopByHop(const QByteArray &name)
{
    static const QList<QByteArray> names{"connection",          "proxy-connection",   "keep-alive",
                                         "proxy-authorization", "proxy-authenticate", "upgrade"};
    return names.contains(name.trimmed().toLower());
}

// "host:port" or "[v6]:port" of a CONNECT request.
bool parseAuthority(const QByteArray &authority, Destination *destination)
{
    const QUrl url(QStringLiteral("//") + QString::fromLatin1(authority));
    if (!url.isValid() || url.host().isEmpty() || url.port() < 1 || !url.path().isEmpty())
        return false;
    destination->host = url.host();
    destination->port = quint16(url.port());
    return true;
}

} // namespace

ProxySession::ProxySession(QTcpSocket *client, const InboundConfig &inbound, const CoreContext &context, quint64 id,
                           QObject *parent)
    : QObject(parent), m_client(client), m_inbound(inbound), m_context(context), m_id(id)
{
    m_client->setParent(this);
    m_client->setReadBufferSize(maxHttpHead * 16);
    m_peer = Destination{m_client->peerAddress().toString(), m_client->peerPort()}.toString();
    connect(m_client, &QTcpSocket::readyRead, this, &ProxySession::onReadyRead);
    connect(m_client, &QTcpSocket::disconnected, this, [this] {
        if (m_stage != Stage::Relaying)
            deleteLater(); // the dialer, a child, goes with it
    });
    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] { refuse(QStringLiteral("handshake timed out")); });
    m_handshakeTimer.start(handshakeTimeoutMs);
    CoreLog::info(QStringLiteral("[%1] %2: inbound connection from %3").arg(m_id).arg(label(), m_peer));
    if (m_client->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ProxySession::onReadyRead, Qt::QueuedConnection);
}

QString ProxySession::label() const
{
    return QStringLiteral("inbound/%1[%2]").arg(m_inbound.type, m_inbound.tag);
}

void ProxySession::onReadyRead()
{
    if (m_stage == Stage::Dialing)
        return; // early client bytes wait in the socket (bounded) until the upstream is open
    if (m_stage == Stage::Closing) {
        m_client->readAll();
        return;
    }
    m_buffer += m_client->readAll();
    bool progressed = true;
    while (progressed && !m_buffer.isEmpty()) {
        switch (m_stage) {
        case Stage::Detect: {
            const char first = m_buffer.at(0);
            const bool socks = m_inbound.type != QLatin1String("http");
            const bool http = m_inbound.type != QLatin1String("socks");
            if (first == '\x05' && socks) {
                m_stage = Stage::SocksGreeting;
            } else if (first == '\x04' && socks) {
                refuse(QStringLiteral("socks4 is not supported"));
                return;
            } else if (http && first >= 'A' && first <= 'Z') {
                m_stage = Stage::HttpHead;
            } else {
                refuse(QStringLiteral("unknown protocol (first byte 0x%1)").arg(quint8(first), 2, 16, QChar(u'0')));
                return;
            }
            break;
        }
        case Stage::SocksGreeting: progressed = readSocksGreeting(); break;
        case Stage::SocksRequest: progressed = readSocksRequest(); break;
        case Stage::HttpHead: progressed = readHttpHead(); break;
        default: return;
        }
    }
}

bool ProxySession::readSocksGreeting()
{
    if (m_buffer.size() < 2 || m_buffer.size() < 2 + quint8(m_buffer.at(1)))
        return false;
    const QByteArray methods = m_buffer.mid(2, quint8(m_buffer.at(1)));
    m_buffer.remove(0, 2 + methods.size());
    if (!methods.contains('\x00')) {
        m_client->write(QByteArray("\x05\xff", 2));
        CoreLog::error(QStringLiteral("[%1] %2: process connection from %3: socks5: no acceptable authentication "
                                      "method")
                           .arg(m_id)
                           .arg(label(), m_peer));
        closeAfterReply();
        return false;
    }
    m_client->write(QByteArray("\x05\x00", 2));
    m_stage = Stage::SocksRequest;
    return true;
}

bool ProxySession::readSocksRequest()
{
    if (m_buffer.size() < 5)
        return false;
    if (m_buffer.at(0) != '\x05' || m_buffer.at(2) != '\x00') {
        refuse(QStringLiteral("socks5: malformed request"));
        return false;
    }
    qsizetype length = 0;
    const char type = m_buffer.at(3);
    switch (type) {
    case '\x01': length = 4 + 4 + 2; break;
    case '\x04': length = 4 + 16 + 2; break;
    case '\x03': length = 4 + 1 + quint8(m_buffer.at(4)) + 2; break;
    default:
        m_client->write(QByteArray("\x05\x08\x00\x01\0\0\0\0\0\0", 10));
        refuse(QStringLiteral("socks5: unsupported address type %1").arg(int(type)));
        return false;
    }
    if (m_buffer.size() < length)
        return false;
    const QByteArray request = m_buffer.left(length);
    m_buffer.remove(0, length);
    if (request.at(1) != '\x01') {
        m_client->write(QByteArray("\x05\x07\x00\x01\0\0\0\0\0\0", 10));
        refuse(QStringLiteral("socks5: unsupported command %1").arg(int(request.at(1))));
        return false;
    }
    Destination destination;
    if (type == '\x01') {
        destination.host = QHostAddress(qFromBigEndian<quint32>(request.constData() + 4)).toString();
    } else if (type == '\x04') {
        destination.host = QHostAddress(reinterpret_cast<const quint8 *>(request.constData() + 4)).toString();
    } else {
        destination.host = QString::fromUtf8(request.mid(5, quint8(request.at(4))));
    }
    destination.port = qFromBigEndian<quint16>(request.constData() + length - 2);
    if (destination.host.isEmpty() || destination.port == 0) {
        refuse(QStringLiteral("socks5: empty destination"));
        return false;
    }
    open(destination, Kind::Socks);
    return false;
}

bool ProxySession::readHttpHead()
{
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > maxHttpHead)
            replyHttpError(431, "Request Header Fields Too Large", QStringLiteral("http: oversized request head"));
        return false;
    }
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        replyHttpError(400, "Bad Request", QStringLiteral("http: malformed request line"));
        return false;
    }
    const QByteArray &method = requestLine.at(0);
    const QByteArray &target = requestLine.at(1);
    Destination destination;
    if (method == "CONNECT") {
        if (!parseAuthority(target, &destination)) {
            replyHttpError(400, "Bad Request", QStringLiteral("http: malformed CONNECT target"));
            return false;
        }
        open(destination, Kind::HttpConnect);
        return false;
    }
    const QUrl url(QString::fromLatin1(target), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().toLower() != QLatin1String("http") || url.host().isEmpty()) {
        replyHttpError(400, "Bad Request",
                       QStringLiteral("http: not a proxy request: %1").arg(QString::fromLatin1(target)));
        return false;
    }
    destination.host = url.host();
    destination.port = quint16(url.port(80));
    // Forward in origin form; the upstream connection serves this one request.
    QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray head = method + ' ' + path + ' ' + requestLine.at(2) + "\r\n";
    bool hasHost = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            replyHttpError(400, "Bad Request", QStringLiteral("http: malformed header line"));
            return false;
        }
        const QByteArray name = line.left(colon);
        if (isHopByHop(name))
            continue;
        hasHost = hasHost || name.trimmed().toLower() == "host";
        head += line + "\r\n";
    }
    if (!hasHost)
        head += "Host: " + url.authority(QUrl::FullyEncoded).toLatin1() + "\r\n";
    m_forwardHead = head + "Connection: close\r\n\r\n";
    open(destination, Kind::HttpPlain);
    return false;
}

void ProxySession::open(const Destination &destination, Kind kind)
{
    m_kind = kind;
    m_stage = Stage::Dialing;
    CoreLog::info(QStringLiteral("[%1] %2: inbound connection to %3").arg(m_id).arg(label(), destination.toString()));
    const RouteDecision decision = m_context.router.route({m_inbound.tag, destination.host, destination.port});
    if (!decision.outbound) {
        onDialFailed(OutboundDialer::Failure::Blocked, QStringLiteral("rejected by %1").arg(decision.reason));
        return;
    }
    const HostMap::Target mapped = m_context.hosts.map(destination.host, destination.port);
    const Destination target{mapped.host, mapped.port};
    QString note;
    if (target.host != destination.host || target.port != destination.port)
        note = QStringLiteral(" (devstack host map: %1)").arg(target.toString());
    CoreLog::info(QStringLiteral("[%1] outbound/%2[%3]: outbound connection to %4%5")
                      .arg(m_id)
                      .arg(decision.outbound->type, decision.outbound->tag, destination.toString(), note));
    auto *dialer = new OutboundDialer(*decision.outbound, target, this);
    connect(dialer, &OutboundDialer::connected, this, [this, dialer](QTcpSocket *upstream, const QByteArray &early) {
        upstream->setParent(this);
        dialer->deleteLater();
        onDialed(upstream, early);
    });
    connect(dialer, &OutboundDialer::failed, this,
            [this, dialer](OutboundDialer::Failure failure, const QString &reason) {
                dialer->deleteLater();
                onDialFailed(failure, reason);
            });
    dialer->start();
}

void ProxySession::onDialed(QTcpSocket *upstream, const QByteArray &early)
{
    m_handshakeTimer.stop();
    if (m_client->state() != QAbstractSocket::ConnectedState) {
        upstream->abort();
        deleteLater();
        return;
    }
    switch (m_kind) {
    case Kind::Socks: m_client->write(QByteArray("\x05\x00\x00\x01\0\0\0\0\0\0", 10)); break;
    case Kind::HttpConnect: m_client->write("HTTP/1.1 200 Connection established\r\n\r\n"); break;
    case Kind::HttpPlain: upstream->write(m_forwardHead); break;
    }
    m_buffer += m_client->readAll();
    if (!m_buffer.isEmpty())
        upstream->write(m_buffer);
    if (!early.isEmpty())
        m_client->write(early);
    m_buffer.clear();
    m_stage = Stage::Relaying;
    m_client->disconnect(this);
    auto *relay = new Relay(m_client, upstream, this);
    connect(relay, &Relay::finished, this, [this, relay] {
        CoreLog::debug(QStringLiteral("[%1] %2: connection closed (%3 bytes up, %4 bytes down)")
                           .arg(m_id)
                           .arg(label())
                           .arg(relay->bytesUp())
                           .arg(relay->bytesDown()));
        deleteLater();
    });
}

void ProxySession::onDialFailed(OutboundDialer::Failure failure, const QString &reason)
{
    using Failure = OutboundDialer::Failure;
    if (m_kind == Kind::Socks) {
        const char code = failure == Failure::Blocked       ? '\x02'
                          : failure == Failure::Refused     ? '\x05'
                          : failure == Failure::Unreachable ? '\x04'
                          : failure == Failure::TimedOut    ? '\x06'
                                                            : '\x01';
        m_client->write(QByteArray("\x05", 1) + code + QByteArray("\x00\x01\0\0\0\0\0\0", 8));
        CoreLog::error(
            QStringLiteral("[%1] %2: process connection from %3: %4").arg(m_id).arg(label(), m_peer, reason));
        closeAfterReply();
        return;
    }
    if (failure == Failure::Blocked)
        replyHttpError(403, "Forbidden", reason);
    else if (failure == Failure::TimedOut)
        replyHttpError(504, "Gateway Timeout", reason);
    else
        replyHttpError(502, "Bad Gateway", reason);
}

void ProxySession::replyHttpError(int status, const QByteArray &text, const QString &reason)
{
    const QByteArray body = reason.toUtf8() + '\n';
    m_client->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + text +
                    "\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\n\r\n" + body);
    CoreLog::error(QStringLiteral("[%1] %2: process connection from %3: %4").arg(m_id).arg(label(), m_peer, reason));
    closeAfterReply();
}

void ProxySession::refuse(const QString &reason)
{
    CoreLog::error(QStringLiteral("[%1] %2: process connection from %3: %4").arg(m_id).arg(label(), m_peer, reason));
    closeAfterReply();
}

void ProxySession::closeAfterReply()
{
    m_handshakeTimer.stop();
    m_stage = Stage::Closing;
    m_buffer.clear();
    if (m_client->state() != QAbstractSocket::ConnectedState) {
        deleteLater();
        return;
    }
    // A lingering close: send the reply and FIN, then keep reading (and dropping) what the client still sends
    // until it closes, so that unread request bytes do not turn the close into a reset that loses the reply.
    const auto shutdownWhenSent = [this] {
        if (m_client->bytesToWrite() == 0)
            ::shutdown(int(m_client->socketDescriptor()), SHUT_WR);
    };
    connect(m_client, &QTcpSocket::bytesWritten, this, shutdownWhenSent);
    m_client->flush();
    shutdownWhenSent();
    QTimer::singleShot(lingerMs, this, [this] {
        m_client->abort();
        deleteLater();
    });
}
