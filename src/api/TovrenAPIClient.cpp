#include "TovrenAPIClient.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUuid>

namespace {

// What one attempt against one base URL came to.
struct Attempt
{
    std::optional<NetworkRequestError> failure; // no complete answer: the network path is broken
    bool isHTTP = false;
    int status = 0;
    QByteArray body;
};

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const
    {
        reply->disconnect();
        reply->deleteLater();
    }
};

bool isTransportError(QNetworkReply::NetworkError error)
{
    // Qt numbers connection-level errors 1 to 99; above them come proxy, content and protocol errors, which
    // arrive together with whatever HTTP status the server sent.
    return error > QNetworkReply::NoError && error <= QNetworkReply::UnknownNetworkError;
}

QCoro::Task<Attempt> attempt(QNetworkAccessManager &session, QNetworkRequest request, QByteArray method,
                             std::optional<QByteArray> body, std::chrono::milliseconds resourceTimeout)
{
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(body ? session.sendCustomRequest(request, method, *body)
                                                            : session.sendCustomRequest(request, method));
    bool certificateRejected = false;
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, reply.get(),
                     [&certificateRejected](const QList<QSslError> &) { certificateRejected = true; });
    QTimer resourceLimit;
    resourceLimit.setSingleShot(true);
    QObject::connect(&resourceLimit, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
    resourceLimit.start(resourceTimeout);

    co_await reply.get();

    Attempt result;
    const QNetworkReply::NetworkError error = reply->error();
    if (isTransportError(error)) {
        result.failure =
            NetworkRequestError::fromReply(error, certificateRejected, request.url(), reply->errorString());
        co_return result;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        if (error != QNetworkReply::NoError)
            result.failure = NetworkRequestError(NetworkRequestError::Code::other, request.url(), reply->errorString());
        co_return result; // an answer, but not an HTTP one
    }
    result.isHTTP = true;
    result.status = status.toInt();
    result.body = reply->readAll();
    co_return result;
}

// The server's own words from an error body: "error", else "message". An empty text says nothing, so the status
// code is shown instead.
std::optional<QString> serverMessage(const QByteArray &body)
{
    try {
        const auto answer = decodeAnswer<APIErrorResponse>(body);
        if (answer.error && !answer.error->isEmpty())
            return answer.error;
        if (answer.message && !answer.message->isEmpty())
            return answer.message;
    } catch (const DecodingError &) {
        // Not the error record: no message of the server's.
    }
    return std::nullopt;
}

} // namespace

TovrenAPIClient::TovrenAPIClient(const QUrl &baseURL, std::unique_ptr<QNetworkAccessManager> session,
                                 ControlPlaneTimeouts timeouts, QObject *parent)
    : TovrenAPIClient(baseURL == Deployment::productionBaseURL() ? Deployment::productionBaseURLs()
                                                                 : QList<QUrl>{baseURL},
                      std::move(session), timeouts, parent)
{
}

TovrenAPIClient::TovrenAPIClient(QList<QUrl> baseURLs, std::unique_ptr<QNetworkAccessManager> session,
                                 ControlPlaneTimeouts timeouts, QObject *parent)
    : QObject(parent), m_baseURLs(std::move(baseURLs)),
      m_session(session ? std::move(session) : makeControlPlaneSession(timeouts)), m_timeouts(timeouts)
{
    m_session->setProxy(QNetworkProxy::NoProxy);
}

TovrenAPIClient::~TovrenAPIClient() = default;

std::unique_ptr<QNetworkAccessManager> TovrenAPIClient::makeControlPlaneSession(const ControlPlaneTimeouts &timeouts)
{
    // No disk cache and an in-memory cookie jar: nothing of a session outlives the process.
    auto session = std::make_unique<QNetworkAccessManager>();
    session->setProxy(QNetworkProxy::NoProxy);
    session->setTransferTimeout(static_cast<int>(timeouts.sessionRequest.count()));
    return session;
}

QUrl TovrenAPIClient::makeURL(const QString &path, const QUrl &baseURL)
{
    QStringView rest(path);
    if (rest.startsWith(QLatin1Char('/')))
        rest = rest.mid(1);
    const qsizetype mark = rest.indexOf(QLatin1Char('?'));
    const QStringView pathPart = mark < 0 ? rest : rest.left(mark);
    const QStringView query = mark < 0 ? QStringView() : rest.mid(mark + 1);

    QStringView basePath;
    const QString encodedBasePath = baseURL.path(QUrl::FullyEncoded);
    basePath = encodedBasePath;
    while (basePath.startsWith(QLatin1Char('/')))
        basePath = basePath.mid(1);
    while (basePath.endsWith(QLatin1Char('/')))
        basePath.chop(1);

    QString joined = QStringLiteral("/") + basePath.toString();
    if (!basePath.isEmpty() && !pathPart.isEmpty())
        joined += QLatin1Char('/');
    joined += pathPart;

    QUrl url;
    url.setScheme(baseURL.scheme());
    url.setAuthority(baseURL.authority(QUrl::FullyEncoded), QUrl::TolerantMode);
    url.setPath(joined, QUrl::TolerantMode); // the pieces are already percent-encoded
    if (!query.isEmpty())
        url.setQuery(query.toString(), QUrl::TolerantMode);
    return url;
}

