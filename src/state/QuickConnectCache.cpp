#include "QuickConnectCache.h"

QJsonObject QuickConnectCacheRecord::toJson() const
{
    QJsonObject object{{QStringLiteral("deviceId"), deviceId},
                       {QStringLiteral("endpointId"), endpointId},
                       {QStringLiteral("outboundMode"), rawValue(outboundMode)},
                       {QStringLiteral("protocolConfiguration"), protocolConfiguration.toJson()},
                       {QStringLiteral("cachedAt"), cachedAt},
                       {QStringLiteral("successfulAt"), successfulAt}};
    insertIfPresent(object, QStringLiteral("userId"), userId);
    return object;
}

QuickConnectCacheRecord QuickConnectCacheRecord::decode(const JsonObjectReader &json)
{
    QuickConnectCacheRecord r;
    r.userId = json.optional<QString>(u"userId");
    r.deviceId = json.required<QString>(u"deviceId");
    r.endpointId = json.required<QString>(u"endpointId");
    const QString mode = json.required<QString>(u"outboundMode");
    // Only the exact raw values; a misspelt mode is a damaged file, not a smart-mode record.
    if (mode == rawValue(OutboundMode::smart))
        r.outboundMode = OutboundMode::smart;
    else if (mode == rawValue(OutboundMode::enhanced))
        r.outboundMode = OutboundMode::enhanced;
    else
        throw DecodingError(DecodingError::Kind::dataCorrupted, jsonChildPath(json.path(), u"outboundMode"),
                            QStringLiteral("unknown outbound mode \"%1\"").arg(mode));
    r.protocolConfiguration = json.required<ProtocolConfiguration>(u"protocolConfiguration");
    r.cachedAt = json.required<double>(u"cachedAt");
    r.successfulAt = json.required<double>(u"successfulAt");
    return r;
}
