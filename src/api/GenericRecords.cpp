#include "GenericRecords.h"

APIErrorResponse APIErrorResponse::decode(const JsonObjectReader &json)
{
    return {json.optional<QString>(u"error"), json.optional<QString>(u"message"), json.optional<QString>(u"errorCode"),
            json.optional<QString>(u"error_code")};
}

APIOkResponse APIOkResponse::decode(const QJsonValue &value)
{
    const QJsonValue ok = value.toObject().value(QLatin1String("ok"));
    return {ok.isBool() ? ok.toBool() : true};
}
