#include "WireGuardToolInstaller.h"

#include "WireGuardCommands.h"
#include "WireGuardToolInstallerError.h"

#include "runtime/CommandRunner.h"
#include "runtime/HostPaths.h"

WireGuardToolInstaller::WireGuardToolInstaller(QObject *parent) : QObject(parent)
{
}

QCoro::Task<QString> WireGuardToolInstaller::install()
{
    const auto turn = co_await m_queue.turn();
    const std::optional<QString> brew = WireGuardCommands::findBrewPath();
    if (!brew)
        throw WireGuardToolInstallerError::homebrewMissing();
    const QStringList arguments{QStringLiteral("install"), QStringLiteral("bash"), QStringLiteral("wireguard-tools")};
    co_await CommandRunner::runForCombinedOutput(HostPaths::resolve(*brew), arguments, [](const QString &output) {
        return WireGuardToolInstallerError::installFailed(output);
    });
    co_return QStringLiteral("Tovren 连接组件安装完成。");
}
