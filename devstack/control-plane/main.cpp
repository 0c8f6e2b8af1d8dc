// tovren-control-plane: a stand-in for the service's control plane (see --help).
#include "ControlPlaneServer.h"
#include "Options.h"
#include "Tls.h"

#include <QCoreApplication>
#include <QFile>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <cstdio>
#include <stdexcept>

namespace {

void complain(const QString &text)
{
    std::fprintf(stderr, "tovren-control-plane: %s\n", text.toLocal8Bit().constData());
}

// Ends the process once the event loop runs (exit() before exec() would be lost).
void quitSoon(int code)
{
    QMetaObject::invokeMethod(
        qApp, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

QString hostForUrl(const QHostAddress &listen)
{
    if (listen == QHostAddress::Any || listen == QHostAddress::AnyIPv4)
        return QStringLiteral("127.0.0.1");
    if (listen == QHostAddress::AnyIPv6)
        return QStringLiteral("[::1]");
    if (listen.protocol() == QAbstractSocket::IPv6Protocol)
        return QLatin1Char('[') + listen.toString() + QLatin1Char(']');
    return listen.toString();
}

QCoro::Task<> start(ControlPlaneServer &server, ControlPlane &plane, const Options &options)
{
    try {
        QStringList urls;
        const QString host = hostForUrl(options.listen);
        if (options.http) {
            auto *tcp = new QTcpServer(&server);
            if (!tcp->listen(options.listen, options.port))
                throw std::runtime_error(
                    QStringLiteral("HTTP port %1: %2").arg(options.port).arg(tcp->errorString()).toStdString());
            server.bind(tcp);
            urls << QStringLiteral("http://%1:%2%3").arg(host).arg(tcp->serverPort()).arg(options.basePath);
        }
        if (options.https) {
            const TlsIdentity identity =
                co_await prepareTlsIdentity(options.tlsCertificate, options.tlsKey, options.openssl);
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            tls.setLocalCertificate(identity.certificate);
            tls.setPrivateKey(identity.key);
            tls.setPeerVerifyMode(QSslSocket::VerifyNone);
            auto *ssl = new QSslServer(&server);
            ssl->setSslConfiguration(tls);
            if (!ssl->listen(options.listen, options.httpsPort))
                throw std::runtime_error(
                    QStringLiteral("HTTPS port %1: %2").arg(options.httpsPort).arg(ssl->errorString()).toStdString());
            server.bind(ssl);
            plane.setCertificatePem(identity.certificatePem);
            if (!options.certificateOut.isEmpty()) {
                QFile out(options.certificateOut);
                if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(identity.certificatePem) < 0)
                    throw std::runtime_error(
                        QStringLiteral("%1: %2").arg(options.certificateOut, out.errorString()).toStdString());
            }
            complain(QStringLiteral("HTTPS certificate: ") + identity.source);
            urls << QStringLiteral("https://%1:%2%3").arg(host).arg(ssl->serverPort()).arg(options.basePath);
        }
        // The first line is what scripts and tests wait for.
        std::printf("%s\n", urls.join(QLatin1Char(' ')).toLocal8Bit().constData());
        std::fflush(stdout);
    } catch (const std::exception &e) {
        complain(QString::fromLocal8Bit(e.what()));
        quitSoon(1);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovren-control-plane"));

    QString error;
    const std::optional<Options> options = parseOptions(QCoreApplication::arguments(), &error);
    if (!options) {
        complain(error + QStringLiteral(" (see --help)"));
        return 2;
    }
    std::optional<DataSet> data;
    try {
        data = DataSet::load(options->dataFile.isEmpty() ? QStringLiteral(":/control-plane/demo-data.json")
                                                         : options->dataFile);
    } catch (const std::runtime_error &e) {
        complain(QString::fromLocal8Bit(e.what()));
        return 2;
    }
    complain(QStringLiteral("%1 accounts, %2 endpoints, %3 plans")
                 .arg(data->accounts.size())
                 .arg(data->endpoints.size())
                 .arg(data->plans.size()));

    ControlPlane plane(std::move(*data), options->overrides);
    ControlPlaneServer server(plane, {options->basePath, options->maxBodyBytes, !options->quiet});
    const QCoro::Task<> starting = start(server, plane, *options);
    return QCoreApplication::exec();
}
