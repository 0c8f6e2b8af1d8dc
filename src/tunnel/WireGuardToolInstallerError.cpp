#include "WireGuardToolInstallerError.h"

WireGuardToolInstallerError::WireGuardToolInstallerError(Case kind, const QString &description, QString output)
    : TovrenError(description), m_case(kind), m_output(std::move(output))
{
}

WireGuardToolInstallerError WireGuardToolInstallerError::installFailed(const QString &output)
{
    const QString trimmed = output.trimmed();
    const QString shown =
        trimmed.isEmpty() ? QStringLiteral("连接组件安装失败。") : QStringLiteral("连接组件安装失败：") + trimmed;
    return WireGuardToolInstallerError(Case::installFailed, shown, output);
}

WireGuardToolInstallerError WireGuardToolInstallerError::homebrewMissing()
{
    return WireGuardToolInstallerError(Case::homebrewMissing,
                                       QStringLiteral("未检测到 Homebrew，无法在应用内完成组件安装。"), QString());
}
