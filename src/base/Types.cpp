#include "Types.h"

QString rawValue(NodeStatus status)
{
    switch (status) {
    case NodeStatus::online: return QStringLiteral("在线");
    case NodeStatus::checking: return QStringLiteral("检查中");
    case NodeStatus::offline: return QStringLiteral("离线");
    }
    return QStringLiteral("离线");
}

NodeStatus nodeStatusFromApiValue(const QString &value)
{
    // Exact comparison: the control plane sends lower-case words.
    static const QStringList online{"online", "active", "healthy", "available"};
    static const QStringList checking{"checking", "retrying", "maintenance"};
    if (online.contains(value))
        return NodeStatus::online;
    if (checking.contains(value))
        return NodeStatus::checking;
    return NodeStatus::offline;
}

const QList<ProtocolKind> &allProtocolKinds()
{
    static const QList<ProtocolKind> all{ProtocolKind::hysteria2, ProtocolKind::vless, ProtocolKind::trojan,
                                         ProtocolKind::shadowsocks, ProtocolKind::naiveproxy,
                                         ProtocolKind::wireguard, ProtocolKind::unknown};
    return all;
}

QString rawValue(ProtocolKind kind)
{
    switch (kind) {
    case ProtocolKind::hysteria2: return QStringLiteral("hysteria2");
    case ProtocolKind::vless: return QStringLiteral("vless");
    case ProtocolKind::trojan: return QStringLiteral("trojan");
    case ProtocolKind::shadowsocks: return QStringLiteral("shadowsocks");
    case ProtocolKind::naiveproxy: return QStringLiteral("naiveproxy");
    case ProtocolKind::wireguard: return QStringLiteral("wireguard");
    case ProtocolKind::unknown: return QStringLiteral("unknown");
    }
    return QStringLiteral("unknown");
}

QString displayName(ProtocolKind kind)
{
    switch (kind) {
    case ProtocolKind::hysteria2: return QStringLiteral("Hysteria2");
    case ProtocolKind::vless: return QStringLiteral("VLESS");
    case ProtocolKind::trojan: return QStringLiteral("Trojan");
    case ProtocolKind::shadowsocks: return QStringLiteral("SS");
    case ProtocolKind::naiveproxy: return QStringLiteral("NaiveProxy");
    case ProtocolKind::wireguard: return QStringLiteral("WireGuard");
    case ProtocolKind::unknown: return QStringLiteral("自动");
    }
    return QStringLiteral("自动");
}

ProtocolKind protocolKindFromApiValue(const std::optional<QString> &value)
{
    if (!value)
        return ProtocolKind::unknown;
    const QString v = value->toLower();
    if (v == u"hy2" || v == u"hysteria2" || v == u"hysteria")
        return ProtocolKind::hysteria2;
    if (v == u"vless")
        return ProtocolKind::vless;
    if (v == u"trojan")
        return ProtocolKind::trojan;
    if (v == u"ss" || v == u"shadowsocks")
        return ProtocolKind::shadowsocks;
    if (v == u"naive" || v == u"naiveproxy" || v == u"naive-proxy")
        return ProtocolKind::naiveproxy;
    if (v == u"wg" || v == u"wireguard")
        return ProtocolKind::wireguard;
    return ProtocolKind::unknown;
}

std::optional<ProtocolKind> protocolKindFromRawValue(const QString &raw)
{
    for (ProtocolKind kind : allProtocolKinds()) {
        if (rawValue(kind) == raw)
            return kind;
    }
    return std::nullopt;
}

const QList<OutboundMode> &allOutboundModes()
{
    static const QList<OutboundMode> all{OutboundMode::smart, OutboundMode::enhanced};
    return all;
}

QString rawValue(OutboundMode mode)
{
    return mode == OutboundMode::enhanced ? QStringLiteral("enhanced") : QStringLiteral("smart");
}

QString title(OutboundMode mode)
{
    return mode == OutboundMode::enhanced ? QStringLiteral("增强模式") : QStringLiteral("智能模式");
}

OutboundMode outboundModeFromStored(const QString &raw)
{
    return raw == u"enhanced" ? OutboundMode::enhanced : OutboundMode::smart;
}

const QList<AppPage> &allAppPages()
{
    static const QList<AppPage> all{AppPage::home, AppPage::plans, AppPage::invite, AppPage::settings};
    return all;
}

QString rawValue(AppPage page)
{
    switch (page) {
    case AppPage::home: return QStringLiteral("home");
    case AppPage::plans: return QStringLiteral("plans");
    case AppPage::invite: return QStringLiteral("invite");
    case AppPage::settings: return QStringLiteral("settings");
    }
    return QStringLiteral("home");
}

QString Endpoint::detail() const
{
    return QStringLiteral("%1 · %2 · %3 ms · %4%")
        .arg(name, displayName(preferredProtocol), QString::number(latencyMs), QString::number(loadPercent));
}

const QList<Endpoint> &placeholderEndpoints()
{
    static const QList<Endpoint> endpoints{
        Endpoint{"hk-01", "香港", "HK Premium 01", std::nullopt, 38, 42, NodeStatus::online,
                 {ProtocolKind::wireguard}, ProtocolKind::wireguard},
        Endpoint{"sg-01", "新加坡", "SG Stable 01", std::nullopt, 55, 35, NodeStatus::online,
                 {ProtocolKind::wireguard}, ProtocolKind::wireguard},
    };
    return endpoints;
}

const QList<Plan> &placeholderPlans()
{
    static const QList<Plan> plans{
        Plan{"monthly", "月费套餐", "29.99", "30 天有效期，支持 3 台设备。", "开通月费", false},
        Plan{"quarterly", "季度费套餐", "99.99", "90 天有效期，支持 5 台设备。", "开通季度", true},
        Plan{"yearly", "年费套餐", "299.99", "365 天有效期，支持 5 台设备。", "开通年费", false},
    };
    return plans;
}
