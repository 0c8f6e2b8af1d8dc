#pragma once

#include "base/Errors.h"

// Why the connection components could not be installed inside the application.
class WireGuardToolInstallerError final : public TovrenError
{
public:
    enum class Case { installFailed, homebrewMissing };

    // "连接组件安装失败：" and the trimmed output, or "连接组件安装失败。" when there is none.
    static WireGuardToolInstallerError installFailed(const QString &output);
    static WireGuardToolInstallerError homebrewMissing();

    Case kind() const { return m_case; }
    const QString &output() const { return m_output; } // installFailed only

private:
    WireGuardToolInstallerError(Case kind, const QString &description, QString output);

    Case m_case;
    QString m_output;
};
