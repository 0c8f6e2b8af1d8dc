#pragma once

#include "base/JsonDecoding.h"

// The public catalogue (plans, nodes, client versions), orders and support tickets.

struct APIPlan
{
    QString id;
    QString name;
    double price = 0;
    std::optional<QString> currency;
    qint64 durationDays = 0;
    qint64 maxDevices = 0;

    static APIPlan decode(const JsonObjectReader &json);
    friend bool operator==(const APIPlan &, const APIPlan &) = default;
};

struct APIPlansResponse
{
    QList<APIPlan> plans;

    static APIPlansResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIPlansResponse &, const APIPlansResponse &) = default;
};

// A node of the public catalogue; snake-case keys, every field required.
struct APINode
{
    QString id;
    QString region;
    QString name;
    QString host;
    QString status;
    qint64 latencyMs = 0;
    qint64 loadPercent = 0;
    qint64 isActive = 0; // non-zero means active

    static APINode decode(const JsonObjectReader &json);
    friend bool operator==(const APINode &, const APINode &) = default;
};

struct APINodesResponse
{
    QList<APINode> nodes;

    static APINodesResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APINodesResponse &, const APINodesResponse &) = default;
};

// One client version record; snake-case keys only.
struct APIAppVersion
{
    QString platform;
    QString currentVersion;
    QString latestVersion;
    QString minVersion;
    QString updateMode;
    std::optional<QString> downloadUrl;
    std::optional<QString> channel;
    std::optional<qint64> rolloutPercent;
    std::optional<QString> rollbackVersion;
    std::optional<QString> rollbackDownloadUrl;
    std::optional<QString> releaseNotes;
    std::optional<QString> forceMessage;

    static APIAppVersion decode(const JsonObjectReader &json);
    friend bool operator==(const APIAppVersion &, const APIAppVersion &) = default;
};

struct APIVersionsResponse
{
    QList<APIAppVersion> versions;

    static APIVersionsResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIVersionsResponse &, const APIVersionsResponse &) = default;
};

struct APIOrder
{
    QString id;
    QString planId;
    QString planName = QStringLiteral("套餐");
    double amount = 0;
    QString currency = QStringLiteral("CNY");
    std::optional<QString> paymentMethod;
    QString paymentStatus = QStringLiteral("pending");
    std::optional<QString> createdAt;
    std::optional<QString> paidAt;

    static APIOrder decode(const JsonObjectReader &json);
    friend bool operator==(const APIOrder &, const APIOrder &) = default;
};

struct APIOrdersResponse
{
    QList<APIOrder> orders;

    static APIOrdersResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APIOrdersResponse &, const APIOrdersResponse &) = default;
};

struct APITicket
{
    QString id;
    QString title = QStringLiteral("工单");
    std::optional<QString> category;
    std::optional<QString> contactEmail;
    QString status = QStringLiteral("open");
    QString createdAt;

    static APITicket decode(const JsonObjectReader &json);
    friend bool operator==(const APITicket &, const APITicket &) = default;
};

struct APITicketsResponse
{
    QList<APITicket> tickets;

    static APITicketsResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APITicketsResponse &, const APITicketsResponse &) = default;
};

struct APITicketResponse
{
    APITicket ticket;

    static APITicketResponse decode(const JsonObjectReader &json);
    friend bool operator==(const APITicketResponse &, const APITicketResponse &) = default;
};

struct APICreateTicketRequest
{
    QString title;
    std::optional<QString> category;
    std::optional<QString> contactEmail;
    QString body;

    QJsonObject toJson() const;
};
