#pragma once

#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include "api/ProtocolConfiguration.h"

#include <QHash>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

#include <functional>
#include <stdexcept>

// Pieces shared by the tunnel suites: the probe targets' stand-in servers, an upstream proxy, templates and
// process helpers.
namespace TunnelFixtures {

// Runs the event loop until the condition holds, for up to ten seconds.
bool eventually(const std::function<bool()> &condition);
int freePort(); // a loopback port that nothing listens on right now
bool listening(int port);
bool writeScript(const QString &file, const QByteArray &body); // an executable shell script

// A process the test owns, ended when the test lets go of it.
class OwnedProcess final : public QProcess
{
public:
    ~OwnedProcess() override;
};

// An HTTP server on loopback that answers each request with a status chosen per host and path, then closes.
// With a certificate it speaks TLS. "/generate_204" answers 204, "/echo" 200 with the body "internet", anything
// else 200, unless a status was set.
class ProbeServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit ProbeServer(QObject *parent = nullptr) : QTcpServer(parent) {}
    bool start() { return listen(QHostAddress::LocalHost, 0); } // plain HTTP
    bool startSecure(const QSslCertificate &certificate, const QSslKey &key)
    {
        m_certificate = certificate;
        m_key = key;
        return start();
    }

    // "host/path" (e.g. "chatgpt.com/") or "*/path".
    void setStatus(const QString &hostAndPath, int status) { m_statuses.insert(hostAndPath, status); }
    QStringList requests() const { return m_requests; } // "host/path", in arrival order

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void serve(QTcpSocket *socket);

    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QString, int> m_statuses;
    QStringList m_requests;
};

// The outside world of a connection: TLS servers for every probe host, a plain server for every other name,
// and a SOCKS upstream (microsocks) that the templates' proxy outbound leads to. While it lives, the stand-in
// core maps the names to the local servers (TOVREN_DEVSTACK_HOSTS) and curl trusts the test certificate
// (CURL_CA_BUNDLE).
class ProbeWorld final
{
public:
    ProbeWorld();
    ~ProbeWorld();
    Q_DISABLE_COPY_MOVE(ProbeWorld)

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    ProbeServer &secure() { return m_secure; }     // the probe hosts on port 443
    ProbeServer &internet() { return m_internet; } // every other name
    int upstreamPort() const { return m_upstreamPort; }

    // A delivered sing-box template whose proxy outbound is the SOCKS upstream.
    ProtocolConfiguration singBoxConfiguration() const;

private:
    QTemporaryDir m_dir;
    ProbeServer m_secure;
    ProbeServer m_internet;
    OwnedProcess m_upstream;
    int m_upstreamPort = 0;
    QString m_error;
    QByteArray m_savedHosts;
    QByteArray m_savedBundle;
};

// Runs curl through the local SOCKS entry; returns its standard output, empty on failure.
QByteArray curlThroughProxy(int port, const QString &url);

// A WireGuard configuration as the control plane delivers it.
QString wireGuardText();
ProtocolConfiguration wireGuardConfiguration();

} // namespace TunnelFixtures
