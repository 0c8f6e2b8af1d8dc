#include "ReportRecords.h"

QJsonObject APIConnectionReportRequest::toJson() const
{
    QJsonArray log;
    for (const StateRecord &record : stateLog) {
        QJsonObject entry;
        for (auto it = record.constBegin(); it != record.constEnd(); ++it)
            entry.insert(it.key(), it.value());
        log.append(entry);
    }
    QJsonObject object{{QStringLiteral("deviceId"), deviceId},
                       {QStringLiteral("endpointId"), endpointId},
                       {QStringLiteral("protocol"), protocolName},
                       {QStringLiteral("status"), status},
                       {QStringLiteral("latencyMs"), latencyMs},
                       {QStringLiteral("appVersion"), appVersion},
                       {QStringLiteral("clientPlatform"), clientPlatform},
                       {QStringLiteral("stateStage"), stateStage},
                       {QStringLiteral("reasonCode"), reasonCode},
                       {QStringLiteral("quickVerifyMs"), quickVerifyMs},
                       {QStringLiteral("clientRegion"), clientRegion},
                       {QStringLiteral("networkType"), networkType},
                       {QStringLiteral("attemptId"), attemptId},
                       {QStringLiteral("requestId"), requestId},
                       {QStringLiteral("buildId"), buildId},
                       {QStringLiteral("connectDurationMs"), connectDurationMs},
                       {QStringLiteral("stateLog"), log}};
    insertIfPresent(object, QStringLiteral("errorMessage"), errorMessage);
    insertIfPresent(object, QStringLiteral("isOverseas"), isOverseas);
    return object;
}

QJsonObject APIClientCrashReportRequest::toJson() const
{
    QJsonObject object{{QStringLiteral("clientPlatform"), clientPlatform},
                       {QStringLiteral("appVersion"), appVersion},
                       {QStringLiteral("crashType"), crashType},
                       {QStringLiteral("reason"), reason}};
    insertIfPresent(object, QStringLiteral("deviceId"), deviceId);
    insertIfPresent(object, QStringLiteral("stackTrace"), stackTrace);
    insertIfPresent(object, QStringLiteral("diagnostics"), diagnostics);
    insertIfPresent(object, QStringLiteral("dumpSummary"), dumpSummary);
    insertIfPresent(object, QStringLiteral("dumpSha256"), dumpSha256);
    insertIfPresent(object, QStringLiteral("signalName"), signalName);
    insertIfPresent(object, QStringLiteral("threadName"), threadName);
    insertIfPresent(object, QStringLiteral("buildId"), buildId);
    return object;
}
