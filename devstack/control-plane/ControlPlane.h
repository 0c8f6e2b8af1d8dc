#pragma once

#include "DataSet.h"
#include "Faults.h"
#include "HttpTypes.h"

#include <QHash>

// Values given on the command line; they win over the data set, also after a reset.
struct Overrides
{
    std::optional<Upstream> upstream;
    std::optional<int> provisioningDelayMs;
    std::optional<int> retryAfterMs;
    std::optional<int> maxWaitMs;
    bool hideDebugCode = false;
    QList<FaultRule> faults;
};

// Everything the stand-in control plane knows and does, in memory: accounts and sessions, the catalogue,
// devices, provisioning of protocol configurations, reports, and the devstack's own inspection and fault
// switches. Requests are answered one at a time; sockets, delays and drops belong to ControlPlaneServer.
class ControlPlane final
{
public:
    ControlPlane(DataSet initial, Overrides overrides);
    Q_DISABLE_COPY_MOVE(ControlPlane)

    // An API request whose path is relative to the base path. Never throws.
    Reply handle(const Request &request);
    // A request under the devstack path ("/state", "/faults", ...). Never throws.
    Reply handleAdmin(const Request &request);

    std::optional<FaultRule> takeFault(const QString &method, const QString &apiPath);
    void recordRequest(const Request &request, const QString &fullPath, int status, const QString &note);
    void setCertificatePem(const QByteArray &pem) { m_certificatePem = pem; }

private:
    struct Call
    {
        const Request &request;
        QStringList params;
        AccountRecord *account = nullptr;
        QString token;
    };
    using Handler = Reply (ControlPlane::*)(const Call &);
    struct Route
    {
        const char *method;
        const char *pattern; // "{}" stands for one path segment
        bool signedIn;
        Handler handler;
    };
    static const QList<Route> &routes();

    struct Code
    {
        QString code;
        qint64 expiresAtMs = 0;
    };
    struct Credential
    {
        qint64 startedAtMs = 0;
        QString credentialId;
        QString wireGuardPrivateKey;
        QString wireGuardAddress;
    };

    void reset();
    AccountRecord &signedInAccount(const Request &request, QString *token);
    QString startSession(const AccountRecord &account);
    Credential &credentialFor(const DeviceRecord &device, const EndpointRecord &endpoint);

    // Catalogue and accounts (ControlPlaneAccounts.cpp).
    Reply nodes(const Call &call);
    Reply plans(const Call &call);
    Reply versions(const Call &call);
    Reply sendVerificationCode(const Call &call);
    Reply registerAccount(const Call &call);
    Reply login(const Call &call);
    Reply logout(const Call &call);
    Reply me(const Call &call);
    Reply clientBootstrap(const Call &call);
    Reply orders(const Call &call);
    Reply tickets(const Call &call);
    Reply createTicket(const Call &call);

    // Devices and protocol configurations (ControlPlaneDevices.cpp).
    Reply devices(const Call &call);
    Reply bindDevice(const Call &call);
    Reply deleteDevice(const Call &call);
    Reply protocolConfig(const Call &call);

    // Reports (ControlPlaneReports.cpp).
    Reply connectionReport(const Call &call);
    Reply crashReport(const Call &call);

    // The devstack's own paths (ControlPlaneAdmin.cpp).
    QJsonObject stateJson() const;
    QJsonObject settingsJson() const;
    Reply changeSettings(const Request &request);
    Reply addFaults(const Request &request);
    Reply expireSessions(const Request &request);

    DataSet m_initial;
    Overrides m_overrides;
    DataSet m_data;
    FaultTable m_faults;
    QHash<QString, QString> m_sessions;       // token -> account id
    QHash<QString, Code> m_codes;             // identity -> latest code
    QHash<QString, Credential> m_credentials; // device id + "|" + endpoint id
    int m_wireGuardHosts = 0;
    QJsonArray m_codeLog;
    QJsonArray m_connectionReports;
    QJsonArray m_crashReports;
    QJsonArray m_protocolConfigRequests;
    QJsonArray m_ticketSubmissions;
    QJsonArray m_requests;
    qint64 m_requestCount = 0;
    QByteArray m_certificatePem;
};

// The e-mail rule the client applies too.
bool isValidEmail(const QString &text);
