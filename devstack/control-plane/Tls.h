#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

struct TlsIdentity
{
    QSslCertificate certificate;
    QSslKey key;
    QByteArray certificatePem;
    QString source; // where it came from, for the start-up message
};

// The certificate the HTTPS listener presents, for "localhost", 127.0.0.1 and ::1: the given files when
// both are named; otherwise a fresh self-signed one made with openssl; without openssl, the test
// certificate built into the program. Throws std::runtime_error when given files do not load.
QCoro::Task<TlsIdentity> prepareTlsIdentity(QString certificateFile, QString keyFile, QString openssl);
