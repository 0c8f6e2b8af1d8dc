#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The simulated Mac's network configuration, as the stand-in tools see it. One JSON file under the host root
// holds it; every tool reads it, and the verbs that change settings write it back (see HostStore).
namespace SimHost {

enum class ProxyKind { Web, SecureWeb, Socks };

struct ProxySetting
{
    bool enabled = false;
    QString server;
    int port = 0;
    bool authenticated = false;

    bool operator==(const ProxySetting &) const = default;
};

struct NetworkService
{
    QString name;
    QString device;         // "en0"; empty for services without hardware
    bool enabled = true;    // false: listed with a leading asterisk
    bool connected = false; // has a live link (the primary service always counts as connected)
    QString address;        // IPv4 address shown by ifconfig when connected
    ProxySetting web;
    ProxySetting secureWeb;
    ProxySetting socks;
    QStringList bypassDomains{"*.local", "169.254/16"}; // a fresh macOS service's default
    // networksetup verbs ("-setwebproxy", ...) that fail for this service unless run with administrator
    // rights; "*" stands for every verb that changes a setting.
    QStringList rejectAsUser;

    ProxySetting &proxy(ProxyKind kind);
    const ProxySetting &proxy(ProxyKind kind) const;
    bool rejects(const QString &verb) const;
};

// An interface beyond the ones the services and tunnels bring (a system utun, another VPN's tunnel).
struct ExtraInterface
{
    QString name;
    QString inet;              // IPv4 address, may be empty
    bool pointToPoint = false; // utun-style interface
};

// A tunnel brought up by the wg-quick stand-in.
struct WireGuardTunnel
{
    QString name; // "tovren-active"
    QString utun; // "utun4"
    QString configPath;
    QString address;    // its IPv4 address (from Address), may be empty
    QStringList routes; // IPv4 CIDRs it routes (from AllowedIPs)
};

enum class PromptAnswer { Grant, Cancel };

struct HostState
{
    QList<NetworkService> services;
    QString primaryService; // empty: the first enabled, connected service
    QList<ExtraInterface> extraInterfaces;
    QList<WireGuardTunnel> wireGuardTunnels;
    PromptAnswer promptAnswer = PromptAnswer::Grant;
    int promptCount = 0;
    QMap<QString, QStringList> wgQuickFailures; // action ("up", "down") -> queued stderr texts, one per run
    QString brewInstallFailure;                 // non-empty: every "brew install" fails with this text

    NetworkService *service(const QString &name);
    const NetworkService *service(const QString &name) const;
    // The service the system derives its proxy dictionary from: the named primary service when it is enabled,
    // else the first enabled, connected one; nullptr when there is none (no network).
    const NetworkService *primary() const;
    const WireGuardTunnel *tunnel(const QString &name) const;

    QJsonObject toJson() const;
    static HostState fromJson(const QJsonObject &json);
    // A Mac with a connected Wi-Fi (en0, primary) and a disabled Thunderbolt Bridge.
    static HostState defaults();
};

QString proxyKindKey(ProxyKind kind); // "web", "secureWeb", "socks"

} // namespace SimHost
