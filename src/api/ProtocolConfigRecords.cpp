#include "ProtocolConfigRecords.h"

namespace {

// "config" is taken as it is; a bare "outbounds" list or a single "outbound" is wrapped into the shape of a
// sing-box configuration.
std::optional<JSONValue> readRawConfig(const JsonObjectReader &json)
{
    if (auto config = json.optional<JSONValue>(u"config"))
        return config;
    const QString outbounds = QStringLiteral("outbounds");
    if (auto list = json.optional<JSONValue>(u"outbounds"))
        return JSONValue(JSONValue::Object{{outbounds, *list}});
    if (auto single = json.optional<JSONValue>(u"outbound"))
        return JSONValue(JSONValue::Object{{outbounds, JSONValue(JSONValue::Array{*single})}});
    return std::nullopt;
}

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

QJsonObject APIProtocolConfigRequest::toJson() const
{
    QJsonObject object{{QStringLiteral("endpoint_id"), endpointId},
                       {QStringLiteral("device_id"), deviceId},
                       {QStringLiteral("platform"), platform},
                       {QStringLiteral("outbound_mode"), outboundMode},
                       {QStringLiteral("wait_for_ready_ms"), waitForReadyMs},
                       {QStringLiteral("client_region"), clientRegion},
                       {QStringLiteral("network_type"), networkType},
                       {QStringLiteral("attempt_id"), attemptId},
                       {QStringLiteral("request_id"), requestId},
                       {QStringLiteral("build_id"), buildId}};
    insertIfPresent(object, QStringLiteral("is_overseas"), isOverseas);
    return object;
}

APIProtocolRuntimeV2 APIProtocolRuntimeV2::decode(const JsonObjectReader &json)
{
    APIProtocolRuntimeV2 r;
    r.configText = json.firstOf<QString>({u"configText", u"config_text"});
    r.wireGuardConfig = json.firstOf<QString>({u"wireGuardConfig", u"wireguard_config"});
    r.singBoxConfig = json.firstOf<JSONValue>({u"singBoxConfig", u"sing_box_config"});
    r.config = json.optional<JSONValue>(u"config");
    return r;
}

APIProtocolCache APIProtocolCache::decode(const JsonObjectReader &json)
{
    APIProtocolCache c;
    c.cacheKey = json.firstOf<QString>({u"cacheKey", u"cache_key", u"key"});
    c.credentialId = json.firstOf<QString>({u"credentialId", u"credential_id"});
    c.configRevision = json.firstOf<qint64>({u"configRevision", u"config_revision"});
    c.expiresAt = json.firstOf<QString>({u"expiresAt", u"expires_at"});
    c.endpointUpdatedAt = json.firstOf<QString>({u"endpointUpdatedAt", u"endpoint_updated_at"});
    return c;
}

APIProtocolLifecycle APIProtocolLifecycle::decode(const JsonObjectReader &json)
{
    return {json.firstOf<QString>({u"nodeSyncStatus", u"node_sync_status"})};
}

APIProtocolProvisioning APIProtocolProvisioning::decode(const JsonObjectReader &json)
{
    APIProtocolProvisioning p;
    p.status = json.optional<QString>(u"status");
    p.message = json.optional<QString>(u"message");
    p.retryAfterMs = json.firstOf<qint64>({u"retryAfterMs", u"retry_after_ms"});
    p.maxWaitMs = json.firstOf<qint64>({u"maxWaitMs", u"max_wait_ms"});
    return p;
}

APIProtocolConfigV2 APIProtocolConfigV2::decode(const JsonObjectReader &json)
{
    APIProtocolConfigV2 v;
    v.endpointId = json.firstOf<QString>({u"endpointId", u"endpoint_id"});
    v.protocolType = json.firstOf<QString>({u"protocol", u"protocol_type"});
    v.adapter = json.optional<QString>(u"adapter");
    v.runtime = json.optional<APIProtocolRuntimeV2>(u"runtime");
    v.cache = json.optional<APIProtocolCache>(u"cache");
    v.configStatus = json.firstOf<QString>({u"configStatus", u"config_status"});
    v.lifecycle = json.optional<APIProtocolLifecycle>(u"lifecycle");
    v.provisioning = json.optional<APIProtocolProvisioning>(u"provisioning");
    return v;
}

APIProtocolConfigResponse APIProtocolConfigResponse::decode(const JsonObjectReader &json)
{
    APIProtocolConfigResponse r;
    r.endpointId = json.firstOf<QString>({u"endpoint_id", u"endpointId", u"node_id"});
    r.protocolType = json.firstOf<QString>({u"protocol", u"protocol_type", u"type"}).value_or(r.protocolType);
    r.configText = json.firstOf<QString>({u"config_text", u"configText"});
    r.singBoxConfig = json.firstOf<JSONValue>({u"singBoxConfig", u"sing_box_config", u"singbox_config"});
    r.wireGuardConfig = json.firstOf<QString>({u"wireguard_config", u"wireGuardConfig"});
    r.rawConfig = readRawConfig(json);
    r.protocolConfigV2 = json.firstOf<APIProtocolConfigV2>({u"protocolConfigV2", u"protocol_config_v2"});
    r.configStatus = json.firstOf<QString>({u"configStatus", u"config_status"});
    r.message = json.optional<QString>(u"message");
    r.retryAfterMs = json.firstOf<qint64>({u"retryAfterMs", u"retry_after_ms"});
    r.maxWaitMs = json.firstOf<qint64>({u"maxWaitMs", u"max_wait_ms"});
    r.provisioning = json.optional<APIProtocolProvisioning>(u"provisioning");
    return r;
}

APIProtocolReadiness APIProtocolConfigResponse::readiness() const
{
    // Only the top-level provisioning record counts; the nested one is decoded and left alone.
    std::optional<QString> statusText = configStatus;
    if (!statusText && protocolConfigV2)
        statusText = protocolConfigV2->configStatus;
    if (!statusText && provisioning)
        statusText = provisioning->status;
    QString status = statusText.value_or(QString()).toLower();

    QString nodeSync;
    if (protocolConfigV2 && protocolConfigV2->lifecycle && protocolConfigV2->lifecycle->nodeSyncStatus)
        nodeSync = protocolConfigV2->lifecycle->nodeSyncStatus->toLower();
    if (status.isEmpty() && !nodeSync.isEmpty()) {
        if (nodeSync == u"synced" || nodeSync == u"not_required")
            status = QStringLiteral("ready");
        else if (nodeSync.contains(u"failed"))
            status = QStringLiteral("failed");
        else
            status = QStringLiteral("not_ready");
    }
    if (status.isEmpty())
        status = QStringLiteral("ready");

    APIProtocolReadiness result;
    result.status = status;
    result.message = message ? message : (provisioning ? provisioning->message : std::nullopt);
    if (retryAfterMs)
        result.retryAfterMs = *retryAfterMs;
    else if (provisioning && provisioning->retryAfterMs)
        result.retryAfterMs = *provisioning->retryAfterMs;
    if (maxWaitMs)
        result.maxWaitMs = *maxWaitMs;
    else if (provisioning && provisioning->maxWaitMs)
        result.maxWaitMs = *provisioning->maxWaitMs;
    return result;
}

QString APIProtocolConfigResponse::runtimeDebugSummary() const
{
    const APIProtocolConfigV2 *v2 = protocolConfigV2 ? &*protocolConfigV2 : nullptr;
    const APIProtocolRuntimeV2 *runtime = v2 && v2->runtime ? &*v2->runtime : nullptr;
    const QString proto = v2 && v2->protocolType ? *v2->protocolType : protocolType;
    const QStringList items{
        QStringLiteral("v2=") + flag(v2),
        QStringLiteral("proto=") + proto,
        QStringLiteral("runtime=") + flag(runtime),
        QStringLiteral("rtText=") + flag(runtime && runtime->configText),
        QStringLiteral("rtWG=") + flag(runtime && runtime->wireGuardConfig),
        QStringLiteral("rtSB=") + flag(runtime && runtime->singBoxConfig),
        QStringLiteral("rtConfig=") + flag(runtime && runtime->config),
        QStringLiteral("topSB=") + flag(singBoxConfig.has_value()),
        QStringLiteral("topRaw=") + flag(rawConfig.has_value()),
    };
    return items.join(QLatin1Char(' '));
}
