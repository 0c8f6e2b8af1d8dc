#include "TovrenAPIError.h"

TovrenAPIError::TovrenAPIError(Kind kind, qint64 statusCode, std::optional<QString> message, QString description)
    : TovrenError(std::move(description)), m_kind(kind), m_statusCode(statusCode), m_message(std::move(message))
{
}

TovrenAPIError TovrenAPIError::server(qint64 statusCode, std::optional<QString> message)
{
    QString description = message ? *message : QStringLiteral("服务端返回错误：") + QString::number(statusCode);
    return {Kind::server, statusCode, std::move(message), std::move(description)};
}

TovrenAPIError TovrenAPIError::invalidResponse()
{
    return {Kind::invalidResponse, 0, std::nullopt, QStringLiteral("服务端响应格式异常")};
}
