#include "CatalogueRecords.h"

APIPlan APIPlan::decode(const JsonObjectReader &json)
{
    APIPlan p;
    p.id = json.required<QString>(u"id");
    p.name = json.required<QString>(u"name");
    p.price = json.required<double>(u"price");
    p.currency = json.optional<QString>(u"currency");
    p.durationDays = json.required<qint64>(u"durationDays");
    p.maxDevices = json.required<qint64>(u"maxDevices");
    return p;
}

APIPlansResponse APIPlansResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QList<APIPlan>>(u"plans")};
}

APINode APINode::decode(const JsonObjectReader &json)
{
    APINode n;
    n.id = json.required<QString>(u"id");
    n.region = json.required<QString>(u"region");
    n.name = json.required<QString>(u"name");
    n.host = json.required<QString>(u"host");
    n.status = json.required<QString>(u"status");
    n.latencyMs = json.required<qint64>(u"latency_ms");
    n.loadPercent = json.required<qint64>(u"load_percent");
    n.isActive = json.required<qint64>(u"is_active");
    return n;
}

APINodesResponse APINodesResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QList<APINode>>(u"nodes")};
}

APIAppVersion APIAppVersion::decode(const JsonObjectReader &json)
{
    APIAppVersion v;
    v.platform = json.required<QString>(u"platform");
    v.currentVersion = json.required<QString>(u"current_version");
    v.latestVersion = json.required<QString>(u"latest_version");
    v.minVersion = json.required<QString>(u"min_version");
    v.updateMode = json.required<QString>(u"update_mode");
    v.downloadUrl = json.optional<QString>(u"download_url");
    v.channel = json.optional<QString>(u"channel");
    v.rolloutPercent = json.optional<qint64>(u"rollout_percent");
    v.rollbackVersion = json.optional<QString>(u"rollback_version");
    v.rollbackDownloadUrl = json.optional<QString>(u"rollback_download_url");
    v.releaseNotes = json.optional<QString>(u"release_notes");
    v.forceMessage = json.optional<QString>(u"force_message");
    return v;
}

APIVersionsResponse APIVersionsResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QList<APIAppVersion>>(u"versions")};
}

APIOrder APIOrder::decode(const JsonObjectReader &json)
{
    APIOrder o;
    o.id = json.required<QString>(u"id");
    o.planId = json.firstOf<QString>({u"planId", u"plan_id"}).value_or(QString());
    o.planName = json.firstOf<QString>({u"planName", u"plan_name"}).value_or(o.planName);
    o.amount = json.optional<double>(u"amount").value_or(0);
    o.currency = json.optional<QString>(u"currency").value_or(o.currency);
    o.paymentMethod = json.firstOf<QString>({u"paymentMethod", u"payment_method"});
    o.paymentStatus = json.firstOf<QString>({u"paymentStatus", u"payment_status"}).value_or(o.paymentStatus);
    o.createdAt = json.firstOf<QString>({u"createdAt", u"created_at"});
    o.paidAt = json.firstOf<QString>({u"paidAt", u"paid_at"});
    return o;
}

APIOrdersResponse APIOrdersResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QList<APIOrder>>(u"orders")};
}

APITicket APITicket::decode(const JsonObjectReader &json)
{
    APITicket t;
    t.id = json.required<QString>(u"id");
    t.title = json.optional<QString>(u"title").value_or(t.title);
    t.category = json.optional<QString>(u"category");
    t.contactEmail = json.firstOf<QString>({u"contactEmail", u"contact_email"});
    t.status = json.optional<QString>(u"status").value_or(t.status);
    t.createdAt = json.firstOf<QString>({u"createdAt", u"created_at"}).value_or(QString());
    return t;
}

APITicketsResponse APITicketsResponse::decode(const JsonObjectReader &json)
{
    return {json.required<QList<APITicket>>(u"tickets")};
}

APITicketResponse APITicketResponse::decode(const JsonObjectReader &json)
{
    return {json.required<APITicket>(u"ticket")};
}

QJsonObject APICreateTicketRequest::toJson() const
{
    QJsonObject object{{QStringLiteral("title"), title}, {QStringLiteral("body"), body}};
    insertIfPresent(object, QStringLiteral("category"), category);
    insertIfPresent(object, QStringLiteral("contactEmail"), contactEmail);
    return object;
}
