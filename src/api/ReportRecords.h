#pragma once

#include "base/JsonDecoding.h"

#include <QMap>

// What the client reports to the control plane: the outcome of a connection and a client crash.

using StateRecord = QMap<QString, QString>; // one pipeline stage, every value under both key spellings

struct APIConnectionReportRequest
{
    QString deviceId;
    QString endpointId;
    QString protocolName; // travels under "protocol"
    QString status;
    qint64 latencyMs = 0;
    QString appVersion;
    QString clientPlatform;
    std::optional<QString> errorMessage;
    QString stateStage;
    QString reasonCode;
    qint64 quickVerifyMs = 0;
    QString clientRegion;
    QString networkType;
    std::optional<bool> isOverseas;
    QString attemptId;
    QString requestId;
    QString buildId;
    qint64 connectDurationMs = 0;
    QList<StateRecord> stateLog;

    QJsonObject toJson() const;
};

struct APIClientCrashReportRequest
{
    std::optional<QString> deviceId;
    QString clientPlatform;
    QString appVersion;
    QString crashType;
    QString reason;
    std::optional<QString> stackTrace;
    std::optional<QString> diagnostics;
    std::optional<QString> dumpSummary;
    std::optional<QString> dumpSha256;
    std::optional<QString> signalName;
    std::optional<QString> threadName;
    std::optional<QString> buildId;

    QJsonObject toJson() const;
};
