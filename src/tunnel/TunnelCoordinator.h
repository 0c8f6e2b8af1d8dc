#pragma once

#include "TunnelCoordinatorError.h"

#include "TunnelActivation.h"
#include "api/ProtocolConfiguration.h"
#include "base/AsyncSerialQueue.h"
#include "base/Types.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QStringList>

#include <exception>
#include <optional>

class CrashGuard;
class MacOSSystemProxyManager;
class QNetworkAccessManager;
class SingBoxRuntimeCoordinator;

// A heartbeat probe's verdict and the line for the activity log.
struct TunnelHealthCheck
{
    bool passed = false;
    QString summary;

    friend bool operator==(const TunnelHealthCheck &, const TunnelHealthCheck &) = default;
};

// Turns a protocol configuration into a running, verified tunnel and takes it down again. The sing-box path
// writes the rewritten configuration, starts the core, proves that traffic leaves through the local proxy,
// points the system proxy at it and rolls back what it started when the system proxy does not hold. WireGuard
// endpoints run through wg-quick with administrator rights, or are saved for the user when the tools are
// missing. The coordinator remembers what is active so that a disconnect or clean-up knows what to undo.
//
// The operations for the application state take turns: each runs to its end before the next one starts (a
// connect that arrives during the start-up clean-up waits for it). Nothing here calls upward: notes for the
// activity log travel back in the activation.
class TunnelCoordinator final : public QObject
{
    Q_OBJECT

public:
    explicit TunnelCoordinator(QObject *parent = nullptr);
    ~TunnelCoordinator() override;
    Q_DISABLE_COPY_MOVE(TunnelCoordinator)

    // Ports of the local entries.
    int macOSProxyPort() const { return m_macOSProxyPort; }                         // 19090, preferred
    const QList<int> &macOSProxyPortRange() const { return m_macOSProxyPortRange; } // 19090 to 19109
    int aiProxyPort() const { return m_aiProxyPort; }                               // 19110
    const QStringList &aiDomainSuffixes() const { return m_aiDomainSuffixes; }

    // What is active.
    const std::optional<QString> &activeConfigURL() const { return m_activeConfigURL; }
    std::optional<TunnelActivation::Mode> activeMode() const { return m_activeMode; }
    std::optional<int> activeProxyPort() const { return m_activeProxyPort; }
    std::optional<int> activeAIProxyPort() const { return m_activeAIProxyPort; }
    // The local ports in use, none while no sing-box tunnel runs.
    std::optional<int> currentProxyPort() const { return m_activeProxyPort; }
    std::optional<int> currentAIProxyPort() const { return m_activeAIProxyPort; }

    SingBoxRuntimeCoordinator &singBox() { return *m_singBox; }
    MacOSSystemProxyManager &systemProxyManager() { return *m_systemProxyManager; }

    // --- Operations of the application state (each takes its turn) ---

    // Starts the tunnel. `endpoint` names what is connected; `quickStart` only selects the confirmation step
    // and one note. Throws TunnelCoordinatorError, SingBoxRuntimeError, FileSystemError, CommandLaunchError or
    // the builder's TemplateParseError; the caller cleans up after a failure.
    QCoro::Task<TunnelActivation> connect(ProtocolConfiguration configuration, Endpoint endpoint,
                                          OutboundMode outboundMode, bool aiEnhancedModeEnabled, bool quickStart);
    // Stops what is active. When stopping fails the active state is kept, so that a retry knows what to stop.
    QCoro::Task<> disconnect();
    // Removes everything this client may have left running: cores, system proxy settings, its WireGuard
    // tunnel (when a password prompt is allowed) and a leftover sing-box configuration. Never fails.
    QCoro::Task<> cleanupRuntimeArtifacts(bool allowProxyAuthorization);
    // The heartbeat's probe: repairs a lost system proxy once, then probes through the local entries.
    QCoro::Task<TunnelHealthCheck> connectionHealthCheck(int systemProxyPort, bool aiEnhancedModeEnabled);
    // Whether a tunnel of this client from an earlier connection is still up. The endpoint is not consulted.
    QCoro::Task<bool> hasStaleInterface(QString endpointId);

