#pragma once

#include "SystemProxySettings.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The user's own proxy settings, saved to disk before the client's first change, so that they come back even when
// the client never reaches its clean-up: the guard restores them after a crash, or the next start does. The file
// is owner-only and replaced atomically; it exists exactly while the settings are the client's.
namespace ProxySnapshotFile {

// ".../Tovren/system-proxy-snapshot.json"
QString path();

QByteArray encode(const QList<SystemProxy::ServiceProxySnapshot> &snapshot);
// Every field present with its type and range, or nothing: a damaged file is never applied in part.
std::optional<QList<SystemProxy::ServiceProxySnapshot>> decode(const QByteArray &bytes);

bool save(const QList<SystemProxy::ServiceProxySnapshot> &snapshot);
// Nothing when there is no file. A file that cannot be read is renamed to "<path>.unreadable" (replacing an older
// one) with a warning, and counts as none.
std::optional<QList<SystemProxy::ServiceProxySnapshot>> load();
void remove();

} // namespace ProxySnapshotFile
