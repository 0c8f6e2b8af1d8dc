#pragma once

#include "../runtime/RuntimeFixtures.h"

#include "api/ProtocolConfiguration.h"

#include <QHash>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>

// Pieces shared by the tunnel suites: the probe targets' stand-in servers, an upstream proxy, templates and
// process helpers.
namespace TunnelFixtures {

using RuntimeFixtures::eventually;
using RuntimeFixtures::failureOf;
using RuntimeFixtures::freePort;
using RuntimeFixtures::listening;
using RuntimeFixtures::OwnedProcess;
using RuntimeFixtures::processAlive;
using RuntimeFixtures::writePidFile;
using RuntimeFixtures::writeScript;

// The host names of the production probe targets.
const QStringList &probeHosts();

// An HTTP server on loopback that answers each request with a status chosen per host and path, then closes.
// With a certificate it speaks TLS. "/generate_204" answers 204, "/echo" 200 with the body "internet", anything
// else 200, unless a status was set.
class ProbeServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit ProbeServer(QObject *parent = nullptr);
    bool start(); // plain HTTP
    bool startSecure(const QSslCertificate &certificate, const QSslKey &key);

    // "host/path" (e.g. "chatgpt.com/") or "*/path".
    void setStatus(const QString &hostAndPath, int status);
    void clearStatuses() { m_statuses.clear(); }
    QStringList requests() const { return m_requests; } // "host/path", in arrival order

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void serve(QTcpSocket *socket);
    int statusFor(const QString &host, const QString &path) const;

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
    QByteArray singBoxTemplate() const;
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
