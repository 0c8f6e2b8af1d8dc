#pragma once

#include <QString>

// Facts about this computer that the control plane sees when it is bound as a device and that recognise it again
// among the account's devices. Binding and recognition must use these same functions.
namespace HostInfo {

// The computer's name as the user knows it, or "Mac" when it has none.
QString computerName();

// The operating system and its version, as one line ("macOS Sonoma (14.5)").
QString operatingSystemVersion();

} // namespace HostInfo
