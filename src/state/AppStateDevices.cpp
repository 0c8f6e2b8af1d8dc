// The account's devices: the bootstrap answer, the device list, recognising this computer, unbinding.
#include "AppState.h"
#include "ControlPlaneMapping.h"
#include "HostInfo.h"

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

QString AppState::thisComputerName() const
{
    return m_computerName.value_or(HostInfo::computerName());
}

QCoro::Task<void> AppState::loadComputerName()
{
    if (!m_computerName)
        m_computerName = co_await HostInfo::readComputerName();
}

QCoro::Task<void> AppState::syncClientBootstrap(QString token)
{
    co_await loadComputerName();
    const APIClientBootstrapResponse answer = co_await m_api->clientBootstrap(token);
    if (!isCurrentSession(token))
        co_return;
    if (answer.user) {
        setCurrentUser(*answer.user);
        setMaxDevices(clampedCount(answer.user->maxDevices));
    }
    if (answer.maxDevices)
        setMaxDevices(clampedCount(*answer.maxDevices)); // the answer's own limit wins over the user's
    if (!answer.endpoints.isEmpty())
        applyBootstrapEndpoints(answer.endpoints);
    if (!answer.devices) {
        co_await syncDevices(token);
        co_return;
    }
    applyDeviceRules(*answer.devices);
}

QCoro::Task<void> AppState::syncDevices(QString token)
{
    co_await loadComputerName();
    const APIDevicesResponse answer = co_await m_api->devices(token);
    if (!isCurrentSession(token))
        co_return;
    setMaxDevices(clampedCount(answer.maxDevices));
    setActiveDeviceCount(clampedCount(answer.activeDeviceCount));
    if (applyDeviceRules(answer.devices))
        co_return;
    // Not recognised: the current device stays only while the account still lists it, and then as listed now
    // (a revoked device must not keep looking active).
    if (m_currentDevice) {
        const auto listed = std::find_if(m_devices.cbegin(), m_devices.cend(),
                                         [this](const Device &d) { return d.id == m_currentDevice->id; });
        setCurrentDevice(listed != m_devices.cend() ? std::optional<Device>(*listed) : std::nullopt);
    }
}

bool AppState::applyDeviceRules(const QList<APIDevice> &records)
{
    const std::optional<QString> userId = currentUserId();
    const QString reference =
        m_currentDevice ? m_currentDevice->id : m_deviceIdentity.serverDeviceId(userId).value_or(QString());
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
        setCurrentDevice(*std::find_if(devices.cbegin(), devices.cend(), [&](const Device &d) { return d.id == id; }));
    }
    setDevices(devices);
    return found;
}

int AppState::effectiveMaxDevices() const
{
    if (m_maxDevices >= 1)
        return m_maxDevices;
    return m_currentUser ? clampedCount(m_currentUser->maxDevices) : 0;
}

QString AppState::deviceUsage() const
{
    return QString::number(m_activeDeviceCount) + QStringLiteral(" / ") + QString::number(effectiveMaxDevices()) +
           QStringLiteral(" 设备");
}

QList<Device> AppState::visibleDevices() const
{
    return m_devicesExpanded ? m_devices : m_devices.mid(0, 2);
}

QCoro::Task<void> AppState::unbindDevice(Device device)
{
    if (!m_token) {
        setShowAuthSheet(true);
        co_return;
    }
    if (device.isCurrent || (m_currentDevice && m_currentDevice->id == device.id)) {
        setAlertAction(std::nullopt);
        setAlertMessage(QStringLiteral("当前设备不能在本机直接解绑。"));
        co_return;
    }
    const BusyMark busy(*this);
    const QString token = *m_token;
    try {
        co_await m_api->deleteDevice(device.id, token);
        appendLog(QStringLiteral("已解绑设备：") + device.platform + QStringLiteral("。"));
        co_await syncDevices(token);
    } catch (const std::exception &error) {
        if (isCurrentSession(token))
            present(error, QStringLiteral("解绑设备失败"));
    }
}
