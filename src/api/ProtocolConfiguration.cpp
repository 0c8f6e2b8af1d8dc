#include "ProtocolConfiguration.h"

#include "TovrenRuntimeError.h"

std::optional<JSONValue> ProtocolConfiguration::preferredSingBoxConfig(const APIProtocolConfigResponse &response)
{
    if (response.rawConfig) {
        // A raw configuration may wrap the real one; only the first of these names that exists is considered.
        for (const char *name : {"singBoxConfig", "sing_box_config", "singbox_config"}) {
            if (const JSONValue *inner = response.rawConfig->member(QLatin1String(name))) {
                if (inner->isSingBoxConfig())
                    return *inner;
                break;
            }
        }
        if (response.rawConfig->isSingBoxConfig())
            return response.rawConfig;
    }
    if (response.singBoxConfig && response.singBoxConfig->isSingBoxConfig())
        return response.singBoxConfig;
    return std::nullopt;
}

ProtocolConfiguration ProtocolConfiguration::from(const APIProtocolConfigResponse &response,
                                                  const QString &fallbackEndpointId)
{
    if (!response.protocolConfigV2 || !response.protocolConfigV2->runtime)
        throw TovrenRuntimeError::missingProtocolConfig();
    const APIProtocolConfigV2 &v2 = *response.protocolConfigV2;
    const APIProtocolRuntimeV2 &runtime = *v2.runtime;

    ProtocolConfiguration result;
    result.protocolKind = protocolKindFromApiValue(v2.protocolType);
    if (result.protocolKind == ProtocolKind::unknown)
        throw TovrenRuntimeError::missingProtocolConfig();

    result.wireGuardConfigText = runtime.wireGuardConfig;
    if (result.protocolKind == ProtocolKind::wireguard) {
        if (!result.wireGuardConfigText)
            result.wireGuardConfigText = runtime.configText;
        if (!result.wireGuardConfigText || result.wireGuardConfigText->isEmpty())
            throw TovrenRuntimeError::missingProtocolConfig();
    } else {
        result.singBoxConfig = preferredSingBoxConfig(response);
        if (!result.singBoxConfig)
            result.singBoxConfig = runtime.singBoxConfig ? runtime.singBoxConfig : runtime.config;
        result.singBoxConfigText = runtime.configText;
        if (!result.singBoxConfig && !result.singBoxConfigText)
            throw TovrenRuntimeError::missingProtocolConfig();
    }

    result.endpointId = v2.endpointId.value_or(fallbackEndpointId);
    result.cacheKey = v2.cache ? v2.cache->cacheKey.value_or(QString()) : QString();
    result.configRevision = v2.cache ? v2.cache->configRevision.value_or(0) : 0;
    result.rawConfig = response.rawConfig;
    return result;
}

QJsonObject ProtocolConfiguration::toJson() const
{
    QJsonObject object{{QStringLiteral("endpointId"), endpointId},
                       {QStringLiteral("protocolKind"), rawValue(protocolKind)},
                       {QStringLiteral("cacheKey"), cacheKey},
                       {QStringLiteral("configRevision"), configRevision}};
    insertIfPresent(object, QStringLiteral("wireGuardConfigText"), wireGuardConfigText);
    insertIfPresent(object, QStringLiteral("singBoxConfigText"), singBoxConfigText);
    if (singBoxConfig)
        object.insert(QStringLiteral("singBoxConfig"), singBoxConfig->toJson());
    if (rawConfig)
        object.insert(QStringLiteral("rawConfig"), rawConfig->toJson());
    return object;
}

ProtocolConfiguration ProtocolConfiguration::decode(const JsonObjectReader &json)
{
    ProtocolConfiguration c;
    c.endpointId = json.required<QString>(u"endpointId");
    const QString kind = json.required<QString>(u"protocolKind");
    const auto parsed = protocolKindFromRawValue(kind);
    if (!parsed)
        throw DecodingError(DecodingError::Kind::dataCorrupted, jsonChildPath(json.path(), u"protocolKind"),
                            QStringLiteral("unknown protocol \"%1\"").arg(kind));
    c.protocolKind = *parsed;
    c.wireGuardConfigText = json.optional<QString>(u"wireGuardConfigText");
    c.singBoxConfigText = json.optional<QString>(u"singBoxConfigText");
    c.singBoxConfig = json.optional<JSONValue>(u"singBoxConfig");
    c.rawConfig = json.optional<JSONValue>(u"rawConfig");
    c.cacheKey = json.required<QString>(u"cacheKey");
    c.configRevision = json.required<qint64>(u"configRevision");
    return c;
}
