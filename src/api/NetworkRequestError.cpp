#include "NetworkRequestError.h"

NetworkRequestError::NetworkRequestError(Code code, QUrl url, QString detail)
    : TovrenError(describe(code, detail)), m_code(code), m_url(std::move(url)), m_detail(std::move(detail))
{
}

NetworkRequestError NetworkRequestError::fromReply(QNetworkReply::NetworkError error, bool certificateRejected,
                                                   const QUrl &url, const QString &detail)
{
    const auto code = [&] {
        switch (error) {
        case QNetworkReply::HostNotFoundError: return Code::cannotFindHost;
        case QNetworkReply::ConnectionRefusedError: return Code::cannotConnectToHost;
        case QNetworkReply::SslHandshakeFailedError:
            return certificateRejected ? Code::serverCertificateUntrusted : Code::secureConnectionFailed;
        case QNetworkReply::TimeoutError:
        // The transfer time-out aborts the reply, and the client aborts nothing else.
        case QNetworkReply::OperationCanceledError: return Code::timedOut;
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::TemporaryNetworkFailureError: return Code::networkConnectionLost;
        case QNetworkReply::NetworkSessionFailedError: return Code::notConnectedToInternet;
        default: return Code::other;
        }
    }();
    return {code, url, detail};
}

QString NetworkRequestError::describe(Code code, const QString &detail)
{
    switch (code) {
    case Code::cannotFindHost: return QStringLiteral("未能找到使用指定主机名的服务器。");
    case Code::cannotConnectToHost: return QStringLiteral("未能连接到服务器。");
    case Code::secureConnectionFailed: return QStringLiteral("发生了 SSL 错误，无法建立与该服务器的安全连接。");
    case Code::serverCertificateUntrusted: return QStringLiteral("此服务器的证书无效，无法建立安全连接。");
    case Code::timedOut: return QStringLiteral("请求超时。");
    case Code::networkConnectionLost: return QStringLiteral("网络连接已中断。");
    case Code::notConnectedToInternet: return QStringLiteral("似乎已断开与互联网的连接。");
    case Code::other: break;
    }
    return detail.isEmpty() ? QStringLiteral("网络请求失败。") : QStringLiteral("网络请求失败（%1）。").arg(detail);
}
