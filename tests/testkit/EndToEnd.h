#pragma once

#include "SimulatedMac.h"

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QProcess>
#include <QStringList>
#include <QTimer>
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
// Guards of clients whose home is `home`.
QList<qint64> guardsOf(const QString &home);

// A user's own company proxy on Wi-Fi: web and secure web at 10.0.0.2:8080, bypassing "*.corp.example" and
// "intranet". Returns the service as set.
SimulatedMac::NetworkService setCompanyProxy(SimulatedMac &mac);
// The proxies in effect and the bypass lists of the two are the same.
bool sameProxySettings(const SimulatedMac::NetworkService &a, const SimulatedMac::NetworkService &b);

// Reaps the given processes once they end, for a process that made itself their subreaper
// (PR_SET_CHILD_SUBREAPER), as launchd does on a Mac: the cores and guards of a killed client land there. Unreaped,
// an ended core would stay listed by `ps` and look alive to the client's clean-up.
class OrphanReaper final : public QObject
{
public:
    OrphanReaper();
    void adopt(const QList<qint64> &pids) { m_pids += pids; }

private:
    QTimer m_timer;
    QList<qint64> m_pids;
};

// One run of the real client executable (TOVREN_BUILD_DIR) with the environment of this process; whatever it
// printed to its activity log. `internetProbe` is the URL of the direct probe.
class Client final
{
public:
    Client(const QStringList &arguments, const QString &internetProbe);
    ~Client();
    Q_DISABLE_COPY_MOVE(Client)

    QProcess &process() { return m_process; }
    const QString &log() const { return m_log; }

    // True once the log holds the text; false when the client ended, the log showed `failure` or the time ran
    // out first.
    bool waitForLog(const QString &text, int timeoutMs, const QString &failure = QStringLiteral("连接失败：已尝试"));
    bool waitForEnd(int timeoutMs);

private:
    QProcess m_process;
    QString m_log;
};

} // namespace EndToEnd
