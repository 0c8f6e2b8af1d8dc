#pragma once

#include "base/Errors.h"

#include <QNetworkReply>
#include <QUrl>

// A request that got no complete HTTP answer: the network path to the control plane is broken somewhere.
class NetworkRequestError final : public TovrenError
{
public:
    enum class Code {
        cannotFindHost,             // the name does not resolve
        cannotConnectToHost,        // nothing listens, or the connection was refused
        secureConnectionFailed,     // the TLS handshake failed
        serverCertificateUntrusted, // the server's certificate did not verify
        timedOut,                   // no progress within the time-out, or the exchange took too long
        networkConnectionLost,      // the connection broke before the answer was complete
        notConnectedToInternet,     // no usable network at all
        other,
    };

    NetworkRequestError(Code code, QUrl url, QString detail = {});

    // Classifies a finished reply's transport error. `certificateRejected` tells that the handshake reported
    // certificate errors before it failed.
    static NetworkRequestError fromReply(QNetworkReply::NetworkError error, bool certificateRejected, const QUrl &url,
                                         const QString &detail);

    Code code() const { return m_code; }
    const QUrl &url() const { return m_url; }
    const QString &detail() const { return m_detail; } // the network library's own words, for logs

    static QString describe(Code code, const QString &detail = {});

private:
    Code m_code;
    QUrl m_url;
    QString m_detail;
};
