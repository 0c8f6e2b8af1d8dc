#pragma once

#include "HostLayout.h"
#include "HostState.h"
#include "HostStore.h"
#include "MacFormats.h"

#include <QTemporaryDir>
#include <functional>

// A fresh simulated Mac for one test. The constructor lays out a host root in a temporary folder (the stand-in
// tools of devstack/host at their macOS paths, the devstack proxy core at /opt/homebrew/bin/sing-box) and points
// TOVREN_HOST_ROOT at it, so the unchanged client drives it through HostPaths; the destructor restores the
// variable and removes the folder. Everything a tool does lands in the root: read it back here.
//
// Out of the box: services "Wi-Fi" (en0, connected, primary) and a disabled "Thunderbolt Bridge" (bridge0), all
// proxies off, each bypass list holding macOS's default "*.local", "169.254/16"; administrator prompts are
// granted; no Homebrew, no wireguard-tools. A tool run through a granted prompt
// (osascript "do shell script ... with administrator privileges") is privileged.
//
//     TestHome home;
//     SimulatedMac mac;
//     mac.setServices({"Wi-Fi", "Joe's LAN", "*Bluetooth PAN"});   // "*": disabled
//     mac.rejectAsUser("Joe's LAN");                                 // every set verb fails unless privileged
//     ... run the client code ...
//     QCOMPARE(mac.promptCount(), 1);
//     QCOMPARE(mac.proxy("Joe's LAN", SimulatedMac::ProxyKind::Web).port, 19090);
class SimulatedMac final
{
public:
    using ProxyKind = SimHost::ProxyKind;
    using ProxySetting = SimHost::ProxySetting;
    using NetworkService = SimHost::NetworkService;
    using Invocation = SimHost::Invocation;
    using PromptRecord = SimHost::PromptRecord;
    using Package = SimHost::Package;
    using RouteLine = SimHost::RouteLine;

    struct Options
    {
        bool proxyCore = true;       // /opt/homebrew/bin/sing-box
        bool homebrew = false;       // /opt/homebrew/bin/brew
        bool wireGuardTools = false; // /opt/homebrew/bin/wg-quick and wg
        bool homebrewBash = false;   // /opt/homebrew/bin/bash
    };

    SimulatedMac();
    explicit SimulatedMac(const Options &options);
    ~SimulatedMac();
    Q_DISABLE_COPY_MOVE(SimulatedMac)

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    QString root() const { return m_store.root(); }
    // "/usr/sbin/networksetup" -> "<root>/usr/sbin/networksetup".
    QString path(const QString &macPath) const { return m_store.path(macPath); }
    static QString simhostExecutable();
    static QString coreExecutable();

    // Network services, in service order. Replacing them resets their proxies and bypass lists to the defaults.
    // By name: a leading "*" marks a disabled service; devices are en0, en1, ...; the first enabled service is
    // connected and primary unless `primary` names another.
    void setServices(const QStringList &names, const QString &primary = {});
    void setServices(const QList<NetworkService> &services, const QString &primary = {});
    QStringList serviceNames() const;
    NetworkService service(const QString &name) const;
    QString primaryService() const; // the service scutil --proxy reports; empty when there is none
    void setPrimaryService(const QString &name);

    ProxySetting proxy(const QString &service, ProxyKind kind) const;
    void setProxy(const QString &service, ProxyKind kind, const ProxySetting &setting);
    QStringList bypassDomains(const QString &service) const;
    void setBypassDomains(const QString &service, const QStringList &domains);

    // Fault switches.
    // The verbs ("-setwebproxy", "-setproxybypassdomains", ...; "*" = every set verb) fail for this service
    // with "** Error: Command requires admin privileges." unless run through a granted prompt.
    void rejectAsUser(const QString &service, const QStringList &verbs = {QStringLiteral("*")});
    void clearRejections();
    // Cancelled: every administrator prompt fails like a dismissed dialog ("User canceled. (-128)").
    void setPromptCancelled(bool cancelled);
    // The next wg-quick run of `action` ("up" or "down") fails with `text` on stderr; queue several for several runs.
    void queueWgQuickFailure(const QString &action, const QString &text);
    // Non-empty: every "brew install" fails with this text.
    void setBrewInstallFailure(const QString &text);
    void setInstalled(Package package, bool installed);
    bool isInstalled(Package package) const;

    // What the client did.
    int promptCount() const;
    QList<PromptRecord> prompts() const; // each prompt's shell text, unescaped, and whether it was granted
    QList<Invocation> invocations(const QString &tool = {}) const; // every tool run, oldest first
    QStringList terminalScripts() const;                           // texts handed to Terminal through osascript
    void clearRecords();                                           // forget invocations, prompts and Terminal scripts

    // Tunnels, interfaces and routes.
    QStringList wireGuardTunnels() const; // names of tunnels wg-quick brought up
    void addWireGuardTunnel(const QString &name, const QStringList &routes = {}); // e.g. a stale one
    void addExtraInterface(const SimHost::ExtraInterface &interface);
    void setRoutes(const QList<RouteLine> &routes);
    void setRoutingTableText(const QString &text); // netstat -rn -f inet prints it as is (plus tunnel routes)

    // Anything else.
    SimHost::HostState state() const { return m_store.read(); }
    void updateState(const std::function<void(SimHost::HostState &)> &change) { m_store.update(change); }
    const SimHost::HostStore &store() const { return m_store; }

private:
    void changeService(const QString &name, const std::function<void(NetworkService &)> &change);

    QTemporaryDir m_dir;
    SimHost::HostStore m_store;
    QString m_error;
    QByteArray m_savedRoot;
    bool m_hadRoot = false;
};
