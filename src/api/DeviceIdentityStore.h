#pragma once

#include <QLatin1String>
#include <QString>
#include <optional>

class Preferences;

// Keeps this installation's own device id and, per account, the id the control plane gave this computer
// when it was bound. Both survive sign-out, so the same account signing in again finds its device.
class DeviceIdentityStore final
{
public:
    static constexpr QLatin1String clientDeviceIdKey{"tovren.clientDeviceId"};
    // Where older versions kept a device id; read once for migration, never written.
    static constexpr QLatin1String legacyDeviceIdKey{"tovren.deviceId"};
    static constexpr QLatin1String serverDeviceIdKeyPrefix{"tovren.serverDeviceId."};

    explicit DeviceIdentityStore(Preferences &preferences) : m_preferences(preferences) {}

    // Never absent: taken over from the legacy key or made ("macos-" + a lower-case UUID) on first use and
    // stored, so it is stable from then on. An empty stored value is not an identity and is replaced.
    QString clientDeviceId() const;

    // None without a user id (an empty id names no account) and when nothing usable is stored.
    std::optional<QString> serverDeviceId(const std::optional<QString> &userId) const;
    void saveServerDeviceId(const QString &deviceId, const std::optional<QString> &userId);

    static QString serverDeviceIdKey(const QString &userId) { return serverDeviceIdKeyPrefix + userId; }

private:
    Preferences &m_preferences;
};
