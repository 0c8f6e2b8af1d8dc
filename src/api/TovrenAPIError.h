#pragma once

#include "base/Errors.h"

#include <optional>

// What the control plane answered when it did not answer with the record asked for.
class TovrenAPIError final : public TovrenError
{
public:
    enum class Kind { server, invalidResponse };

    // An HTTP status outside 200 to 299, with the server's own message when it gave one.
    static TovrenAPIError server(qint64 statusCode, std::optional<QString> message);
    // Something that is not an HTTP answer at all.
    static TovrenAPIError invalidResponse();

    Kind kind() const { return m_kind; }
    qint64 statusCode() const { return m_statusCode; } // 0 for invalidResponse
    const std::optional<QString> &message() const { return m_message; }
    bool isServer(qint64 statusCode) const { return m_kind == Kind::server && m_statusCode == statusCode; }

private:
    TovrenAPIError(Kind kind, qint64 statusCode, std::optional<QString> message, QString description);

    Kind m_kind;
    qint64 m_statusCode;
    std::optional<QString> m_message;
};
