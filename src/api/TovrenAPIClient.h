#pragma once

#include "AccountRecords.h"
#include "CatalogueRecords.h"
#include "Deployment.h"
#include "DeviceRecords.h"
#include "GenericRecords.h"
#include "NetworkRequestError.h"
#include "ProtocolConfigRecords.h"
#include "ReportRecords.h"
#include "TovrenAPIError.h"

#include <QCoro/QCoroTask>
#include <QMap>
#include <QObject>
#include <QUrl>
#include <chrono>
#include <memory>

class QNetworkAccessManager;

// How long the control plane may take. The product uses the defaults; tests shorten them.
struct ControlPlaneTimeouts
{
    // A request gets no byte across for this long: it is abandoned. Every request carries its own.
    std::chrono::milliseconds request{60000};
    // The session's value for a request that carries none.
    std::chrono::milliseconds sessionRequest{30000};
    // A whole exchange, however busy, ends after this long.
    std::chrono::milliseconds resource{90000};
};

// The only component that talks to the control plane: JSON over HTTPS to a short ordered list of base URLs,
// moving on to the next one when the network path to one is broken and remembering which one answered last.
// Its operations are coroutines on the thread that owns it; a call that waits for the network lets others run.
class TovrenAPIClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TovrenAPIClient)

public:
    using Headers = QMap<QString, QString>;

    // With the production base URL the client knows all three production origins; any other base URL is the only
    // one it uses. Without a session it builds its own (makeControlPlaneSession); a given session becomes the
    // client's, and it too is kept away from every proxy.
    explicit TovrenAPIClient(const QUrl &baseURL = Deployment::productionBaseURL(),
                             std::unique_ptr<QNetworkAccessManager> session = {}, ControlPlaneTimeouts timeouts = {},
                             QObject *parent = nullptr);
    // A list of its own, tried in the given order (a deployment with fallbacks of its own, tests).
    explicit TovrenAPIClient(QList<QUrl> baseURLs, std::unique_ptr<QNetworkAccessManager> session = {},
                             ControlPlaneTimeouts timeouts = {}, QObject *parent = nullptr);
    ~TovrenAPIClient() override;

    // A session that ignores every system proxy: while connected, the system proxy points at our own tunnel, and
    // the control plane must still be reached directly.
    static std::unique_ptr<QNetworkAccessManager> makeControlPlaneSession(const ControlPlaneTimeouts &timeouts = {});

    static QUrl makeURL(const QString &path, const QUrl &baseURL);
    static Headers traceHeaders(const QString &attemptId, const QString &requestId);
    // "req_" and 18 upper-case hexadecimal characters of a fresh UUID.
    static QString makeRequestId();
    // Percent-encoded for one path segment: a "/" inside an id is escaped too.
    static QString encodedPathSegment(const QString &text);
    static bool shouldFailover(NetworkRequestError::Code code, const QByteArray &method);

    // In the order the next call tries them.
    const QList<QUrl> &baseURLs() const { return m_baseURLs; }
    QNetworkAccessManager &session() const { return *m_session; }
    const ControlPlaneTimeouts &timeouts() const { return m_timeouts; }

    // The catalogue.
    QCoro::Task<APINodesResponse> nodes();
    QCoro::Task<APIPlansResponse> plans();
    QCoro::Task<APIVersionsResponse> versions();

    // Sign-up and sign-in send no token, even when one is stored.
    QCoro::Task<APIVerificationCodeResponse> sendVerificationCode(QString identity);
    QCoro::Task<APIAuthResponse> registerAccount(APIRegisterRequest request);
    QCoro::Task<APIAuthResponse> login(QString identity, QString password);
    QCoro::Task<APIOkResponse> logout(QString token);

    // The account.
    QCoro::Task<APIMeResponse> me(QString token);
    QCoro::Task<APIClientBootstrapResponse> clientBootstrap(QString token);
    QCoro::Task<APIDevicesResponse> devices(QString token);
    QCoro::Task<APIDeviceResponse> bindDevice(APIBindDeviceRequest request, QString token);
    QCoro::Task<APIOkResponse> deleteDevice(QString deviceId, QString token);
    QCoro::Task<APIOrdersResponse> orders(QString token);
    QCoro::Task<APITicketsResponse> tickets(QString token);
    QCoro::Task<APITicketResponse> createTicket(APICreateTicketRequest request, QString token);

    // Connections.
    QCoro::Task<APIProtocolConfigResponse> protocolConfig(QString endpointId, QString deviceId, QString outboundMode,
                                                          QString token, QString attemptId, QString requestId,
                                                          QString buildId);
    QCoro::Task<APIOkResponse> connectionReport(APIConnectionReportRequest request, QString token);
    QCoro::Task<APIOkResponse> crashReport(APIClientCrashReportRequest request, QString token);

    static inline const QString bootstrapPath = QStringLiteral(
        "/client/bootstrap?clientPlatform=macos&client_platform=macos&clientRegion=auto&client_region=auto"
        "&networkType=wired&network_type=wired");

private:
    friend class TestTovrenAPIClient; // drives the generic exchange with headers of its own

    struct Exchange
    {
        QString path;
        QByteArray method;
        std::optional<QString> token;
        std::optional<QByteArray> body;
        Headers extraHeaders;
    };

    // One call: every base URL in turn while the network path fails; the body of the first 2xx answer.
    QCoro::Task<QByteArray> perform(Exchange exchange);
    template<typename T> QCoro::Task<T> send(Exchange exchange);
    void promote(const QUrl &baseURL);

    QList<QUrl> m_baseURLs;
    std::unique_ptr<QNetworkAccessManager> m_session;
    ControlPlaneTimeouts m_timeouts;
};
