#pragma once

#include "api/ProtocolConfiguration.h"
#include "base/Types.h"

// The configuration that last worked, kept on disk so that a later connect can start from it. It holds
// credentials: the file is the owner's alone.
struct QuickConnectCacheRecord
{
    std::optional<QString> userId;
    QString deviceId;
    QString endpointId;
    OutboundMode outboundMode = OutboundMode::smart;
    ProtocolConfiguration protocolConfiguration;
    double cachedAt = 0;     // seconds since 1970
    double successfulAt = 0; // seconds since 1970; equal to cachedAt

    QJsonObject toJson() const;
    static QuickConnectCacheRecord decode(const JsonObjectReader &json);
    friend bool operator==(const QuickConnectCacheRecord &, const QuickConnectCacheRecord &) = default;
};
