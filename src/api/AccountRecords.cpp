#include "AccountRecords.h"

QJsonObject APIIdentityRequest::toJson() const
{
    return {{QStringLiteral("identity"), identity}};
}

APIVerificationCodeResponse APIVerificationCodeResponse::decode(const JsonObjectReader &json)
{
    APIVerificationCodeResponse r;
    r.ok = json.required<bool>(u"ok");
    r.channel = json.required<QString>(u"channel");
    r.expiresInMinutes = json.required<qint64>(u"expiresInMinutes");
    r.message = json.required<QString>(u"message");
    r.debugCode = json.optional<QString>(u"debugCode");
    return r;
}

QJsonObject APILoginRequest::toJson() const
{
    return {{QStringLiteral("identity"), identity}, {QStringLiteral("password"), password}};
}

QJsonObject APIRegisterRequest::toJson() const
{
    QJsonObject object{{QStringLiteral("identity"), identity},
                       {QStringLiteral("password"), password},
                       {QStringLiteral("verificationCode"), verificationCode}};
    insertIfPresent(object, QStringLiteral("inviteCode"), inviteCode);
    return object;
}

APIUser APIUser::decode(const JsonObjectReader &json)
{
    APIUser u;
    u.id = json.required<QString>(u"id");
    u.identity = json.required<QString>(u"identity");
    u.email = json.optional<QString>(u"email");
    u.phone = json.optional<QString>(u"phone");
    u.role = json.required<QString>(u"role");
    u.status = json.required<QString>(u"status");
    u.referralCode = json.optional<QString>(u"referralCode");
    u.planName = json.required<QString>(u"planName");
    u.subscriptionExpiredAt = json.optional<QString>(u"subscriptionExpiredAt");
    u.remainingTrafficMb = json.optional<qint64>(u"remainingTrafficMb");
    u.maxDevices = json.required<qint64>(u"maxDevices");
    u.invitesTotal = json.optional<qint64>(u"invitesTotal");
    u.invitesPaid = json.optional<qint64>(u"invitesPaid");
    u.rewardDays = json.optional<qint64>(u"rewardDays");
    return u;
}

APIAuthResponse APIAuthResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QString>(u"token"), json.required<APIUser>(u"user")};
}

APIMeResponse APIMeResponse::decode(const JsonObjectReader &json)
{
    return {json.required<APIUser>(u"user")};
}
