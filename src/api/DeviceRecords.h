#pragma once

#include "AccountRecords.h"
#include "base/JsonDecoding.h"

// The account's devices and the service's endpoints, as the bootstrap and device calls answer. Nearly every
// field has a default, and most keys are read in both spellings.

struct APIEndpoint
{
    QString id;
    QString region = QStringLiteral("自动");
    QString name;
    std::optional<QString> host;
    QString status = QStringLiteral("online");
    qint64 latencyMs = 0;
    qint64 loadPercent = 0;
    bool isActive = true;
    QStringList protocols;
    std::optional<QString> preferredProtocol;

    static APIEndpoint decode(const JsonObjectReader &json);
    friend bool operator==(const APIEndpoint &, const APIEndpoint &) = default;
};

struct APIDevice
{
    QString id;
    QString deviceName = QStringLiteral("Tovren 设备");
    QString deviceType = QStringLiteral("unknown");
    QString os;
    QString appVersion;
    QString status = QStringLiteral("active");
    std::optional<QString> lastLoginAt;
    bool isOnline = false;
    std::optional<QString> connectionStatus;
    std::optional<QString> latestConnectionAt;

    static APIDevice decode(const JsonObjectReader &json);
    friend bool operator==(const APIDevice &, const APIDevice &) = default;
};

struct APIClientBootstrapResponse
{
    std::optional<APIUser> user;
    QList<APIEndpoint> endpoints;
    std::optional<QList<APIDevice>> devices; // absent is not the same as an empty list
    std::optional<qint64> maxDevices;

    static APIClientBootstrapResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIClientBootstrapResponse &, const APIClientBootstrapResponse &) = default;
};

struct APIDevicesResponse
{
    QList<APIDevice> devices;
    qint64 maxDevices = 0;
    qint64 activeDeviceCount = 0;

    static APIDevicesResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIDevicesResponse &, const APIDevicesResponse &) = default;
};

struct APIDeviceResponse
{
    APIDevice device;

    static APIDeviceResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIDeviceResponse &, const APIDeviceResponse &) = default;
};

struct APIBindDeviceRequest
{
    std::optional<QString> deviceId;
    QString deviceName;
    QString deviceType;
    QString os;
    QString appVersion;

    QJsonObject toJson() const;
};
