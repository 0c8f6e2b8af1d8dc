// The devstack's own paths: inspection, fault switches, settings and reset. Never part of the product API.
#include "ControlPlane.h"

#include <stdexcept>

namespace {

Reply adminError(int status, const QString &message)
{
    return Reply::error(status, message, QStringLiteral("DEVSTACK"));
}

} // namespace

Reply ControlPlane::handleAdmin(const Request &request)
{
    const QString route = request.method + QLatin1Char(' ') + request.path;
    try {
        if (route == QLatin1String("GET /health"))
            return Reply::ok();
        if (route == QLatin1String("GET /state"))
            return Reply::json(stateJson());
        if (route == QLatin1String("GET /certificate")) {
            if (m_certificatePem.isEmpty())
                return adminError(404, QStringLiteral("HTTPS is off"));
            Reply reply;
            reply.body = m_certificatePem;
            reply.contentType = "application/x-pem-file";
            return reply;
        }
        if (route == QLatin1String("GET /faults"))
            return Reply::json({{QStringLiteral("faults"), m_faults.toJson()}});
        if (route == QLatin1String("POST /faults"))
            return addFaults(request);
        if (route == QLatin1String("DELETE /faults")) {
            m_faults.clear();
            return Reply::ok();
        }
        if (route == QLatin1String("POST /settings"))
            return changeSettings(request);
        if (route == QLatin1String("POST /sessions/expire"))
            return expireSessions(request);
        if (route == QLatin1String("POST /reset")) {
            reset();
            return Reply::ok();
        }
    } catch (const HttpError &error) {
        return error.reply();
    }
    return adminError(404, QStringLiteral("unknown devstack path: ") + route);
}

Reply ControlPlane::addFaults(const Request &request)
{
    const JsonBody body(request, false);
    // One rule as the object itself, or several under "faults".
    QJsonArray rules;
    if (body.object().contains(QStringLiteral("faults")))
        rules = body.requiredArray(QStringLiteral("faults"));
    else
        rules.append(body.object());
    QList<FaultRule> parsed;
    for (const QJsonValue &rule : rules) {
        try {
            parsed.append(FaultRule::fromJson(rule.toObject()));
        } catch (const std::invalid_argument &e) {
            return adminError(400, QString::fromStdString(e.what()));
        }
    }
    QJsonArray ids;
    for (const FaultRule &rule : parsed)
        ids.append(m_faults.add(rule));
    return Reply::json({{QStringLiteral("ids"), ids}, {QStringLiteral("faults"), m_faults.toJson()}}, 201);
}

Reply ControlPlane::changeSettings(const Request &request)
{
    const JsonBody body(request, false);
    Settings next = m_data.settings;
    if (const auto url = body.optionalString(QStringLiteral("upstream"))) {
        try {
            next.upstream = Upstream::fromUrl(*url);
        } catch (const std::invalid_argument &e) {
            return adminError(400, QString::fromStdString(e.what()));
        }
    }
    const auto milliseconds = [&](const QString &key, int current) {
        if (!body.object().contains(key))
            return current;
        const qint64 value = body.requiredInteger(key);
        if (value < 0 || value > 3600000)
            throw HttpError(400, key + QStringLiteral(" must be from 0 to 3600000"), QStringLiteral("DEVSTACK"));
        return static_cast<int>(value);
    };
    next.provisioningDelayMs = milliseconds(QStringLiteral("provisioningDelayMs"), next.provisioningDelayMs);
    next.retryAfterMs = milliseconds(QStringLiteral("retryAfterMs"), next.retryAfterMs);
    next.maxWaitMs = milliseconds(QStringLiteral("maxWaitMs"), next.maxWaitMs);
    next.revealDebugCode = body.optionalBool(QStringLiteral("revealDebugCode")).value_or(next.revealDebugCode);
    m_data.settings = next;
    return Reply::json(settingsJson());
}

Reply ControlPlane::expireSessions(const Request &request)
{
    const std::optional<QString> identity = request.body.trimmed().isEmpty()
                                                ? std::nullopt
                                                : JsonBody(request, false).optionalString(QStringLiteral("identity"));
    const AccountRecord *account = identity ? m_data.accountByIdentity(*identity) : nullptr;
    if (identity && !account)
        return adminError(404, QStringLiteral("no account ") + *identity);
    int expired = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (!account || it.value() == account->id) {
            it = m_sessions.erase(it);
            ++expired;
        } else {
            ++it;
        }
    }
    return Reply::json({{QStringLiteral("expired"), expired}});
}

QJsonObject ControlPlane::settingsJson() const
{
    const Settings &s = m_data.settings;
    return QJsonObject{{QStringLiteral("upstream"), s.upstream.toUrl()},
                       {QStringLiteral("provisioningDelayMs"), s.provisioningDelayMs},
                       {QStringLiteral("retryAfterMs"), s.retryAfterMs},
                       {QStringLiteral("maxWaitMs"), s.maxWaitMs},
                       {QStringLiteral("revealDebugCode"), s.revealDebugCode}};
}

QJsonObject ControlPlane::stateJson() const
{
    QJsonArray accounts;
    for (const AccountRecord &a : m_data.accounts) {
        QJsonArray devices;
        for (const DeviceRecord &d : a.devices) {
            QJsonObject device = d.toJson();
            device.insert(QStringLiteral("client_device_id"), d.clientDeviceId);
            devices.append(device);
        }
        const auto sessions = std::count_if(m_sessions.begin(), m_sessions.end(),
                                            [&](const QString &accountId) { return accountId == a.id; });
        accounts.append(QJsonObject{{QStringLiteral("id"), a.id},
                                    {QStringLiteral("identity"), a.identity},
                                    {QStringLiteral("user"), a.user},
                                    {QStringLiteral("devices"), devices},
                                    {QStringLiteral("activeDeviceCount"), a.activeDeviceCount()},
                                    {QStringLiteral("tickets"), a.tickets},
                                    {QStringLiteral("sessions"), qint64(sessions)}});
    }
    QJsonArray credentials;
    for (auto it = m_credentials.begin(); it != m_credentials.end(); ++it) {
        credentials.append(QJsonObject{{QStringLiteral("device"), it.key().section(QLatin1Char('|'), 0, 0)},
                                       {QStringLiteral("endpoint"), it.key().section(QLatin1Char('|'), 1)},
                                       {QStringLiteral("credentialId"), it->credentialId},
                                       {QStringLiteral("startedAt"), isoTime(it->startedAtMs)}});
    }
    return QJsonObject{{QStringLiteral("settings"), settingsJson()},
                       {QStringLiteral("accounts"), accounts},
                       {QStringLiteral("verificationCodes"), m_codeLog},
                       {QStringLiteral("credentials"), credentials},
                       {QStringLiteral("protocolConfigRequests"), m_protocolConfigRequests},
                       {QStringLiteral("connectionReports"), m_connectionReports},
                       {QStringLiteral("crashReports"), m_crashReports},
                       {QStringLiteral("ticketSubmissions"), m_ticketSubmissions},
                       {QStringLiteral("faults"), m_faults.toJson()},
                       {QStringLiteral("requests"), m_requests}};
}
