#pragma once

#include "base/JsonDecoding.h"

// Sign-in and account records of the control plane.

struct APIIdentityRequest
{
    QString identity;

    QJsonObject toJson() const;
};

struct APIVerificationCodeResponse
{
    bool ok = false;
    QString channel;
    qint64 expiresInMinutes = 0;
    QString message;
    std::optional<QString> debugCode;

    static APIVerificationCodeResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIVerificationCodeResponse &, const APIVerificationCodeResponse &) = default;
};

struct APILoginRequest
{
    QString identity;
    QString password;

    QJsonObject toJson() const;
};

struct APIRegisterRequest
{
    QString identity;
    QString password;
    QString verificationCode;
    std::optional<QString> inviteCode;

    QJsonObject toJson() const;
};

// The signed-in user. The control plane writes these keys in camel case only.
struct APIUser
{
    QString id;
    QString identity;
    std::optional<QString> email;
    std::optional<QString> phone;
    QString role;
    QString status;
    std::optional<QString> referralCode;
    QString planName;
    std::optional<QString> subscriptionExpiredAt; // a date-time as the control plane writes it
    std::optional<qint64> remainingTrafficMb;
    qint64 maxDevices = 0;
    std::optional<qint64> invitesTotal;
    std::optional<qint64> invitesPaid;
    std::optional<qint64> rewardDays;

    static APIUser decode(const JsonObjectReader &json);
    friend bool operator==(const APIUser &, const APIUser &) = default;
};

struct APIAuthResponse
{
    QString token;
    APIUser user;

    static APIAuthResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIAuthResponse &, const APIAuthResponse &) = default;
};

struct APIMeResponse
{
    APIUser user;

    static APIMeResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIMeResponse &, const APIMeResponse &) = default;
};
