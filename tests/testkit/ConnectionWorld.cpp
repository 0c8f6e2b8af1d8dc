#include "ConnectionWorld.h"

#include "api/Deployment.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

ConnectionWorld::ConnectionWorld(const std::optional<QJsonObject> &dataSet, const QStringList &planArguments,
                                 InProcessState withState)
{
    m_mac = std::make_unique<SimulatedMac>();
    m_probes = std::make_unique<TunnelFixtures::ProbeWorld>();
    if (!m_mac->isValid() || !m_probes->isValid()) {
        m_error = u"simulated Mac or probe servers: "_s + m_mac->errorString() + m_probes->errorString();
        return;
    }
    QStringList arguments{u"--upstream"_s, u"socks://127.0.0.1:%1"_s.arg(m_probes->upstreamPort())};
    if (dataSet) {
        m_dataFile = std::make_unique<DataSetFile>(*dataSet);
        arguments << u"--data"_s << m_dataFile->path();
    }
    m_plane = std::make_unique<ControlPlaneProcess>(arguments + planArguments);
    if (!m_plane->isRunning()) {
        m_error = u"control plane: "_s + m_plane->startError();
        return;
    }
    qputenv(Deployment::controlPlaneVariable, m_plane->http().toString().toUtf8());
    if (withState == InProcessState::yes)
        restartState();
}

ConnectionWorld::~ConnectionWorld()
{
    if (m_state) // whatever a test left running goes, the way quitting removes it
        awaitTask(m_state->cleanupBeforeExit());
    m_state.reset();
    qunsetenv(Deployment::controlPlaneVariable);
}

void ConnectionWorld::restartState()
{
    if (m_state)
        awaitTask(m_state->cleanupBeforeExit());
    m_state.reset();
    m_model = std::make_shared<StateModel>();
    const auto probe = [this](int port, bool aiEntry) {
        return healthProbe ? healthProbe(port, aiEntry) : m_state->tunnel().connectionHealthCheck(port, aiEntry);
    };
    m_state = std::make_unique<AppState>(AppStateDependencies{
        .model = m_model, .healthProbe = probe, .timeScale = [this] { return heartbeatTimeScale; }});
    AppState *state = m_state.get();
    if (!TunnelFixtures::eventually([state] { return state->startupCleanupFinished(); }))
        m_error = u"the start-up clean-up did not finish"_s;
}

void ConnectionWorld::signIn(const QString &identity)
{
    awaitTask(state().login(identity, u"tovren-demo"_s));
}

void ConnectionWorld::connectTo(const QString &endpointId)
{
    for (const Endpoint &endpoint : state().endpoints()) {
        if (endpoint.id == endpointId)
            state().selectEndpoint(endpoint);
    }
    awaitTask(state().toggleConnection(), std::chrono::seconds(120));
}

QList<QJsonObject> ConnectionWorld::reports(const QString &endpointId, const QString &status)
{
    QList<QJsonObject> found;
    for (const QJsonValue &entry : connectionReports()) {
        const QJsonObject report = entry[u"report"_s].toObject();
        if ((endpointId.isEmpty() || report[u"endpointId"_s].toString() == endpointId) &&
            (status.isEmpty() || report[u"status"_s].toString() == status))
            found << report;
    }
    return found;
}

int ConnectionWorld::requestsTo(const QString &method, const QString &path)
{
    int count = 0;
    for (const QJsonValue &request : planRecords("requests"))
        count += request[u"method"_s].toString() == method && request[u"path"_s].toString() == path;
    return count;
}

bool ConnectionWorld::logged(const QString &text) const
{
    const QList<LogEntry> &logs = m_state->logs();
    return std::any_of(logs.cbegin(), logs.cend(), [&](const LogEntry &entry) { return entry.message.contains(text); });
}

QJsonObject ConnectionWorld::demoDataSet(const QStringList &endpointIds)
{
    QFile file(qEnvironmentVariable("TOVREN_SOURCE_DIR") + u"/devstack/control-plane/demo-data.json"_s);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject data = QJsonDocument::fromJson(file.readAll()).object();
    if (endpointIds.isEmpty())
        return data;
    QJsonArray kept;
    for (const QString &id : endpointIds) {
        for (const QJsonValue &endpoint : data.value(u"endpoints"_s).toArray()) {
            if (endpoint[u"id"_s].toString() == id)
                kept.append(endpoint);
        }
    }
    data.insert(u"endpoints"_s, kept);
    return data;
}

void ConnectionWorld::leadUpstreamTo(QJsonObject &dataSet, const QString &endpointId, int upstreamPort)
{
    QJsonArray endpoints = dataSet.value(u"endpoints"_s).toArray();
    for (auto endpoint = endpoints.begin(); endpoint != endpoints.end(); ++endpoint) {
        QJsonObject changed = endpoint->toObject();
        if (changed.value(u"id"_s).toString() != endpointId)
            continue;
        QJsonObject devstack = changed.value(u"devstack"_s).toObject();
        devstack.insert(u"upstream"_s, u"socks://127.0.0.1:%1"_s.arg(upstreamPort));
        changed.insert(u"devstack"_s, devstack);
        *endpoint = changed;
    }
    dataSet.insert(u"endpoints"_s, endpoints);
}

void ConnectionWorld::breakUpstream(QJsonObject &dataSet, const QString &endpointId)
{
    // A privileged port: nothing here listens there, and no later bind to port 0 can be given it.
    leadUpstreamTo(dataSet, endpointId, 1);
}
