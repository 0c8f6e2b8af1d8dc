#pragma once

#include "base/JSONValue.h"
#include "base/JsonDecoding.h"

// The per-device protocol configuration of one endpoint, as requested and as the control plane answers: a flat
// shape whose keys vary in spelling, and a nested shape under "protocolConfigV2".

struct APIProtocolConfigRequest
{
    QString endpointId;
    QString deviceId;
    QString platform;
    QString outboundMode;
    qint64 waitForReadyMs = 0;
    QString clientRegion;
    QString networkType;
    std::optional<bool> isOverseas;
    QString attemptId;
    QString requestId;
    QString buildId;

    QJsonObject toJson() const;
};

struct APIProtocolRuntimeV2
{
    std::optional<QString> configText;
    std::optional<QString> wireGuardConfig;
    std::optional<JSONValue> singBoxConfig;
    std::optional<JSONValue> config;

    static APIProtocolRuntimeV2 decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolRuntimeV2 &, const APIProtocolRuntimeV2 &) = default;
};

struct APIProtocolCache
{
    std::optional<QString> cacheKey;
    std::optional<QString> credentialId;
    std::optional<qint64> configRevision;
    std::optional<QString> expiresAt;
    std::optional<QString> endpointUpdatedAt;

    static APIProtocolCache decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolCache &, const APIProtocolCache &) = default;
};

struct APIProtocolLifecycle
{
    std::optional<QString> nodeSyncStatus;

    static APIProtocolLifecycle decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolLifecycle &, const APIProtocolLifecycle &) = default;
};

struct APIProtocolProvisioning
{
    std::optional<QString> status;
    std::optional<QString> message;
    std::optional<qint64> retryAfterMs;
    std::optional<qint64> maxWaitMs;

    static APIProtocolProvisioning decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolProvisioning &, const APIProtocolProvisioning &) = default;
};

struct APIProtocolConfigV2
{
    std::optional<QString> endpointId;
    std::optional<QString> protocolType;
    std::optional<QString> adapter;
    std::optional<APIProtocolRuntimeV2> runtime;
    std::optional<APIProtocolCache> cache;
    std::optional<QString> configStatus;
    std::optional<APIProtocolLifecycle> lifecycle;
    std::optional<APIProtocolProvisioning> provisioning;

    static APIProtocolConfigV2 decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolConfigV2 &, const APIProtocolConfigV2 &) = default;
};

// Whether the node has its credentials yet, and how long to keep asking. Computed, never decoded.
struct APIProtocolReadiness
{
    QString status;
    std::optional<QString> message;
    qint64 retryAfterMs = 1000;
    qint64 maxWaitMs = 5000;

    friend bool operator==(const APIProtocolReadiness &, const APIProtocolReadiness &) = default;
};

struct APIProtocolConfigResponse
{
    std::optional<QString> endpointId;
    QString protocolType = QStringLiteral("wireguard");
    std::optional<QString> configText;
    std::optional<JSONValue> singBoxConfig;
    std::optional<QString> wireGuardConfig;
    std::optional<JSONValue> rawConfig;
    std::optional<APIProtocolConfigV2> protocolConfigV2;
    std::optional<QString> configStatus;
    std::optional<QString> message;
    std::optional<qint64> retryAfterMs;
    std::optional<qint64> maxWaitMs;
    std::optional<APIProtocolProvisioning> provisioning;

    APIProtocolReadiness readiness() const;
    // One line for the activity log: which of the configuration's parts arrived.
    QString runtimeDebugSummary() const;

    static APIProtocolConfigResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIProtocolConfigResponse &, const APIProtocolConfigResponse &) = default;
};
