#pragma once

#include "ControlPlane.h"

#include <QHostAddress>
#include <QStringList>

struct Options
{
    QString dataFile; // empty: the built-in demo data set
    QHostAddress listen{QHostAddress::LocalHost};
    bool http = true;
    bool https = true;
    quint16 port = 0;
    quint16 httpsPort = 0;
    QString basePath = QStringLiteral("/api");
    QString tlsCertificate;
    QString tlsKey;
    QString openssl;
    QString certificateOut;
    qint64 maxBodyBytes = 1 << 20;
    bool quiet = false;
    Overrides overrides;
};

// Parses the command line. `--help` prints the usage and ends the process; a bad option returns the
// reason in `error`.
std::optional<Options> parseOptions(const QStringList &arguments, QString *error);
