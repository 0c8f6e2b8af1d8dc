#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// Facts about this computer that the control plane sees when it is bound as a device and that recognise it again
// among the account's devices. Binding and recognition must use these same functions.
namespace HostInfo {

// The host name without its ".local", or "Mac" when there is none: what stands in for the computer name until
// (or when) scutil cannot tell it.
QString computerName();

// The computer name the user sees and sets in the Sharing settings ("scutil --get ComputerName"); it stays the
// same when the host name changes with the network. Falls back to computerName().
QCoro::Task<QString> readComputerName();

// The operating system and its version, as one line ("macOS Sonoma (14.5)").
QString operatingSystemVersion();

} // namespace HostInfo
