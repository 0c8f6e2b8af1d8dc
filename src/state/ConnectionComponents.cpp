// The connection components of the WireGuard path: the in-app installation and the Terminal installer.
#include "AccountService.h"
#include "ConnectionController.h"
#include "EndpointRanking.h"

#include "base/ProductPaths.h"
#include "runtime/CommandRunner.h"
#include "runtime/FileSystemError.h"
#include "runtime/HostPaths.h"
#include "tunnel/WireGuardToolInstallerError.h"

#include <QFile>

namespace {

// Brew from Homebrew's two prefixes or the user's PATH; the result of the installation decides the last line.
// The script only prints Homebrew's own installation command and never runs it.
const char installScript[] = R"zsh(#!/bin/zsh
clear
echo "Tovren WireGuard Tools installer"
echo ""
echo "This window will install Bash 4+ and wireguard-tools for Tovren."
echo ""

if [ -x /opt/homebrew/bin/brew ]; then
  BREW=/opt/homebrew/bin/brew
elif [ -x /usr/local/bin/brew ]; then
  BREW=/usr/local/bin/brew
else
  BREW="$(command -v brew)"
fi

if [ -z "$BREW" ]; then
  echo "Homebrew was not found on this Mac."
  echo ""
  echo "Please install Homebrew first, then open Tovren and click connect again:"
  echo '/bin/bash -c "$(curl -fsSL https://raw.githubusercontent.com/Homebrew/install/HEAD/install.sh)"'
  echo ""
  read -k 1 "?Press any key to close..."
  exit 1
fi

echo "Using Homebrew: $BREW"
echo ""
"$BREW" install bash wireguard-tools
STATUS=$?

echo ""
if [ $STATUS -eq 0 ]; then
  echo "WireGuard Tools installed. Return to Tovren and click connect again."
else
  echo "Installation failed. Please check the output above."
fi
echo ""
read -k 1 "?Press any key to close..."
exit $STATUS
)zsh";

const QString terminalInstallerFailure = QStringLiteral("打开终端安装失败");

} // namespace

QCoro::Task<> ConnectionController::installWireGuardTools()
{
    m_model.setComponentInstallState(ComponentInstallState::installing);
    m_model.appendLog(QStringLiteral("正在一键安装 Tovren 连接组件。"));
    bool homebrewMissing = false;
    QString description;
    std::optional<QString> installed;
    try {
        installed = co_await m_toolInstaller.install();
    } catch (const WireGuardToolInstallerError &error) {
        homebrewMissing = error.kind() == WireGuardToolInstallerError::Case::homebrewMissing;
        description = error.description();
    } catch (const std::exception &error) {
        description = describeError(error);
    }

    if (installed) {
        m_model.setComponentInstallState(ComponentInstallState::installed);
        m_model.appendLog(*installed);
        m_model.alert(QStringLiteral("连接组件已安装完成，请重新点击一键连接。"));
        co_return;
    }
    if (homebrewMissing) {
        m_model.setComponentInstallState(ComponentInstallState::needsHomebrew);
        m_model.appendLog(QStringLiteral("未检测到 Homebrew，切换到终端安装引导。"));
        m_model.setAlertAction(AppAlertAction::openTerminalInstaller);
        m_model.setAlertMessage(
            QStringLiteral("未检测到 Homebrew，Tovren 暂时无法在应用内完成组件安装。\n\n"
                           "点击“打开终端安装”后，会进入一次性安装引导。安装完成后回到 Tovren 再点一键连接。"));
        co_return;
    }
    const QString detail = description.isEmpty() ? QStringLiteral("连接组件安装失败。") : description;
    m_model.setComponentInstallState(ComponentInstallState::makeFailed(detail));
    m_model.appendLog(QStringLiteral("连接组件安装失败：") + detail);
    m_model.setAlertAction(AppAlertAction::installWireGuardTools);
    m_model.setAlertMessage(detail);
}

QCoro::Task<> ConnectionController::installWireGuardToolsInTerminal()
{
    QString script;
    try {
        script = makeWireGuardToolsInstallScript();
    } catch (const std::exception &error) {
        m_model.present(error, terminalInstallerFailure);
        co_return;
    }
    // `open` hands a .command file to Terminal, its default application.
    const QStringList arguments(script);
    const CommandResult opened =
        co_await CommandRunner::runResult(HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::open)), arguments);
    if (opened.status != 0) {
        m_model.present(TovrenError(CommandRunner::failureMessage(opened).trimmed()), terminalInstallerFailure);
        co_return;
    }
    m_model.appendLog(QStringLiteral("已打开终端安装 Tovren 连接组件。"));
}

QString ConnectionController::makeWireGuardToolsInstallScript()
{
    const QString directory = ProductPaths::installersDirectory();
    if (!ProductPaths::ensurePrivateDirectory(directory))
        throw FileSystemError(QStringLiteral("无法创建目录"), directory, qt_error_string(errno));
    const QString path = directory + QStringLiteral("/install-wireguard-tools.command");

    // Terminal runs the script as its owner, the only one who needs to read or run it: written owner-only from
    // the first byte (never world-writable under a permissive umask), then made executable for the owner.
    errno = 0;
    if (!ProductPaths::writePrivateFileAtomically(path, QByteArray(installScript)))
        throw FileSystemError(QStringLiteral("无法写入文件"), path, errno ? qt_error_string(errno) : QString());
    const auto executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (!QFile::setPermissions(path, executable))
        throw FileSystemError(QStringLiteral("无法设置文件权限"), path, qt_error_string(errno));
    return path;
}
