#pragma once

#include "AwaitTask.h"
#include "ControlPlaneProcess.h"
#include "SimulatedMac.h"
#include "TestHome.h"
#include "TunnelFixtures.h"

#include "state/AppState.h"

#include <QJsonArray>
#include <QJsonObject>

#include <memory>
#include <optional>

// Everything a connect meets, on this machine: the stand-in control plane (whose sing-box templates lead to a
// local SOCKS upstream), the probe targets as local servers, a simulated Mac with the stand-in core, and the
// application state signed in against all of it. Whatever the client started is cleaned up without a prompt when
// the world goes.
class ConnectionWorld final
{
public:
    // Without a state of its own the world only stands ready for a client run as a separate process.
    enum class InProcessState { yes, no };

    // `dataSet` replaces the demo data set; `planArguments` go to the control plane as well.
    explicit ConnectionWorld(const std::optional<QJsonObject> &dataSet = std::nullopt,
                             const QStringList &planArguments = {}, InProcessState withState = InProcessState::yes);
    ~ConnectionWorld();
    Q_DISABLE_COPY_MOVE(ConnectionWorld)

    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    AppState &state() { return *m_state; }
    StateModel &model() { return *m_model; } // the state's published values, for a test to seed
    QString homePath() const { return m_home.path(); }
    ControlPlaneProcess &plane() { return *m_plane; }
    SimulatedMac &mac() { return *m_mac; }
    TunnelFixtures::ProbeWorld &probes() { return *m_probes; }
    SimulatedMac::ProxySetting wifiSocks() const
    {
        return m_mac->proxy(QStringLiteral("Wi-Fi"), SimulatedMac::ProxyKind::Socks);
    }

    // A new state over the same home: what a restart of the application sees. Waits for its start-up clean-up.
    void restartState();
    // The heartbeat of every state of the world: its waits multiplied by the scale and, where set, the probe in
    // place of the tunnel's own health check. Both may change while the state runs.
    double heartbeatTimeScale = 1.0;
    AppStateDependencies::HealthProbe healthProbe;
    void signIn(const QString &identity = QStringLiteral("demo@tovren.dev"));
    // Selects the endpoint and connects (through the connect button's path).
    void connectTo(const QString &endpointId);

    QJsonArray connectionReports() { return planRecords("connectionReports"); }
    QJsonArray crashReports() { return planRecords("crashReports"); }
    QJsonArray protocolConfigRequests() { return planRecords("protocolConfigRequests"); }
    // The connection reports themselves, oldest first, of one endpoint or status where given.
    QList<QJsonObject> reports(const QString &endpointId = {}, const QString &status = {});
    int requestsTo(const QString &method, const QString &path);
    // Whether a log entry holds `text`.
    bool logged(const QString &text) const;

    // The demo data set with its endpoints limited to `endpointIds`, in that order.
    static QJsonObject demoDataSet(const QStringList &endpointIds = {});
    // A data set's endpoint whose sing-box template leads to a dead upstream: the core starts, no traffic passes.
    static void breakUpstream(QJsonObject &dataSet, const QString &endpointId);
    // A data set's endpoint whose sing-box template leads to the SOCKS upstream on `upstreamPort`.
    static void leadUpstreamTo(QJsonObject &dataSet, const QString &endpointId, int upstreamPort);

private:
    QJsonArray planRecords(const char *name) { return plane().state().value(QLatin1String(name)).toArray(); }

    QString m_error;
    TestHome m_home;
    std::unique_ptr<SimulatedMac> m_mac;
    std::unique_ptr<TunnelFixtures::ProbeWorld> m_probes;
    std::unique_ptr<DataSetFile> m_dataFile;
    std::unique_ptr<ControlPlaneProcess> m_plane;
    std::shared_ptr<StateModel> m_model;
    std::unique_ptr<AppState> m_state;
};

// Opens a world in a test function, `world`, and names its state `state`.
#define OPEN_WORLD(...)                                                                                                \
    ConnectionWorld world{__VA_ARGS__};                                                                                \
    QVERIFY2(world.isValid(), qPrintable(world.errorString()));                                                        \
    AppState &state = world.state()
