#pragma once

#include "base/JsonDecoding.h"

// The body of any answer with a status outside 200 to 299. Every field is optional and independent.
struct APIErrorResponse
{
    std::optional<QString> error;
    std::optional<QString> message;
    std::optional<QString> errorCode;
    std::optional<QString> errorCodeSnake;

    // The text shown to the user: `error`, else `message`.
    std::optional<QString> userMessage() const { return error ? error : message; }

    static APIErrorResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIErrorResponse &, const APIErrorResponse &) = default;
};

// The answer of calls that only acknowledge. It never fails to decode: anything but an explicit boolean "ok"
// reads as true, because the status code already said the call succeeded.
struct APIOkResponse
{
    bool ok = true;

    static APIOkResponse decode(const QJsonValue &value);
    friend bool operator==(const APIOkResponse &, const APIOkResponse &) = default;
};

template<> struct JsonDecoder<APIOkResponse>
{
    static APIOkResponse decode(const QJsonValue &value, const QString &) { return APIOkResponse::decode(value); }
};

// Whatever the bytes are, even when they are not JSON.
template<> inline APIOkResponse decodeAnswer<APIOkResponse>(const QByteArray &body)
{
    try {
        return APIOkResponse::decode(parseJsonBody(body));
    } catch (const DecodingError &) {
        return APIOkResponse{};
    }
}
