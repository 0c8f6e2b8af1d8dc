#include "SingBoxRuntimeError.h"

SingBoxRuntimeError::SingBoxRuntimeError(Case kind, const QString &description, QString message, int port)
    : TovrenError(description), m_case(kind), m_message(std::move(message)), m_port(port)
{
}

SingBoxRuntimeError SingBoxRuntimeError::invalidConfig(const QString &message)
{
    return {Case::invalidConfig, QStringLiteral("sing-box 配置校验失败：") + message, message};
}

SingBoxRuntimeError SingBoxRuntimeError::exitedEarly(const QString &message)
{
    return {Case::exitedEarly, QStringLiteral("sing-box 启动后立即退出：") + message, message};
}

SingBoxRuntimeError SingBoxRuntimeError::privilegedLaunchFailed(const QString &message)
{
    return {Case::privilegedLaunchFailed, QStringLiteral("sing-box 管理员权限启动失败：") + message, message};
}

SingBoxRuntimeError SingBoxRuntimeError::portInUse(int port, const QString &owner)
{
    return {Case::portInUse,
            QStringLiteral("本地代理端口 ") + QString::number(port) +
                QStringLiteral(" 已被占用，请退出旧版 Tovren 或占用该端口的程序后重试。占用进程：") + owner,
            owner, port};
}

SingBoxRuntimeError SingBoxRuntimeError::missingBinary()
{
    return {Case::missingBinary, QStringLiteral("未找到 sing-box 内核。正式安装包需要在 App 资源中内置 sing-box。")};
}

SingBoxRuntimeError SingBoxRuntimeError::staleRuntimeNeedsCleanup()
{
    return {Case::staleRuntimeNeedsCleanup,
            QStringLiteral("检测到旧连接残留，需要清理后再连接。请先退出旧版 Tovren，或重启电脑后重试。")};
}
