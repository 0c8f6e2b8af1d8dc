#include "ControlPlaneMapping.h"

#include <QRegularExpression>

namespace {

int clampedInt(qint64 value)
{
    return static_cast<int>(
        std::clamp<qint64>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

Endpoint endpointFromAPI(const APIEndpoint &record)
{
    Endpoint endpoint;
    endpoint.id = record.id;
    endpoint.region = record.region;
    endpoint.name = record.name;
    endpoint.host = record.host;
    endpoint.latencyMs = clampedInt(record.latencyMs);
    endpoint.loadPercent = clampedInt(record.loadPercent);
    endpoint.status = nodeStatusFromApiValue(record.status);
    for (const QString &name : record.protocols) {
        const ProtocolKind kind = protocolKindFromApiValue(name);
        if (kind != ProtocolKind::unknown)
            endpoint.supportedProtocols.append(kind);
    }
    if (endpoint.supportedProtocols.isEmpty())
        endpoint.supportedProtocols = {ProtocolKind::wireguard};
    endpoint.preferredProtocol = protocolKindFromApiValue(record.preferredProtocol);
    if (endpoint.preferredProtocol == ProtocolKind::unknown)
        endpoint.preferredProtocol = endpoint.supportedProtocols.first();
    return endpoint;
}

Endpoint endpointFromNode(const APINode &node)
{
    Endpoint endpoint;
    endpoint.id = node.id;
    endpoint.region = node.region;
    endpoint.name = node.name;
    endpoint.latencyMs = clampedInt(node.latencyMs);
    endpoint.loadPercent = clampedInt(node.loadPercent);
    endpoint.status = nodeStatusFromApiValue(node.status);
    endpoint.supportedProtocols = {ProtocolKind::wireguard};
    endpoint.preferredProtocol = ProtocolKind::wireguard;
    return endpoint;
}

Plan planFromAPI(const APIPlan &record, bool featured)
{
    Plan plan;
    plan.id = record.id;
    plan.name = record.name;
    plan.featured = featured;
    plan.price = QString::asprintf("%.2f", record.price);
    plan.detail = QString::number(record.durationDays) + QStringLiteral(" 天有效期，支持 ") +
                  QString::number(record.maxDevices) + QStringLiteral(" 台设备。");
    if (record.id == u"monthly")
        plan.action = QStringLiteral("开通月费");
    else if (record.id == u"quarterly")
        plan.action = QStringLiteral("开通季度");
    else if (record.id == u"yearly")
        plan.action = QStringLiteral("开通年费");
    else
        plan.action = QStringLiteral("开通") + QString(record.name).remove(QStringLiteral("套餐"));
    return plan;
}

QString displayPlatformName(const QString &deviceType)
{
    if (deviceType == u"macos")
        return QStringLiteral("macOS");
    if (deviceType == u"android")
        return QStringLiteral("Android");
    if (deviceType == u"windows")
        return QStringLiteral("Windows");
    if (deviceType == u"ios")
        return QStringLiteral("iOS");
    if (deviceType == u"web")
        return QStringLiteral("Web");
    return deviceType;
}

Device deviceFromAPI(const APIDevice &record, const QString &currentDeviceId)
{
    Device device;
    device.id = record.id;
    device.isCurrent = record.id == currentDeviceId;
    device.platform = displayPlatformName(record.deviceType);
    device.name = record.deviceName + QStringLiteral(" · ") + record.appVersion;
    device.action = device.isCurrent ? QStringLiteral("当前") : QStringLiteral("解绑");
    device.status = record.status;
    device.isOnline = record.isOnline;
    device.lastLogin = shortDateText(record.lastLoginAt);
    device.rawDeviceName = record.deviceName;
    device.rawDeviceType = record.deviceType;
    device.rawOS = record.os;
    device.appVersion = record.appVersion;
    return device;
}

Ticket ticketFromAPI(const APITicket &record)
{
    return {record.id, record.title, record.status, shortDateText(record.createdAt)};
}

Order orderFromAPI(const APIOrder &record)
{
    return {record.id, record.planName, record.paymentStatus,
            QString::asprintf("%.2f", record.amount) + QLatin1Char(' ') + record.currency};
}

QString shortDateText(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return QStringLiteral("-");
    // An internet date-time: a full date, "T", a full time with optional fraction, and a zone.
    static const QRegularExpression internetDateTime(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)?(Z|[+-]\\d{2}:\\d{2})$"));
    if (internetDateTime.match(*text).hasMatch()) {
        const QDateTime parsed = QDateTime::fromString(*text, Qt::ISODateWithMs);
        if (parsed.isValid())
            return parsed.toLocalTime().toString(QStringLiteral("MM-dd"));
    }
    return text->left(10);
}
