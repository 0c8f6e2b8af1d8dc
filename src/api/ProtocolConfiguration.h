#pragma once

#include "ProtocolConfigRecords.h"
#include "base/JSONValue.h"
#include "base/Types.h"

// The client's normalised configuration for one endpoint: WireGuard text for WireGuard, at least one sing-box
// form for every other protocol. The tunnel consumes it; the quick-connect cache stores it as JSON.
struct ProtocolConfiguration
{
    QString endpointId;
    ProtocolKind protocolKind = ProtocolKind::unknown;
    std::optional<QString> wireGuardConfigText;
    std::optional<QString> singBoxConfigText;
    std::optional<JSONValue> singBoxConfig;
    std::optional<JSONValue> rawConfig; // the answer's raw configuration, kept as received
    QString cacheKey;                   // empty when the control plane gave none
    qint64 configRevision = 0;

    // Throws TovrenRuntimeError::missingProtocolConfig when the answer holds nothing the tunnel can use.
    static ProtocolConfiguration from(const APIProtocolConfigResponse &response, const QString &fallbackEndpointId);

    QJsonObject toJson() const;
    static ProtocolConfiguration decode(const JsonObjectReader &json);

    friend bool operator==(const ProtocolConfiguration &, const ProtocolConfiguration &) = default;

private:
    static std::optional<JSONValue> preferredSingBoxConfig(const APIProtocolConfigResponse &response);
};
