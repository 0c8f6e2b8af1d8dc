#pragma once

#include "CoreConfig.h"
#include "HostMap.h"
#include "ProxySession.h"
#include "Router.h"

#include <QList>
#include <QObject>
#include <QTcpServer>
#include <memory>

// The running core: one listener per inbound, each accepted connection handled by its own ProxySession on the
// one event loop.
class CoreService final : public QObject
{
    Q_OBJECT

public:
    CoreService(CoreConfig config, HostMap hosts, QObject *parent = nullptr);
    ~CoreService() override;
    Q_DISABLE_COPY_MOVE(CoreService)

    // Listens on every inbound; on failure closes what it opened and returns the reason
    // ("start inbound/mixed[tag]: listen tcp 127.0.0.1:19090: bind: address already in use").
    QString start();
    void stop();

private:
    void accept(QTcpServer *server, const InboundConfig &inbound);

    CoreConfig m_config;
    HostMap m_hosts;
    Router m_router;
    CoreContext m_context;
    QList<QTcpServer *> m_servers;
    quint64 m_nextId;
};
