#pragma once

#include "base/Errors.h"

// Failures of the tunnel coordinator's own steps: a command it ran, a validation, or a protocol
// configuration without anything to run.
class TunnelCoordinatorError final : public TovrenError
{
public:
    enum class Case { commandFailed, missingProtocolConfig };

    // Shows the message as it is, or "WireGuard 命令执行失败。" when it holds nothing but white space.
    static TunnelCoordinatorError commandFailed(const QString &message);
    static TunnelCoordinatorError missingProtocolConfig();

    Case kind() const { return m_case; }
    const QString &message() const { return m_message; } // commandFailed only

private:
    TunnelCoordinatorError(Case kind, const QString &description, QString message);

    Case m_case;
    QString m_message;
};
