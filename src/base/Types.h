#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// Small value types that the whole client passes around and that the views show.

enum class NodeStatus { online, checking, offline };
QString rawValue(NodeStatus status); // the display text
NodeStatus nodeStatusFromApiValue(const QString &value);

enum class ProtocolKind { hysteria2, vless, trojan, shadowsocks, naiveproxy, wireguard, unknown };
const QList<ProtocolKind> &allProtocolKinds();
QString rawValue(ProtocolKind kind);
QString displayName(ProtocolKind kind);
ProtocolKind protocolKindFromApiValue(const std::optional<QString> &value);
std::optional<ProtocolKind> protocolKindFromRawValue(const QString &raw);

enum class OutboundMode { smart, enhanced };
const QList<OutboundMode> &allOutboundModes();
QString rawValue(OutboundMode mode);
QString title(OutboundMode mode);
// Anything but exactly "enhanced" reads as smart.
OutboundMode outboundModeFromStored(const QString &raw);

enum class AppPage { home, plans, invite, settings };
const QList<AppPage> &allAppPages();
QString rawValue(AppPage page);

enum class AppAlertAction { installWireGuardTools, openTerminalInstaller };

// An enumeration whose `failed` case carries the message shown to the user.
class ConnectionState final
{
public:
    enum Kind { failed, disconnected, preparing, configReady, connected, disconnecting, repairing };

    ConnectionState(Kind kind = disconnected) : m_kind(kind) {}
    static ConnectionState makeFailed(const QString &message) { return ConnectionState(failed, message); }

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }
    QString failureMessage() const { return m_message; }

    friend bool operator==(const ConnectionState &a, const ConnectionState &b)
    {
        return a.m_kind == b.m_kind && (a.m_kind != failed || a.m_message == b.m_message);
    }

private:
    ConnectionState(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind;
    QString m_message;
};

class ComponentInstallState final
{
public:
    enum Kind { failed, idle, installing, installed, needsHomebrew };

    ComponentInstallState(Kind kind = idle) : m_kind(kind) {}
    static ComponentInstallState makeFailed(const QString &message) { return ComponentInstallState(failed, message); }

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }
    QString failureMessage() const { return m_message; }

    friend bool operator==(const ComponentInstallState &a, const ComponentInstallState &b)
    {
        return a.m_kind == b.m_kind && (a.m_kind != failed || a.m_message == b.m_message);
    }

private:
    ComponentInstallState(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind;
    QString m_message;
};

struct Endpoint
{
    QString id;
    QString region;
    QString name;
    std::optional<QString> host;
    int latencyMs = 0;
    int loadPercent = 0;
    NodeStatus status = NodeStatus::offline;
    QList<ProtocolKind> supportedProtocols;
    ProtocolKind preferredProtocol = ProtocolKind::unknown;

    QString detail() const;
    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

struct Plan
{
    QString id;
    QString name;
    QString price;
    QString detail;
    QString action;
    bool featured = false;

    friend bool operator==(const Plan &, const Plan &) = default;
};

struct Device
{
    QString id;
    QString platform;
    QString name;
    QString action;
    QString status;
    bool isOnline = false;
    bool isCurrent = false;
    QString lastLogin;
    QString rawDeviceName;
    QString rawDeviceType;
    QString rawOS;
    QString appVersion;

    friend bool operator==(const Device &, const Device &) = default;
};

struct Ticket
{
    QString id;
    QString title;
    QString status;
    QString createdAt;

    friend bool operator==(const Ticket &, const Ticket &) = default;
};

struct Order
{
    QString id;
    QString title;
    QString status;
    QString amount;

    friend bool operator==(const Order &, const Order &) = default;
};

struct LogEntry
{
    QUuid id;
    QString time; // "HH:mm:ss", local time
    QString message;

    friend bool operator==(const LogEntry &, const LogEntry &) = default;
};

// Shown until the first successful catalogue sync.
const QList<Endpoint> &placeholderEndpoints();
const QList<Plan> &placeholderPlans();
