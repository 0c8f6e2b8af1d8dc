#include "Tls.h"

#include <QCoro/QCoroProcess>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <stdexcept>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(QStringLiteral("%1: %2").arg(path, file.errorString()).toStdString());
    return file.readAll();
}

std::optional<TlsIdentity> identityFrom(const QByteArray &certificatePem, const QByteArray &keyPem,
                                        const QString &source)
{
    TlsIdentity id;
    id.certificate = QSslCertificate(certificatePem, QSsl::Pem);
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa}) {
        id.key = QSslKey(keyPem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!id.key.isNull())
            break;
    }
    if (id.certificate.isNull() || id.key.isNull())
        return std::nullopt;
    id.certificatePem = id.certificate.toPem();
    id.source = source;
    return id;
}

// A short-lived certificate made for this run only; the key never leaves the temporary folder, which is
// removed as soon as both files are read.
QCoro::Task<std::optional<TlsIdentity>> generate(const QString &openssl)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        co_return std::nullopt;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    const QString cert = dir.filePath(QStringLiteral("cert.pem"));
    const QStringList arguments{QStringLiteral("req"),
                                QStringLiteral("-x509"),
                                QStringLiteral("-newkey"),
                                QStringLiteral("ec"),
                                QStringLiteral("-pkeyopt"),
                                QStringLiteral("ec_paramgen_curve:prime256v1"),
                                QStringLiteral("-nodes"),
                                QStringLiteral("-keyout"),
                                key,
                                QStringLiteral("-out"),
                                cert,
                                QStringLiteral("-days"),
                                QStringLiteral("30"),
                                QStringLiteral("-subj"),
                                QStringLiteral("/CN=localhost/O=Tovren devstack"),
                                QStringLiteral("-addext"),
                                QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1")};
    if (!co_await qCoro(process).start(openssl, arguments) ||
        !co_await qCoro(process).waitForFinished(std::chrono::seconds(30))) {
        qWarning("openssl did not run: %s", qPrintable(process.errorString()));
        co_return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("openssl could not make a certificate: %s", process.readAll().trimmed().constData());
        co_return std::nullopt;
    }
    QFile certFile(cert);
    QFile keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        co_return std::nullopt;
    co_return identityFrom(certFile.readAll(), keyFile.readAll(), QStringLiteral("generated with ") + openssl);
}

} // namespace

QCoro::Task<TlsIdentity> prepareTlsIdentity(QString certificateFile, QString keyFile, QString openssl)
{
    if (!certificateFile.isEmpty() || !keyFile.isEmpty()) {
        if (certificateFile.isEmpty() || keyFile.isEmpty())
            throw std::runtime_error("--tls-cert and --tls-key go together");
        const auto given = identityFrom(readFile(certificateFile), readFile(keyFile), certificateFile);
        if (!given)
            throw std::runtime_error(QStringLiteral("%1 / %2: not a PEM certificate and private key")
                                         .arg(certificateFile, keyFile)
                                         .toStdString());
        co_return *given;
    }
    const QString tool = openssl.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("openssl")) : openssl;
    if (!tool.isEmpty() && QFile::exists(tool)) {
        if (auto made = co_await generate(tool))
            co_return *made;
    }
    const auto bundled = identityFrom(readFile(QStringLiteral(":/control-plane/tls/devstack-cert.pem")),
                                      readFile(QStringLiteral(":/control-plane/tls/devstack-key.pem")),
                                      QStringLiteral("the built-in test certificate"));
    if (!bundled)
        throw std::runtime_error("the built-in test certificate does not load");
    co_return *bundled;
}