TovrenAPIClient::Headers TovrenAPIClient::traceHeaders(const QString &attemptId, const QString &requestId)
{
    Headers headers;
    if (!requestId.isEmpty())
        headers.insert(QStringLiteral("X-Request-Id"), requestId);
    if (!attemptId.isEmpty())
        headers.insert(QStringLiteral("X-Tovren-Attempt-Id"), attemptId);
    return headers;
}

QString TovrenAPIClient::makeRequestId()
{
    return QStringLiteral("req_") + QString::fromLatin1(QUuid::createUuid().toRfc4122().toHex().toUpper().left(18));
}

QString TovrenAPIClient::encodedPathSegment(const QString &text)
{
    // The characters a path may hold unescaped, less "/", so the text stays one segment.
    return QString::fromLatin1(text.toUtf8().toPercentEncoding("!$&'()*+,:=@"));
}

bool TovrenAPIClient::shouldFailover(NetworkRequestError::Code code, const QByteArray &method)
{
    switch (code) {
    case NetworkRequestError::Code::cannotFindHost:
    case NetworkRequestError::Code::cannotConnectToHost:
    case NetworkRequestError::Code::secureConnectionFailed:
    case NetworkRequestError::Code::serverCertificateUntrusted: return true;
    // The server may have acted on a request that timed out or lost its connection; only a read is safe to
    // send again elsewhere.
    case NetworkRequestError::Code::timedOut:
    case NetworkRequestError::Code::networkConnectionLost: return method == "GET";
    case NetworkRequestError::Code::notConnectedToInternet:
    case NetworkRequestError::Code::other: return false;
    }
    return false;
}

void TovrenAPIClient::promote(const QUrl &baseURL)
{
    const qsizetype index = m_baseURLs.indexOf(baseURL);
    if (index > 0)
        m_baseURLs.move(index, 0);
}

QCoro::Task<QByteArray> TovrenAPIClient::perform(Exchange exchange)
{
    QString requestId = exchange.extraHeaders.value(QStringLiteral("X-Request-Id"));
    if (requestId.isEmpty())
        requestId = makeRequestId();

    // Calls that overlap each work through the list as it stood when they began; promotion edits the live one.
    const QList<QUrl> snapshot = m_baseURLs;
    if (snapshot.isEmpty())
        throw TovrenAPIError::invalidResponse();

    for (qsizetype index = 0; index < snapshot.size(); ++index) {
        const QUrl &baseURL = snapshot.at(index);
        QNetworkRequest request(makeURL(exchange.path, baseURL));
        request.setTransferTimeout(static_cast<int>(m_timeouts.request.count()));
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        // A redirect keeps every header, the bearer token too: it may only lead within the same origin.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
        // Later settings of the same name replace earlier ones.
        request.setRawHeader("Accept", "application/json");
        request.setRawHeader("X-Request-Id", requestId.toUtf8());
        request.setRawHeader("X-Tovren-Platform", "macos");
        for (auto it = exchange.extraHeaders.cbegin(); it != exchange.extraHeaders.cend(); ++it) {
            if (!it.value().isEmpty())
                request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
        }
        if (exchange.token)
            request.setRawHeader("Authorization", "Bearer " + exchange.token->toUtf8());
        if (exchange.body)
            request.setRawHeader("Content-Type", "application/json");

        Attempt outcome =
            co_await attempt(*m_session, request, exchange.method, exchange.body, m_timeouts.resource);
        if (outcome.failure) {
            if (shouldFailover(outcome.failure->code(), exchange.method) && index + 1 < snapshot.size())
                continue;
            throw *outcome.failure;
        }
        // An answer from a fallback makes it the first choice of later calls, whatever its status.
        if (index > 0)
            promote(baseURL);
        if (!outcome.isHTTP)
            throw TovrenAPIError::invalidResponse();
        if (outcome.status < 200 || outcome.status > 299)
            throw TovrenAPIError::server(outcome.status, serverMessage(outcome.body));
        co_return outcome.body;
    }
    throw TovrenAPIError::invalidResponse(); // not reached: the last attempt returns or throws
}

template<typename T> QCoro::Task<T> TovrenAPIClient::send(Exchange exchange)
{
    const QByteArray body = co_await perform(std::move(exchange));
    co_return decodeAnswer<T>(body); // a body that does not decode is the decoder's error, unchanged
}

QCoro::Task<APINodesResponse> TovrenAPIClient::nodes()
{
    return send<APINodesResponse>({QStringLiteral("/nodes"), "GET", {}, {}, {}});
}

