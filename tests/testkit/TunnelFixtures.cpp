#include "TunnelFixtures.h"
#include "EndWithTest.h"

#include "runtime/CommandRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>

namespace TunnelFixtures {

namespace {
// The host names of the production probe targets.
const QStringList probeHosts{"www.google.com", "www.gstatic.com",  "x.com", "chatgpt.com", "api.openai.com",
                             "claude.ai",      "api.anthropic.com"};
} // namespace

bool eventually(const std::function<bool()> &condition)
{
    for (int i = 0; i < 200 && !condition(); ++i)
        QTest::qWait(50);
    return condition();
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool listening(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return socket.waitForConnected(200);
}

bool writeScript(const QString &file, const QByteArray &body)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile::remove(file);
    QFile script(file);
    if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\n" + body) < 0)
        return false;
    script.close();
    return script.setPermissions(script.permissions() | QFile::ExeOwner);
}

OwnedProcess::~OwnedProcess()
{
    if (state() != NotRunning) {
        kill();
        waitForFinished();
    }
}

void ProbeServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_certificate.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    if (auto *secure = qobject_cast<QSslSocket *>(socket)) {
        secure->setLocalCertificate(m_certificate);
        secure->setPrivateKey(m_key);
        secure->startServerEncryption();
    }
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void ProbeServer::serve(QTcpSocket *socket)
{
    const QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", buffer);
    if (!buffer.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> lines = buffer.left(buffer.indexOf("\r\n\r\n")).split('\n');
    QString path = QString::fromLatin1(lines.value(0).trimmed().split(' ').value(1));
    if (path.startsWith(QLatin1String("http://"))) // absolute form through an HTTP proxy
        path = path.mid(path.indexOf(u'/', 7));
    path = path.section(u'?', 0, 0);
    QString host;
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("host:"))
            host = QString::fromLatin1(line.mid(5).trimmed()).section(u':', 0, 0);
    }
    m_requests << host + path;
    const int status = m_statuses.value(
        host + path, m_statuses.value(QStringLiteral("*") + path, path == "/generate_204" ? 204 : 200));
    const QByteArray body = path == QLatin1String("/echo") ? QByteArray("internet") : QByteArray();
    socket->write("HTTP/1.1 " + QByteArray::number(status) + " Answer\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}

QByteArray curlThroughProxy(int port, const QString &url)
{
    const CommandResult result = awaitTask(
        CommandRunner::runResult(QStringLiteral("/usr/bin/curl"), {"-sS", "--max-time", "5", "--socks5-hostname",
                                                                   QStringLiteral("127.0.0.1:%1").arg(port), url}));
    return result.status == 0 ? result.standardOutput.toUtf8() : QByteArray();
}

ProbeWorld::ProbeWorld() : m_savedHosts(qgetenv("TOVREN_DEVSTACK_HOSTS")), m_savedBundle(qgetenv("CURL_CA_BUNDLE"))
{
    // A self-signed certificate for every probe host, trusted by curl through CURL_CA_BUNDLE.
    QStringList names;
    for (const QString &host : probeHosts)
        names << QStringLiteral("DNS:") + host;
    const QString certFile = m_dir.filePath(QStringLiteral("probe-cert.pem"));
    const QString keyFile = m_dir.filePath(QStringLiteral("probe-key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                   "-subj", "/CN=Tovren probe test", "-addext", "subjectAltName=" + names.join(u','), "-keyout",
                   keyFile, "-out", certFile});
    if (!m_dir.isValid() || !openssl.waitForFinished(30'000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl: ") + QString::fromLocal8Bit(openssl.readAllStandardError());
        return;
    }
    QFile certData(certFile);
    QFile keyData(keyFile);
    const QSslCertificate certificate(certData.open(QIODevice::ReadOnly) ? certData.readAll() : QByteArray(),
                                      QSsl::Pem);
    const QSslKey key(keyData.open(QIODevice::ReadOnly) ? keyData.readAll() : QByteArray(), QSsl::Ec, QSsl::Pem);
    if (certificate.isNull() || key.isNull() || !QSslSocket::supportsSsl()) {
        m_error = QStringLiteral("no TLS for the probe server");
        return;
    }
    if (!m_secure.startSecure(certificate, key) || !m_internet.start()) {
        m_error = QStringLiteral("cannot listen on loopback");
        return;
    }

    m_upstreamPort = freePort();
    endWithTest(m_upstream);
    m_upstream.start(QStringLiteral("/usr/bin/microsocks"), {"-i", "127.0.0.1", "-p", QString::number(m_upstreamPort)});
    if (!m_upstream.waitForStarted() || !eventually([this] { return listening(m_upstreamPort); })) {
        m_error = QStringLiteral("microsocks did not start");
        return;
    }

    QStringList map;
    for (const QString &host : probeHosts)
        map << QStringLiteral("%1:443=127.0.0.1:%2").arg(host).arg(m_secure.serverPort());
    map << QStringLiteral("*=127.0.0.1:%1").arg(m_internet.serverPort());
    qputenv("TOVREN_DEVSTACK_HOSTS", map.join(QStringLiteral(", ")).toUtf8());
    qputenv("CURL_CA_BUNDLE", QFile::encodeName(certFile));
}

ProbeWorld::~ProbeWorld()
{
    for (const auto &[name, saved] :
         {std::pair{"TOVREN_DEVSTACK_HOSTS", m_savedHosts}, {"CURL_CA_BUNDLE", m_savedBundle}})
        saved.isEmpty() ? qunsetenv(name) : qputenv(name, saved);
}

ProtocolConfiguration ProbeWorld::singBoxConfiguration() const
{
    const QJsonObject proxy{{"type", "socks"},
                            {"tag", "proxy"},
                            {"server", "127.0.0.1"},
                            {"server_port", m_upstreamPort},
                            {"version", "5"}};
    const QJsonObject config{
        {"log", QJsonObject{{"level", "info"}, {"timestamp", true}}},
        {"inbounds", QJsonArray{QJsonObject{{"type", "tun"},
                                            {"tag", "tun-in"},
                                            {"interface_name", "utun-tovren"},
                                            {"address", QJsonArray{"172.19.0.1/30"}},
                                            {"auto_route", true}}}},
        {"outbounds", QJsonArray{proxy, QJsonObject{{"type", "direct"}, {"tag", "direct"}}}},
        {"route", QJsonObject{{"final", "proxy"},
                              {"rules", QJsonArray{QJsonObject{{"inbound", "tun-in"}, {"action", "sniff"}},
                                                   QJsonObject{{"ip_cidr", QJsonArray{"10.0.0.0/8", "192.168.0.0/16"}},
                                                               {"outbound", "direct"}}}}}},
    };
    ProtocolConfiguration configuration;
    configuration.endpointId = QStringLiteral("ep_jp_01");
    configuration.protocolKind = ProtocolKind::vless;
    configuration.singBoxConfigText = QString::fromUtf8(QJsonDocument(config).toJson(QJsonDocument::Compact));
    return configuration;
}

QString wireGuardText()
{
    return QStringLiteral("\n[Interface]\nPrivateKey = mOCKprivateKEYmOCKprivateKEYmOCKprivateKE0=\n"
                          "Address = 10.66.0.2/32\n\n[Peer]\n"
                          "PublicKey = mOCKpublicKEYmOCKpublicKEYmOCKpublicKEYm0=\n"
                          "Endpoint = 203.0.113.7:51820\nAllowedIPs = 0.0.0.0/0\nPersistentKeepalive = 25\n\n");
}

ProtocolConfiguration wireGuardConfiguration()
{
    ProtocolConfiguration configuration;
    configuration.endpointId = QStringLiteral("ep_de_wg");
    configuration.protocolKind = ProtocolKind::wireguard;
    configuration.wireGuardConfigText = wireGuardText();
    return configuration;
}

} // namespace TunnelFixtures
