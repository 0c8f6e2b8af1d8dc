#include "ConnectionWorld.h"

#include "api/Deployment.h"

#include <QFile>
#include <QJsonDocument>
#include <QTest>

ConnectionWorld::ConnectionWorld(const std::optional<QJsonObject> &dataSet, const QStringList &planArguments,
                                 InProcessState withState)
{
    m_mac = std::make_unique<SimulatedMac>();
    if (!m_mac->isValid()) {
        m_error = QStringLiteral("simulated Mac: ") + m_mac->errorString();
        return;
    }
    m_probes = std::make_unique<TunnelFixtures::ProbeWorld>();
    if (!m_probes->isValid()) {
        m_error = QStringLiteral("probe servers: ") + m_probes->errorString();
        return;
    }
    QStringList arguments{QStringLiteral("--upstream"),
                          QStringLiteral("socks://127.0.0.1:%1").arg(m_probes->upstreamPort())};
    if (dataSet) {
        m_dataFile = std::make_unique<DataSetFile>(*dataSet);
        arguments << QStringLiteral("--data") << m_dataFile->path();
    }
    m_plane = std::make_unique<ControlPlaneProcess>(arguments + planArguments);
    if (!m_plane->isRunning()) {
        m_error = QStringLiteral("control plane: ") + m_plane->startError();
        return;
    }
    qputenv(Deployment::controlPlaneVariable, m_plane->http().toString().toUtf8());
    if (withState == InProcessState::yes)
        restartState();
}

ConnectionWorld::~ConnectionWorld()
{
    if (m_state) {
        // Whatever a test left running goes, the way quitting removes it.
        awaitTask(m_state->cleanupBeforeExit());
        m_state.reset();
    }
    qunsetenv(Deployment::controlPlaneVariable);
}

void ConnectionWorld::restartState()
{
    if (m_state) {
        awaitTask(m_state->cleanupBeforeExit());
        m_state.reset();
    }
    m_state = std::make_unique<AppState>();
    AppState *state = m_state.get();
    if (!TunnelFixtures::eventually([state] { return state->startupCleanupFinished(); }))
        m_error = QStringLiteral("the start-up clean-up did not finish");
}

void ConnectionWorld::signIn(const QString &identity)
{
    awaitTask(state().login(identity, QStringLiteral("tovren-demo")));
}

void ConnectionWorld::connectTo(const QString &endpointId)
{
    for (const Endpoint &endpoint : state().endpoints()) {
        if (endpoint.id == endpointId)
            state().selectEndpoint(endpoint);
    }
    awaitTask(state().toggleConnection(), std::chrono::seconds(120));
}

QJsonArray ConnectionWorld::connectionReports()
{
    return plane().state().value(QStringLiteral("connectionReports")).toArray();
}

QJsonArray ConnectionWorld::crashReports()
{
    return plane().state().value(QStringLiteral("crashReports")).toArray();
}

QJsonArray ConnectionWorld::protocolConfigRequests()
{
    return plane().state().value(QStringLiteral("protocolConfigRequests")).toArray();
}

int ConnectionWorld::requestsTo(const QString &method, const QString &path)
{
    int count = 0;
    for (const QJsonValue &request : plane().state().value(QStringLiteral("requests")).toArray())
        count += request[QStringLiteral("method")].toString() == method &&
                 request[QStringLiteral("path")].toString() == path;
    return count;
}

bool ConnectionWorld::logged(const QString &message) const
{
    const QList<LogEntry> &logs = m_state->logs();
    return std::any_of(logs.cbegin(), logs.cend(), [&](const LogEntry &entry) { return entry.message == message; });
}

QString ConnectionWorld::logContaining(const QString &text) const
{
    for (const LogEntry &entry : m_state->logs()) {
        if (entry.message.contains(text))
            return entry.message;
    }
    return QString();
}

QJsonObject ConnectionWorld::demoDataSet(const QStringList &endpointIds)
{
    QFile file(qEnvironmentVariable("TOVREN_SOURCE_DIR") + QStringLiteral("/devstack/control-plane/demo-data.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject data = QJsonDocument::fromJson(file.readAll()).object();
    if (endpointIds.isEmpty())
        return data;
    const QJsonArray all = data.value(QStringLiteral("endpoints")).toArray();
    QJsonArray kept;
    for (const QString &id : endpointIds) {
        for (const QJsonValue &endpoint : all) {
            if (endpoint[QStringLiteral("id")].toString() == id)
                kept.append(endpoint);
        }
    }
    data.insert(QStringLiteral("endpoints"), kept);
    return data;
}

void ConnectionWorld::leadUpstreamTo(QJsonObject &dataSet, const QString &endpointId, int upstreamPort)
{
    QJsonArray endpoints = dataSet.value(QStringLiteral("endpoints")).toArray();
    for (qsizetype i = 0; i < endpoints.size(); ++i) {
        QJsonObject endpoint = endpoints[i].toObject();
        if (endpoint.value(QStringLiteral("id")).toString() != endpointId)
            continue;
        QJsonObject devstack = endpoint.value(QStringLiteral("devstack")).toObject();
        devstack.insert(QStringLiteral("upstream"), QStringLiteral("socks://127.0.0.1:%1").arg(upstreamPort));
        endpoint.insert(QStringLiteral("devstack"), devstack);
        endpoints[i] = endpoint;
    }
    dataSet.insert(QStringLiteral("endpoints"), endpoints);
}

void ConnectionWorld::breakUpstream(QJsonObject &dataSet, const QString &endpointId)
{
    leadUpstreamTo(dataSet, endpointId, TunnelFixtures::freePort());
}
