// The account's devices and the per-device protocol configurations with their provisioning delay.
#include "ControlPlane.h"
#include "ProtocolConfig.h"

Reply ControlPlane::devices(const Call &call)
{
    QJsonArray devices;
    for (const DeviceRecord &d : call.account->devices)
        devices.append(d.toJson());
    return Reply::json({{QStringLiteral("devices"), devices},
                        {QStringLiteral("max_devices"), call.account->maxDevices()},
                        {QStringLiteral("active_device_count"), call.account->activeDeviceCount()}});
}

Reply ControlPlane::bindDevice(const Call &call)
{
    const JsonBody body(call.request);
    const std::optional<QString> clientId = body.optionalString(QStringLiteral("deviceId"));
    const QString name = body.requiredString(QStringLiteral("deviceName"));
    const QString type = body.requiredString(QStringLiteral("deviceType"));
    const QString os = body.requiredString(QStringLiteral("os"));
    const QString appVersion = body.requiredString(QStringLiteral("appVersion"));

    AccountRecord &account = *call.account;
    // A computer that binds again with its own id gets its old record back instead of a second slot.
    DeviceRecord *device = nullptr;
    if (clientId && !clientId->isEmpty()) {
        for (DeviceRecord &d : account.devices) {
            if (d.clientDeviceId == *clientId)
                device = &d;
        }
    }
    const bool takesSlot = !device || device->status != QLatin1String("active");
    if (takesSlot) {
        const int max = account.maxDevices();
        if (max < 1)
            throw HttpError(403, QStringLiteral("当前套餐未开放设备绑定，请先开通或续费套餐。"),
                            QStringLiteral("NO_DEVICE_SLOTS"));
        if (account.activeDeviceCount() >= max)
            throw HttpError(403,
                            QStringLiteral("已绑定设备 %1/%2，请先在设置中解绑不用的设备。")
                                .arg(account.activeDeviceCount())
                                .arg(max),
                            QStringLiteral("DEVICE_LIMIT"));
    }
    const bool created = !device;
    if (created) {
        account.devices.append(DeviceRecord{});
        device = &account.devices.last();
        device->id = QStringLiteral("dev_") + randomHex(8);
        device->clientDeviceId = clientId.value_or(QString());
    }
    device->name = name;
    device->type = type;
    device->os = os;
    device->appVersion = appVersion;
    device->status = QStringLiteral("active");
    device->lastLoginAt = isoTime(nowMs());
    return Reply::json({{QStringLiteral("device"), device->toJson()}}, created ? 201 : 200);
}

Reply ControlPlane::deleteDevice(const Call &call)
{
    AccountRecord &account = *call.account;
    const QString id = call.params.value(0);
    const auto found =
        std::find_if(account.devices.begin(), account.devices.end(), [&](const DeviceRecord &d) { return d.id == id; });
    if (found == account.devices.end())
        throw HttpError(404, QStringLiteral("设备不存在。"), QStringLiteral("DEVICE_NOT_FOUND"));
    account.devices.erase(found);
    // Unbinding revokes the device's credentials on every node.
    for (auto it = m_credentials.begin(); it != m_credentials.end();)
        it = it.key().startsWith(id + QLatin1Char('|')) ? m_credentials.erase(it) : std::next(it);
    return Reply::ok();
}

ControlPlane::Credential &ControlPlane::credentialFor(const DeviceRecord &device, const EndpointRecord &endpoint)
{
    const QString key = device.id + QLatin1Char('|') + endpoint.id;
    auto it = m_credentials.find(key);
    if (it == m_credentials.end()) {
        Credential c;
        c.startedAtMs = nowMs();
        c.credentialId = QStringLiteral("cred_") + randomHex(6);
        c.wireGuardPrivateKey = ProtocolConfig::newWireGuardKey();
        const int host = m_wireGuardHosts++;
        c.wireGuardAddress = QStringLiteral("10.66.%1.%2/32").arg(host / 250).arg(host % 250 + 2);
        it = m_credentials.insert(key, c);
    }
    return *it;
}