QCoro::Task<APIPlansResponse> TovrenAPIClient::plans()
{
    return send<APIPlansResponse>({QStringLiteral("/plans"), "GET", {}, {}, {}});
}

QCoro::Task<APIVersionsResponse> TovrenAPIClient::versions()
{
    return send<APIVersionsResponse>({QStringLiteral("/versions"), "GET", {}, {}, {}});
}

QCoro::Task<APIVerificationCodeResponse> TovrenAPIClient::sendVerificationCode(QString identity)
{
    return send<APIVerificationCodeResponse>(
        {QStringLiteral("/auth/verification-code"), "POST", {}, jsonBytes(APIIdentityRequest{identity}.toJson()), {}});
}

QCoro::Task<APIAuthResponse> TovrenAPIClient::registerAccount(APIRegisterRequest request)
{
    return send<APIAuthResponse>({QStringLiteral("/auth/register"), "POST", {}, jsonBytes(request.toJson()), {}});
}

QCoro::Task<APIAuthResponse> TovrenAPIClient::login(QString identity, QString password)
{
    return send<APIAuthResponse>(
        {QStringLiteral("/auth/login"), "POST", {}, jsonBytes(APILoginRequest{identity, password}.toJson()), {}});
}

QCoro::Task<APIOkResponse> TovrenAPIClient::logout(QString token)
{
    return send<APIOkResponse>({QStringLiteral("/auth/logout"), "POST", token, {}, {}});
}

QCoro::Task<APIMeResponse> TovrenAPIClient::me(QString token)
{
    return send<APIMeResponse>({QStringLiteral("/me"), "GET", token, {}, {}});
}

QCoro::Task<APIClientBootstrapResponse> TovrenAPIClient::clientBootstrap(QString token)
{
    return send<APIClientBootstrapResponse>({bootstrapPath, "GET", token, {}, {}});
}

QCoro::Task<APIDevicesResponse> TovrenAPIClient::devices(QString token)
{
    return send<APIDevicesResponse>({QStringLiteral("/devices"), "GET", token, {}, {}});
}

QCoro::Task<APIDeviceResponse> TovrenAPIClient::bindDevice(APIBindDeviceRequest request, QString token)
{
    return send<APIDeviceResponse>({QStringLiteral("/devices"), "POST", token, jsonBytes(request.toJson()), {}});
}

QCoro::Task<APIOkResponse> TovrenAPIClient::deleteDevice(QString deviceId, QString token)
{
    return send<APIOkResponse>({QStringLiteral("/devices/") + encodedPathSegment(deviceId), "DELETE", token, {}, {}});
}

QCoro::Task<APIOrdersResponse> TovrenAPIClient::orders(QString token)
{
    return send<APIOrdersResponse>({QStringLiteral("/orders"), "GET", token, {}, {}});
}

QCoro::Task<APITicketsResponse> TovrenAPIClient::tickets(QString token)
{
    return send<APITicketsResponse>({QStringLiteral("/tickets"), "GET", token, {}, {}});
}

QCoro::Task<APITicketResponse> TovrenAPIClient::createTicket(APICreateTicketRequest request, QString token)
{
    return send<APITicketResponse>({QStringLiteral("/tickets"), "POST", token, jsonBytes(request.toJson()), {}});
}

QCoro::Task<APIProtocolConfigResponse> TovrenAPIClient::protocolConfig(QString endpointId, QString deviceId,
                                                                       QString outboundMode, QString token,
                                                                       QString attemptId, QString requestId,
                                                                       QString buildId)
{
    APIProtocolConfigRequest request;
    request.endpointId = endpointId;
    request.deviceId = deviceId; // the body carries the id as it is; only the path escapes it
    request.platform = QStringLiteral("macos");
    request.outboundMode = outboundMode;
    request.waitForReadyMs = 8000;
    request.clientRegion = QStringLiteral("auto");
    request.networkType = QStringLiteral("wired");
    request.attemptId = attemptId;
    request.requestId = requestId;
    request.buildId = buildId;
    return send<APIProtocolConfigResponse>(
        {QStringLiteral("/client/devices/") + encodedPathSegment(deviceId) + QStringLiteral("/protocol-config"), "POST",
         token, jsonBytes(request.toJson()), traceHeaders(attemptId, requestId)});
}

QCoro::Task<APIOkResponse> TovrenAPIClient::connectionReport(APIConnectionReportRequest request, QString token)
{
    const Headers trace = traceHeaders(request.attemptId, request.requestId);
    return send<APIOkResponse>(
        {QStringLiteral("/client/connection-report"), "POST", token, jsonBytes(request.toJson()), trace});
}

QCoro::Task<APIOkResponse> TovrenAPIClient::crashReport(APIClientCrashReportRequest request, QString token)
{
    return send<APIOkResponse>(
        {QStringLiteral("/client/crash-report"), "POST", token, jsonBytes(request.toJson()), {}});
}
