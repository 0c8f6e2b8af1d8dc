#pragma once

#include <QByteArray>
#include <QString>

// Where the client keeps its files: a folder named after the product in the user's Application Support
// (macOS) or XDG data folder (elsewhere).
namespace ProductPaths {

QString productDirectory();               // ".../Tovren"
QString protocolsDirectory();             // ".../Tovren/Protocols"
QString singBoxDirectory();               // ".../Tovren/sing-box"
QString installersDirectory();            // ".../Tovren/Installers"
QString cacheDirectory();                 // ".../Tovren/Cache" (XDG cache folder elsewhere)

// Creates the folder and its missing parents owner-only (0700) from the start, whatever the umask; folders
// that exist keep their modes.
bool createPrivatePath(const QString &path);

// Creates the folder (and its parents) if needed and makes it owner-only (0700).
bool ensurePrivateDirectory(const QString &path);

// Writes the bytes so that the file is never readable by anyone but the owner, not even for an instant:
// a temporary file is created 0600 before the first byte, then renamed over the target.
// Returns false (and leaves any old file untouched) when any step fails.
bool writePrivateFileAtomically(const QString &path, const QByteArray &bytes);

} // namespace ProductPaths