Reply ControlPlane::protocolConfig(const Call &call)
{
    const JsonBody body(call.request);
    const QString endpointId = body.requiredString(QStringLiteral("endpoint_id"));
    const QString deviceId = body.requiredString(QStringLiteral("device_id"));
    const QString mode = body.requiredString(QStringLiteral("outbound_mode"));
    // The rest is only checked for shape; the trace values are kept for inspection.
    for (const char *key : {"platform", "client_region", "network_type", "attempt_id", "request_id", "build_id"})
        body.requiredString(QLatin1String(key));
    body.requiredInteger(QStringLiteral("wait_for_ready_ms"));
    body.optionalBool(QStringLiteral("is_overseas"));

    QJsonObject seen{{QStringLiteral("at"), isoTime(nowMs())},
                     {QStringLiteral("userId"), call.account->id},
                     {QStringLiteral("pathDeviceId"), call.params.value(0)},
                     {QStringLiteral("headers"), call.request.headersJson()},
                     {QStringLiteral("body"), body.object()}};
    const auto answer = [&](const QJsonObject &json, int status, const QString &state) {
        seen.insert(QStringLiteral("answer"), state);
        m_protocolConfigRequests.append(seen);
        return Reply::json(json, status);
    };
    const auto refuse = [&](int status, const QString &message, const QString &code) {
        seen.insert(QStringLiteral("answer"), code);
        m_protocolConfigRequests.append(seen);
        return Reply::error(status, message, code);
    };

    if (deviceId != call.params.value(0))
        return refuse(400, QStringLiteral("device_id 与请求路径中的设备不一致。"), QStringLiteral("DEVICE_MISMATCH"));
    if (mode != QLatin1String("smart") && mode != QLatin1String("enhanced"))
        return refuse(400, QStringLiteral("outbound_mode 只能是 smart 或 enhanced。"), QStringLiteral("INVALID_FIELD"));
    const DeviceRecord *device = call.account->device(deviceId);
    if (!device)
        return refuse(404, QStringLiteral("设备不存在或已解绑。"), QStringLiteral("DEVICE_NOT_FOUND"));
    if (device->status != QLatin1String("active"))
        return refuse(403, QStringLiteral("设备已停用，请重新绑定。"), QStringLiteral("DEVICE_INACTIVE"));
    const EndpointRecord *endpoint = m_data.endpoint(endpointId);
    if (!endpoint)
        return refuse(404, QStringLiteral("节点不存在。"), QStringLiteral("ENDPOINT_NOT_FOUND"));
    if (endpoint->isOffline())
        return refuse(409, QStringLiteral("节点已下线，请切换其他节点。"), QStringLiteral("ENDPOINT_OFFLINE"));
    if (call.account->subscriptionExpired(nowMs()))
        return refuse(403, QStringLiteral("套餐已过期，请续费后再连接。"), QStringLiteral("SUBSCRIPTION_EXPIRED"));

    const Settings &s = m_data.settings;
    const Credential &credential = credentialFor(*device, *endpoint);
    const qint64 provisioningMs = endpoint->provisioningMs.value_or(s.provisioningDelayMs);
    if (nowMs() - credential.startedAtMs < provisioningMs)
        return answer(ProtocolConfig::notReady(*endpoint, s.retryAfterMs, s.maxWaitMs), 202,
                      QStringLiteral("provisioning"));
    if (endpoint->provisioningFails)
        return answer(ProtocolConfig::failed(*endpoint), 200, QStringLiteral("failed"));
    const ProtocolConfig::Issued issued{device->id, credential.credentialId, credential.wireGuardPrivateKey,
                                        credential.wireGuardAddress, credential.startedAtMs};
    return answer(ProtocolConfig::ready(*endpoint, endpoint->upstream.value_or(s.upstream), mode, issued), 200,
                  QStringLiteral("ready"));
}
