#pragma once

#include "CoreConfig.h"
#include "Destination.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// Opens the outbound side of one connection: directly, or through an upstream SOCKS5 or HTTP proxy (SOCKS5
// CONNECT with optional user name and password, HTTP CONNECT with optional basic authentication). Reports
// connected() with the open socket (the receiver takes it over) and any bytes the far side already sent, or
// failed() with the kind of failure, which the inbound protocol turns into its own reply.
class OutboundDialer final : public QObject
{
    Q_OBJECT

public:
    enum class Failure { Blocked, Refused, Unreachable, TimedOut, Upstream };
    Q_ENUM(Failure)

    OutboundDialer(const OutboundConfig &outbound, Destination target, QObject *parent);
    Q_DISABLE_COPY_MOVE(OutboundDialer)

    void start();

Q_SIGNALS:
    void connected(QTcpSocket *socket, const QByteArray &early);
    void failed(OutboundDialer::Failure failure, const QString &reason);

private:
    enum class Stage { Idle, Connecting, SocksMethod, SocksAuth, SocksReply, HttpReply, Done };

    void onConnected();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void sendSocksRequest();
    void readSocksReply();
    void readHttpReply();
    void succeed(const QByteArray &early);
    void fail(Failure failure, const QString &reason);

    const OutboundConfig &m_outbound;
    Destination m_target;
    QTcpSocket *m_socket = nullptr;
    QByteArray m_buffer;
    QTimer m_timeout;
    Stage m_stage = Stage::Idle;
};