    // --- Steps of the operations above. They take no turn: outside the coordinator, call them only while no
    // --- operation runs (tests, diagnostics).

    // Connectivity through the local proxy, directly, and of a TUN interface.
    QCoro::Task<int> proxyHTTPStatus(int port, QString url); // 0 on any failure
    QCoro::Task<bool> proxyWebConnectivityAvailable(int port);
    QCoro::Task<bool> aiProxyConnectivityAvailable(int port);
    QCoro::Task<bool> externalConnectivityAvailable();
    QCoro::Task<QStringList> validateProxyConnection(int port);
    QCoro::Task<QStringList> validateAIProxyConnection(int port);
    QCoro::Task<> validateConnection(QString interfaceHint);
    QCoro::Task<bool> waitForTunInterface(QString interfaceHint);

    // The system proxy.
    QCoro::Task<bool> systemProxyPointsToLocalProxy(int port);
    QCoro::Task<> confirmSystemProxy(int port);
    QCoro::Task<> confirmSystemProxyApplied(int port);

    // Local ports and other VPN software.
    QCoro::Task<int> chooseLocalProxyPort(bool aiEnhancedModeEnabled);
    QCoro::Task<bool> isTCPPortAvailable(int port);
    QCoro::Task<QStringList> thirdPartyNetworkWarnings(bool checkSystemProxy);

    // The WireGuard path.
    static QString preparedWireGuardConfig(const QString &text, OutboundMode outboundMode);
    QCoro::Task<TunnelActivation> connectWithWGQuick(QString configURL);
    QCoro::Task<> runWGQuick(QString action, QString configURL);
    QCoro::Task<> repairWGQuickState(QString configURL);
    static bool isRecoverableWGQuickError(const std::exception &error);
    // The error to raise for a failed wg-quick: the component-version message for a version mismatch, else
    // the error itself.
    [[noreturn]] static void raiseFriendlyWGQuickError(std::exception_ptr error);

    // Whether the configuration goes through wg-quick rather than sing-box.
    static bool usesWireGuardPath(const ProtocolConfiguration &configuration);

private:
    QCoro::Task<TunnelActivation> connectThroughSingBox(ProtocolConfiguration configuration, OutboundMode outboundMode,
                                                        bool aiEnhancedModeEnabled, bool quickStart);
    QCoro::Task<TunnelActivation> connectThroughWireGuard(ProtocolConfiguration configuration,
                                                          OutboundMode outboundMode);
    // Writes "tovren-active.json" (sing-box) or "tovren-active.conf" (WireGuard) owner-only, atomically, and
    // returns its path.
    QString writeConfig(const ProtocolConfiguration &configuration, OutboundMode outboundMode, int port,
                        bool aiEnhancedModeEnabled, bool wireGuard);
    static void cleanupLegacyEndpointConfigFiles(const QString &directory);
    QCoro::Task<TunnelActivation> connectWithSingBox(QString configURL, int port, bool aiEnhancedModeEnabled,
                                                     bool quickStart);
    void clearActiveState();
    // The system-proxy range followed by the AI port: every port a core of this client may hold.
    QList<int> allLocalPorts() const;

    // The coordinator's runners: the standard output of a command that exits with status 0, else
    // TunnelCoordinatorError::commandFailed (CommandLaunchError when it could not start).
    QCoro::Task<QString> runProcess(QString macExecutable, QStringList arguments);
    QCoro::Task<> runPrivileged(QString command);

    const int m_macOSProxyPort;
    const QList<int> m_macOSProxyPortRange;
    const int m_aiProxyPort;
    const QStringList m_aiDomainSuffixes;
    std::optional<QString> m_activeConfigURL;
    std::optional<TunnelActivation::Mode> m_activeMode;
    std::optional<int> m_activeProxyPort;
    std::optional<int> m_activeAIProxyPort;
    SingBoxRuntimeCoordinator *m_singBox;
    MacOSSystemProxyManager *m_systemProxyManager;
    CrashGuard *m_crashGuard;         // restores the user's network should the client die while a core runs
    QNetworkAccessManager *m_network; // direct probes
    AsyncSerialQueue m_queue;
};
