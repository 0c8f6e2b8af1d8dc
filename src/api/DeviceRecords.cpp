#include "DeviceRecords.h"

namespace {

// "is_active" arrives as a boolean or as 0/1; anything unreadable counts as active rather than hiding a node.
bool readIsActive(const JsonObjectReader &json)
{
    try {
        if (auto flag = json.optional<bool>(u"is_active"))
            return *flag;
    } catch (const DecodingError &) {
    }
    try {
        if (auto number = json.optional<qint64>(u"is_active"))
            return *number != 0;
    } catch (const DecodingError &) {
    }
    return true;
}

QStringList readProtocols(const JsonObjectReader &json)
{
    if (auto list = json.optional<QStringList>(u"protocols"))
        return *list;
    if (auto single = json.firstOf<QString>({u"protocol", u"type"}))
        return {*single};
    return {QStringLiteral("wireguard")};
}

} // namespace

APIEndpoint APIEndpoint::decode(const JsonObjectReader &json)
{
    APIEndpoint e;
    e.id = json.required<QString>(u"id");
    e.region = json.optional<QString>(u"region").value_or(e.region);
    e.name = json.optional<QString>(u"name").value_or(e.id);
    e.host = json.optional<QString>(u"host");
    e.status = json.optional<QString>(u"status").value_or(e.status);
    e.latencyMs = json.optional<qint64>(u"latency_ms").value_or(0);
    e.loadPercent = json.optional<qint64>(u"load_percent").value_or(0);
    e.isActive = readIsActive(json);
    e.protocols = readProtocols(json);
    e.preferredProtocol = json.optional<QString>(u"preferred_protocol");
    if (!e.preferredProtocol && !e.protocols.isEmpty())
        e.preferredProtocol = e.protocols.first();
    return e;
}

APIDevice APIDevice::decode(const JsonObjectReader &json)
{
    APIDevice d;
    d.id = json.required<QString>(u"id");
    d.deviceName = json.firstOf<QString>({u"device_name", u"deviceName"}).value_or(d.deviceName);
    d.deviceType = json.firstOf<QString>({u"device_type", u"deviceType"}).value_or(d.deviceType);
    d.os = json.optional<QString>(u"os").value_or(QString());
    d.appVersion = json.firstOf<QString>({u"app_version", u"appVersion"}).value_or(QString());
    d.status = json.optional<QString>(u"status").value_or(d.status);
    d.lastLoginAt = json.firstOf<QString>({u"last_login_at", u"lastLoginAt"});
    d.isOnline = json.firstOf<bool>({u"is_online", u"isOnline"}).value_or(false);
    d.connectionStatus = json.firstOf<QString>({u"connection_status", u"connectionStatus"});
    d.latestConnectionAt = json.firstOf<QString>({u"latest_connection_at", u"latestConnectionAt"});
    return d;
}

APIClientBootstrapResponse APIClientBootstrapResponse::decode(const JsonObjectReader &json)
{
    APIClientBootstrapResponse r;
    r.user = json.optional<APIUser>(u"user");
    r.endpoints = json.firstOf<QList<APIEndpoint>>({u"endpoints", u"nodes"}).value_or(QList<APIEndpoint>());
    r.devices = json.optional<QList<APIDevice>>(u"devices");
    r.maxDevices = json.optional<qint64>(u"max_devices");
    return r;
}

APIDevicesResponse APIDevicesResponse::decode(const JsonObjectReader &json)
{
    APIDevicesResponse r;
    r.devices = json.required<QList<APIDevice>>(u"devices");
    r.maxDevices = json.firstOf<qint64>({u"max_devices", u"maxDevices"}).value_or(0);
    r.activeDeviceCount = json.firstOf<qint64>({u"active_device_count", u"activeDeviceCount"}).value_or(0);
    return r;
}

APIDeviceResponse APIDeviceResponse::decode(const JsonObjectReader &json)
{
    return {json.required<APIDevice>(u"device")};
}

QJsonObject APIBindDeviceRequest::toJson() const
{
    QJsonObject object{{QStringLiteral("deviceName"), deviceName},
                       {QStringLiteral("deviceType"), deviceType},
                       {QStringLiteral("os"), os},
                       {QStringLiteral("appVersion"), appVersion}};
    insertIfPresent(object, QStringLiteral("deviceId"), deviceId);
    return object;
}
