#include "TovrenRuntimeError.h"

TovrenRuntimeError TovrenRuntimeError::deviceLimit(qint64 active, qint64 max)
{
    return {Kind::deviceLimit, QStringLiteral("已绑定设备 %1/%2，请先在设置中解绑不用的设备。").arg(active).arg(max)};
}

TovrenRuntimeError TovrenRuntimeError::connectionFailed(const QString &message)
{
    return {Kind::connectionFailed, message};
}

TovrenRuntimeError TovrenRuntimeError::invalidEmail()
{
    return {Kind::invalidEmail, QStringLiteral("请填写有效的邮箱地址。")};
}

TovrenRuntimeError TovrenRuntimeError::missingProtocolConfig()
{
    return {Kind::missingProtocolConfig, QStringLiteral("服务端没有返回可用协议配置。")};
}

TovrenRuntimeError TovrenRuntimeError::noDeviceSlots()
{
    return {Kind::noDeviceSlots, QStringLiteral("当前套餐未开放设备绑定，请先开通或续费套餐。")};
}
