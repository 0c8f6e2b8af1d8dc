#pragma once

#include "SimulatedMac.h"

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QStringList>
#include <QUrl>

// What a user of the simulated Mac sees from outside the client: the system proxy a browser would use, the
// proxy cores that run, and pages fetched the way a browser fetches them.
namespace EndToEnd {

// The primary service's proxies as `scutil --proxy` prints them (what browsers on a Mac follow).
struct SystemProxy
{
    bool httpEnabled = false;
    QString httpHost;
    int httpPort = 0;
    bool socksEnabled = false;
    QString socksHost;
    int socksPort = 0;

    QNetworkProxy http() const { return QNetworkProxy(QNetworkProxy::HttpProxy, httpHost, quint16(httpPort)); }
    QNetworkProxy socks() const { return QNetworkProxy(QNetworkProxy::Socks5Proxy, socksHost, quint16(socksPort)); }
};
SystemProxy systemProxy(const SimulatedMac &mac);

// Every proxy setting of every service that is on and points at the client's local entries, as
// "<service> <kind> <port>"; empty when the client left nothing behind.
QStringList clientProxySettings(const SimulatedMac &mac);

// The body of the page fetched through the proxy; empty when the fetch failed.
QByteArray fetchThrough(const QNetworkProxy &proxy, const QUrl &url);

// A page of the local internet: every name leads there through the core, and "/echo" answers "internet".
inline const QUrl page{QStringLiteral("http://example.com/echo")};
inline const QByteArray pageBody{"internet"};

// Proxy cores running with a configuration below `folder`, the home of the client that started them.
QList<qint64> coresBelow(const QString &folder);

} // namespace EndToEnd
