#pragma once

#include "CoreConfig.h"
#include "Destination.h"
#include "HostMap.h"
#include "OutboundDialer.h"
#include "Router.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// What every connection of the core shares: the routing and the devstack host map.
struct CoreContext
{
    const Router &router;
    const HostMap &hosts;
};

// One client connection of an inbound: reads its request (SOCKS5 CONNECT, HTTP CONNECT, or an HTTP request
// with an absolute URI), routes it, opens the outbound and then relays. Bytes that break the protocol close
// this connection only. The session deletes itself when both sides are closed.
class ProxySession final : public QObject
{
    Q_OBJECT

public:
    ProxySession(QTcpSocket *client, const InboundConfig &inbound, const CoreContext &context, quint64 id,
                 QObject *parent);
    Q_DISABLE_COPY_MOVE(ProxySession)

private:
    enum class Stage { Detect, SocksGreeting, SocksRequest, HttpHead, Dialing, Relaying, Closing };
    enum class Kind { Socks, HttpConnect, HttpPlain };

    void onReadyRead();
    bool readSocksGreeting();
    bool readSocksRequest();
    bool readHttpHead();
    void open(const Destination &destination, Kind kind);
    void onDialed(QTcpSocket *upstream, const QByteArray &early);
    void onDialFailed(OutboundDialer::Failure failure, const QString &reason);
    void replyHttpError(int status, const QByteArray &text, const QString &reason);
    // Ends the connection: a malformed request is logged and the client closed at once.
    void refuse(const QString &reason);
    void closeAfterReply();
    QString label() const;

    QTcpSocket *m_client;
    const InboundConfig &m_inbound;
    const CoreContext &m_context;
    quint64 m_id;
    QString m_peer;
    Stage m_stage = Stage::Detect;
    Kind m_kind = Kind::Socks;
    QByteArray m_buffer;
    QByteArray m_forwardHead; // the rewritten request of an HTTP request with an absolute URI
    QTimer m_handshakeTimer;
};
