// Connection outcome and crash reports: checked for shape, kept for inspection.
#include "ControlPlane.h"

namespace {

QJsonObject traceHeaders(const Request &request)
{
    QJsonObject out;
    for (const char *name : {"X-Request-Id", "X-Tovren-Attempt-Id"}) {
        if (request.hasHeader(name))
            out.insert(QString::fromLatin1(name), QString::fromUtf8(request.header(name)));
    }
    return out;
}

} // namespace

Reply ControlPlane::connectionReport(const Call &call)
{
    const JsonBody body(call.request);
    for (const char *key :
         {"deviceId", "endpointId", "protocol", "status", "appVersion", "clientPlatform", "stateStage", "reasonCode",
          "clientRegion", "networkType", "attemptId", "requestId", "buildId"})
        body.requiredString(QLatin1String(key));
    for (const char *key : {"latencyMs", "quickVerifyMs", "connectDurationMs"})
        body.requiredInteger(QLatin1String(key));
    body.optionalString(QStringLiteral("errorMessage"));
    body.optionalBool(QStringLiteral("isOverseas"));
    for (const QJsonValue &entry : body.requiredArray(QStringLiteral("stateLog"))) {
        const QJsonObject record = entry.toObject();
        const bool allText = std::all_of(record.begin(), record.end(), [](const auto &v) { return v.isString(); });
        if (!entry.isObject() || !allText)
            throw JsonBody::badField(QStringLiteral("stateLog"), QStringLiteral("字符串键值对象的数组"));
    }

    const QString status = body.object().value(QStringLiteral("status")).toString();
    static const QStringList known{QStringLiteral("connected"), QStringLiteral("failed"),
                                   QStringLiteral("disconnected")};
    if (!known.contains(status))
        throw HttpError(400, QStringLiteral("status 只能是 connected、failed 或 disconnected。"),
                        QStringLiteral("INVALID_FIELD"));
    DeviceRecord *device = call.account->device(body.object().value(QStringLiteral("deviceId")).toString());
    if (!device)
        throw HttpError(404, QStringLiteral("设备不存在。"), QStringLiteral("DEVICE_NOT_FOUND"));

    const QString now = isoTime(nowMs());
    device->isOnline = status == QLatin1String("connected");
    device->connectionStatus = status;
    device->latestConnectionAt = now;
    m_connectionReports.append(QJsonObject{{QStringLiteral("receivedAt"), now},
                                           {QStringLiteral("userId"), call.account->id},
                                           {QStringLiteral("traceHeaders"), traceHeaders(call.request)},
                                           {QStringLiteral("report"), body.object()}});
    return Reply::ok();
}

Reply ControlPlane::crashReport(const Call &call)
{
    const JsonBody body(call.request);
    for (const char *key : {"clientPlatform", "appVersion", "crashType", "reason"})
        body.requiredString(QLatin1String(key));
    for (const char *key :
         {"deviceId", "stackTrace", "diagnostics", "dumpSummary", "dumpSha256", "signalName", "threadName", "buildId"})
        body.optionalString(QLatin1String(key));
    m_crashReports.append(QJsonObject{{QStringLiteral("receivedAt"), isoTime(nowMs())},
                                      {QStringLiteral("userId"), call.account->id},
                                      {QStringLiteral("traceHeaders"), traceHeaders(call.request)},
                                      {QStringLiteral("report"), body.object()}});
    return Reply::ok();
}
