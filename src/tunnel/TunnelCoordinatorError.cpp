#include "TunnelCoordinatorError.h"

TunnelCoordinatorError::TunnelCoordinatorError(Case kind, const QString &description, QString message)
    : TovrenError(description), m_case(kind), m_message(std::move(message))
{
}

TunnelCoordinatorError TunnelCoordinatorError::commandFailed(const QString &message)
{
    const QString shown = message.trimmed().isEmpty() ? QStringLiteral("WireGuard 命令执行失败。") : message;
    return TunnelCoordinatorError(Case::commandFailed, shown, message);
}

TunnelCoordinatorError TunnelCoordinatorError::missingProtocolConfig()
{
    return TunnelCoordinatorError(Case::missingProtocolConfig, QStringLiteral("没有可用的协议配置。"), QString());
}
