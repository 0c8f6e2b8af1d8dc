#include "DeviceIdentityStore.h"

#include "base/Preferences.h"

#include <QUuid>

namespace {
bool isAccount(const std::optional<QString> &userId)
{
    return userId && !userId->isEmpty();
}
} // namespace

QString DeviceIdentityStore::clientDeviceId() const
{
    const QString key(clientDeviceIdKey);
    if (const auto stored = m_preferences.stringValue(key); stored && !stored->isEmpty())
        return *stored;
    if (const auto legacy = m_preferences.stringValue(QString(legacyDeviceIdKey)); legacy && !legacy->isEmpty()) {
        m_preferences.setString(key, *legacy);
        return *legacy;
    }
    const QString made = QStringLiteral("macos-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    m_preferences.setString(key, made);
    return made;
}

std::optional<QString> DeviceIdentityStore::serverDeviceId(const std::optional<QString> &userId) const
{
    if (!isAccount(userId))
        return std::nullopt;
    std::optional<QString> id = m_preferences.stringValue(serverDeviceIdKey(*userId));
    if (id && id->isEmpty())
        return std::nullopt;
    return id;
}

void DeviceIdentityStore::saveServerDeviceId(const QString &deviceId, const std::optional<QString> &userId)
{
    if (!isAccount(userId))
        return;
    m_preferences.setString(serverDeviceIdKey(*userId), deviceId);
}
