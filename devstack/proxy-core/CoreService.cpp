#include "CoreService.h"

#include "CoreLog.h"

#include <QRandomGenerator>

namespace {

QString bindError(QAbstractSocket::SocketError error, const QString &fallback)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError: return QStringLiteral("bind: address already in use");
    case QAbstractSocket::SocketAccessError: return QStringLiteral("bind: permission denied");
    case QAbstractSocket::SocketAddressNotAvailableError:
        return QStringLiteral("bind: cannot assign requested address");
    default: return fallback;
    }
}

} // namespace

CoreService::CoreService(CoreConfig config, HostMap hosts, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_hosts(std::move(hosts)),
      m_router(m_config), m_context{m_router, m_hosts}, m_nextId(QRandomGenerator::global()->bounded(1'000'000'000u))
{
}

CoreService::~CoreService()
{
    stop();
}

QString CoreService::start()
{
    for (const InboundConfig &inbound : std::as_const(m_config.inbounds)) {
        auto *server = new QTcpServer(this);
        server->setListenBacklogSize(1024);
        const QString label = QStringLiteral("inbound/%1[%2]").arg(inbound.type, inbound.tag);
        const QString address = Destination{inbound.listen.toString(), inbound.port}.toString();
        if (!server->listen(inbound.listen, inbound.port)) {
            const QString reason = QStringLiteral("start %1: listen tcp %2: %3")
                                       .arg(label, address, bindError(server->serverError(), server->errorString()));
            delete server;
            stop();
            return reason;
        }
        if (inbound.setSystemProxy)
            CoreLog::warn(label + QStringLiteral(": set_system_proxy is ignored by the devstack core"));
        connect(server, &QTcpServer::newConnection, this, [this, server, &inbound] { accept(server, inbound); });
        m_servers << server;
        CoreLog::info(QStringLiteral("%1: tcp server started at %2").arg(label, address));
    }
    return {};
}

void CoreService::stop()
{
    for (QTcpServer *server : std::as_const(m_servers)) {
        server->close();
        delete server;
    }
    m_servers.clear();
    // Sessions are children of this object; closing them drops their connections.
    for (ProxySession *session : findChildren<ProxySession *>(Qt::FindDirectChildrenOnly))
        delete session;
}

void CoreService::accept(QTcpServer *server, const InboundConfig &inbound)
{
    while (QTcpSocket *socket = server->nextPendingConnection())
        new ProxySession(socket, inbound, m_context, ++m_nextId, this);
}
