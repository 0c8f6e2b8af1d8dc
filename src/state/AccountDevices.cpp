// The account's devices: the bootstrap answer, the device list, recognising and binding this computer, unbinding.
#include "AccountService.h"
#include "ControlPlaneMapping.h"
#include "HostInfo.h"
#include "api/TovrenRuntimeError.h"

namespace {

int clampedCount(qint64 value)
{
    return static_cast<int>(std::clamp<qint64>(value, 0, std::numeric_limits<int>::max()));
}

QList<Device> mapDevices(const QList<APIDevice> &records, const QString &currentDeviceId)
{
    QList<Device> devices;
    devices.reserve(records.size());
    for (const APIDevice &record : records)
        devices.append(deviceFromAPI(record, currentDeviceId));
    return devices;
}

} // namespace

QString AccountService::thisComputerName() const
{
    return m_computerName.value_or(HostInfo::computerName());
}

QCoro::Task<void> AccountService::loadComputerName()
{
    if (!m_computerName)
        m_computerName = co_await HostInfo::readComputerName();
}

QCoro::Task<void> AccountService::syncClientBootstrap(QString token)
{
    co_await loadComputerName();
    const APIClientBootstrapResponse answer = co_await m_dependencies.api->clientBootstrap(token);
    if (!isCurrentSession(token))
        co_return;
    if (answer.user) {
        m_model.setCurrentUser(*answer.user);
        m_model.setMaxDevices(clampedCount(answer.user->maxDevices));
    }
    if (answer.maxDevices)
        m_model.setMaxDevices(clampedCount(*answer.maxDevices)); // the answer's own limit wins over the user's
    if (!answer.endpoints.isEmpty())
        applyBootstrapEndpoints(answer.endpoints);
    if (!answer.devices) {
        co_await syncDevices(token);
        co_return;
    }
    applyDeviceRules(*answer.devices);
}

QCoro::Task<void> AccountService::syncDevices(QString token)
{
    co_await loadComputerName();
    const APIDevicesResponse answer = co_await m_dependencies.api->devices(token);
    if (!isCurrentSession(token))
        co_return;
    m_model.setMaxDevices(clampedCount(answer.maxDevices));
    m_model.setActiveDeviceCount(clampedCount(answer.activeDeviceCount));
    if (applyDeviceRules(answer.devices))
        co_return;
    // Not recognised: the current device stays only while the account still lists it, and then as listed now
    // (a revoked device must not keep looking active).
    if (m_model.currentDevice()) {
        const auto listed = std::find_if(m_model.devices().cbegin(), m_model.devices().cend(),
                                         [this](const Device &d) { return d.id == m_model.currentDevice()->id; });
        m_model.setCurrentDevice(listed != m_model.devices().cend() ? std::optional<Device>(*listed) : std::nullopt);
    }
}

bool AccountService::applyDeviceRules(const QList<APIDevice> &records)
{
    const std::optional<QString> userId = currentUserId();
    const QString reference = m_model.currentDevice() ? m_model.currentDevice()->id
                                                      : m_deviceIdentity.serverDeviceId(userId).value_or(QString());
    QList<Device> devices = mapDevices(records, reference);

    const auto isActive = [](const Device &d) { return d.status == u"active"; };
    auto recognised = std::find_if(devices.cbegin(), devices.cend(), [&](const Device &d) {
        return !reference.isEmpty() && d.id == reference && isActive(d);
    });
    if (recognised == devices.cend()) {
        const QString name = thisComputerName();
        const QString os = HostInfo::operatingSystemVersion();
        recognised = std::find_if(devices.cbegin(), devices.cend(), [&](const Device &d) {
            return isActive(d) && d.rawDeviceType == u"macos" && d.rawDeviceName == name && d.rawOS == os;
        });
    }

    const bool found = recognised != devices.cend();
    if (found) {
        const QString id = recognised->id;
        m_deviceIdentity.saveServerDeviceId(id, userId);
        devices = mapDevices(records, id); // exactly this computer is marked current
        m_model.setCurrentDevice(
            *std::find_if(devices.cbegin(), devices.cend(), [&](const Device &d) { return d.id == id; }));
    }
    m_model.setDevices(devices);
    return found;
}

int AccountService::effectiveMaxDevices() const
{
    if (m_model.maxDevices() >= 1)
        return m_model.maxDevices();
    return m_model.currentUser() ? clampedCount(m_model.currentUser()->maxDevices) : 0;
}

QCoro::Task<void> AccountService::unbindDevice(Device device)
{
    if (!m_model.token()) {
        m_model.setShowAuthSheet(true);
        co_return;
    }
    if (device.isCurrent || (m_model.currentDevice() && m_model.currentDevice()->id == device.id)) {
        m_model.alert(QStringLiteral("当前设备不能在本机直接解绑。"));
        co_return;
    }
    const StateModel::BusyMark busy(m_model);
    const QString token = *m_model.token();
    try {
        co_await m_dependencies.api->deleteDevice(device.id, token);
        m_model.appendLog(QStringLiteral("已解绑设备：") + device.platform + QStringLiteral("。"));
        co_await syncDevices(token);
    } catch (const std::exception &error) {
        if (isCurrentSession(token))
            m_model.present(error, QStringLiteral("解绑设备失败"));
    }
}

std::optional<Device> AccountService::reusableCurrentDevice() const
{
    const auto active = [](const Device &d) { return d.status == u"active"; };
    if (const std::optional<QString> stored = m_deviceIdentity.serverDeviceId(currentUserId())) {
        for (const Device &device : m_model.devices()) {
            if (device.id == *stored && active(device))
                return device;
        }
    }
    const QString name = thisComputerName();
    const QString os = HostInfo::operatingSystemVersion();
    for (const Device &device : m_model.devices()) {
        if (active(device) && device.rawDeviceType == u"macos" && device.rawDeviceName == name && device.rawOS == os)
            return device;
    }
    return std::nullopt;
}

QCoro::Task<Device> AccountService::bindCurrentDeviceIfNeeded(QString token)
{
    if (m_model.currentDevice() && m_model.currentDevice()->status == u"active")
        co_return Device(*m_model.currentDevice()); // a copy: QCoro's return_value moves from an lvalue it is handed
    if (const std::optional<Device> reusable = reusableCurrentDevice()) {
        m_model.setCurrentDevice(reusable);
        m_deviceIdentity.saveServerDeviceId(reusable->id, currentUserId());
        m_model.appendLog(QStringLiteral("已复用本机设备绑定。"));
        co_return *reusable;
    }
    const int limit = effectiveMaxDevices();
    if (limit < 1)
        throw TovrenRuntimeError::noDeviceSlots();
    if (m_model.activeDeviceCount() >= limit)
        throw TovrenRuntimeError::deviceLimit(m_model.activeDeviceCount(), limit);

    co_await loadComputerName();
    APIBindDeviceRequest request;
    request.deviceId = m_deviceIdentity.clientDeviceId();
    request.deviceName = thisComputerName();
    request.deviceType = QStringLiteral("macos");
    request.os = HostInfo::operatingSystemVersion();
    request.appVersion = m_appVersion;
    const APIDeviceResponse answer = co_await m_dependencies.api->bindDevice(request, token);
    const Device device = deviceFromAPI(answer.device, answer.device.id);
    m_model.setCurrentDevice(device);
    m_deviceIdentity.saveServerDeviceId(device.id, currentUserId());
    co_return device;
}
