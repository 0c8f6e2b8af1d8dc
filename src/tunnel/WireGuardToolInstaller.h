#pragma once

#include "base/AsyncSerialQueue.h"

#include <QCoro/QCoroTask>
#include <QObject>

// Installs the connection components of the WireGuard path (Bash 4 or later and wireguard-tools) through
// Homebrew, as the signed-in user: Homebrew refuses to run as root, so no password is ever asked for.
// One installation runs at a time; a second request waits for the first.
class WireGuardToolInstaller final : public QObject
{
    Q_OBJECT

public:
    explicit WireGuardToolInstaller(QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(WireGuardToolInstaller)

    // Returns the success text for the activity log. Throws WireGuardToolInstallerError (homebrewMissing,
    // installFailed with brew's output) or CommandLaunchError.
    QCoro::Task<QString> install();

private:
    AsyncSerialQueue m_queue;
};
