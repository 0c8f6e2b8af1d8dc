#include "Relay.h"

namespace {

constexpr qint64 chunkSize = qint64(64) * 1024;
constexpr qint64 highWater = qint64(1024) * 1024;

} // namespace

Relay::Relay(QTcpSocket *client, QTcpSocket *upstream, QObject *parent)
    : QObject(parent), m_client(client), m_upstream(upstream)
{
    for (QTcpSocket *socket : {m_client, m_upstream}) {
        socket->setParent(this);
        // Bounded read buffers make the kernel push back on a sender we are not reading from.
        socket->setReadBufferSize(highWater);
    }
    connect(m_client, &QTcpSocket::readyRead, this, [this] { pump(m_client, m_upstream, &m_up, false); });
    connect(m_upstream, &QTcpSocket::readyRead, this, [this] { pump(m_upstream, m_client, &m_down, false); });
    connect(m_upstream, &QTcpSocket::bytesWritten, this, [this] { pump(m_client, m_upstream, &m_up, false); });
    connect(m_client, &QTcpSocket::bytesWritten, this, [this] { pump(m_upstream, m_client, &m_down, false); });
    connect(m_client, &QTcpSocket::disconnected, this, [this] { sideEnded(m_client, m_upstream, &m_up); });
    connect(m_upstream, &QTcpSocket::disconnected, this, [this] { sideEnded(m_upstream, m_client, &m_down); });
    // Either side may have closed (or sent data) before the relay existed.
    QMetaObject::invokeMethod(
        this,
        [this] {
            pump(m_client, m_upstream, &m_up, false);
            pump(m_upstream, m_client, &m_down, false);
            if (m_client->state() == QAbstractSocket::UnconnectedState)
                sideEnded(m_client, m_upstream, &m_up);
            if (m_upstream->state() == QAbstractSocket::UnconnectedState)
                sideEnded(m_upstream, m_client, &m_down);
        },
        Qt::QueuedConnection);
}

void Relay::pump(QTcpSocket *from, QTcpSocket *to, quint64 *counter, bool drain)
{
    if (to->state() != QAbstractSocket::ConnectedState)
        return;
    while (from->bytesAvailable() > 0 && (drain || to->bytesToWrite() < highWater)) {
        const QByteArray chunk = from->read(chunkSize);
        if (chunk.isEmpty())
            break;
        *counter += quint64(chunk.size());
        to->write(chunk);
    }
}

void Relay::sideEnded(QTcpSocket *from, QTcpSocket *to, quint64 *counter)
{
    // Whatever the ended side still has buffered goes out before the other side is closed.
    pump(from, to, counter, true);
    if (to->state() != QAbstractSocket::UnconnectedState)
        to->disconnectFromHost();
    checkFinished();
}

void Relay::checkFinished()
{
    if (m_finished || m_client->state() != QAbstractSocket::UnconnectedState ||
        m_upstream->state() != QAbstractSocket::UnconnectedState)
        return;
    m_finished = true;
    Q_EMIT finished();
}
