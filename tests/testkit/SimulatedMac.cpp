#include "SimulatedMac.h"

#include <QDir>

namespace {

QString temporaryTemplate()
{
    // No product word in the path: the runtime recognises its own cores by such words in command lines.
    return QDir::tempPath() + QStringLiteral("/simmac-XXXXXX");
}

} // namespace

SimulatedMac::SimulatedMac() : SimulatedMac(Options{})
{
}

SimulatedMac::SimulatedMac(const Options &options)
    : m_dir(temporaryTemplate()), m_store(m_dir.path()), m_hadRoot(qEnvironmentVariableIsSet("TOVREN_HOST_ROOT"))
{
    m_savedRoot = qgetenv("TOVREN_HOST_ROOT");
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary folder: ") + m_dir.errorString();
        qWarning("SimulatedMac: %s", qPrintable(m_error));
        return;
    }
    SimHost::LayoutOptions layout;
    layout.simhostExecutable = simhostExecutable();
    layout.coreExecutable = coreExecutable();
    layout.packages.clear();
    if (options.proxyCore)
        layout.packages << Package::ProxyCore;
    if (options.homebrew)
        layout.packages << Package::Homebrew;
    if (options.wireGuardTools)
        layout.packages << Package::WireGuardTools;
    if (options.homebrewBash)
        layout.packages << Package::HomebrewBash;
    m_error = SimHost::createHostRoot(m_dir.path(), layout);
    if (m_error.isEmpty())
        qputenv("TOVREN_HOST_ROOT", QFile::encodeName(m_store.root()));
    else
        qWarning("SimulatedMac: %s", qPrintable(m_error));
}

SimulatedMac::~SimulatedMac()
{
    if (m_hadRoot)
        qputenv("TOVREN_HOST_ROOT", m_savedRoot);
    else
        qunsetenv("TOVREN_HOST_ROOT");
}

QString SimulatedMac::simhostExecutable()
{
    return QStringLiteral(TOVREN_SIMHOST_EXECUTABLE);
}

QString SimulatedMac::coreExecutable()
{
    return QStringLiteral(TOVREN_PROXY_CORE_EXECUTABLE);
}

void SimulatedMac::setServices(const QStringList &names, const QString &primary)
{
    QList<NetworkService> services;
    for (const QString &name : names) {
        NetworkService service;
        service.enabled = !name.startsWith(u'*');
        service.name = service.enabled ? name : name.mid(1);
        service.device = QStringLiteral("en%1").arg(services.size());
        services << service;
    }
    setServices(services, primary);
}

void SimulatedMac::setServices(const QList<NetworkService> &services, const QString &primary)
{
    m_store.update([&](SimHost::HostState &state) {
        state.services = services;
        state.primaryService = primary;
        if (primary.isEmpty()) {
            for (const NetworkService &service : services) {
                if (service.enabled) {
                    state.primaryService = service.name;
                    break;
                }
            }
        }
        int host = 23;
        for (NetworkService &service : state.services) {
            if (service.name == state.primaryService)
                service.connected = true;
            if (service.connected && service.address.isEmpty())
                service.address = QStringLiteral("192.168.1.%1").arg(host++);
        }
    });
}

QStringList SimulatedMac::serviceNames() const
{
    QStringList names;
    for (const NetworkService &service : m_store.read().services)
        names << service.name;
    return names;
}

SimulatedMac::NetworkService SimulatedMac::service(const QString &name) const
{
    const SimHost::HostState state = m_store.read();
    const NetworkService *found = state.service(name);
    return found ? *found : NetworkService{};
}

QString SimulatedMac::primaryService() const
{
    const SimHost::HostState state = m_store.read();
    const NetworkService *primary = state.primary();
    return primary ? primary->name : QString();
}

void SimulatedMac::setPrimaryService(const QString &name)
{
    m_store.update([&](SimHost::HostState &state) { state.primaryService = name; });
}

void SimulatedMac::changeService(const QString &name, const std::function<void(NetworkService &)> &change)
{
    m_store.update([&](SimHost::HostState &state) {
        if (NetworkService *service = state.service(name))
            change(*service);
        else
            qWarning("SimulatedMac: no network service named %s", qPrintable(name));
    });
}

SimulatedMac::ProxySetting SimulatedMac::proxy(const QString &service, ProxyKind kind) const
{
    return this->service(service).proxy(kind);
}

void SimulatedMac::setProxy(const QString &service, ProxyKind kind, const ProxySetting &setting)
{
    changeService(service, [&](NetworkService &s) { s.proxy(kind) = setting; });
}

QStringList SimulatedMac::bypassDomains(const QString &service) const
{
    return this->service(service).bypassDomains;
}

void SimulatedMac::setBypassDomains(const QString &service, const QStringList &domains)
{
    changeService(service, [&](NetworkService &s) { s.bypassDomains = domains; });
}

void SimulatedMac::rejectAsUser(const QString &service, const QStringList &verbs)
{
    changeService(service, [&](NetworkService &s) { s.rejectAsUser << verbs; });
}

void SimulatedMac::clearRejections()
{
    m_store.update([](SimHost::HostState &state) {
        for (NetworkService &service : state.services)
            service.rejectAsUser.clear();
    });
}

void SimulatedMac::setPromptCancelled(bool cancelled)
{
    m_store.update([&](SimHost::HostState &state) {
        state.promptAnswer = cancelled ? SimHost::PromptAnswer::Cancel : SimHost::PromptAnswer::Grant;
    });
}

void SimulatedMac::queueWgQuickFailure(const QString &action, const QString &text)
{
    m_store.update([&](SimHost::HostState &state) { state.wgQuickFailures[action] << text; });
}

void SimulatedMac::setBrewInstallFailure(const QString &text)
{
    m_store.update([&](SimHost::HostState &state) { state.brewInstallFailure = text; });
}

void SimulatedMac::setInstalled(Package package, bool installed)
{
    if (!SimHost::setPackageInstalled(m_store, package, installed))
        qWarning("SimulatedMac: cannot change an installed package");
}

bool SimulatedMac::isInstalled(Package package) const
{
    return SimHost::isPackageInstalled(m_store, package);
}

int SimulatedMac::promptCount() const
{
    return m_store.read().promptCount;
}

QList<SimulatedMac::PromptRecord> SimulatedMac::prompts() const
{
    return m_store.prompts();
}

QList<SimulatedMac::Invocation> SimulatedMac::invocations(const QString &tool) const
{
    QList<Invocation> all = m_store.invocations();
    if (!tool.isEmpty())
        all.removeIf([&](const Invocation &invocation) { return invocation.tool != tool; });
    return all;
}

QStringList SimulatedMac::terminalScripts() const
{
    return m_store.terminalScripts();
}

void SimulatedMac::clearRecords()
{
    m_store.clearLogs();
    m_store.update([](SimHost::HostState &state) { state.promptCount = 0; });
}

QStringList SimulatedMac::wireGuardTunnels() const
{
    QStringList names;
    for (const SimHost::WireGuardTunnel &tunnel : m_store.read().wireGuardTunnels)
        names << tunnel.name;
    return names;
}

void SimulatedMac::addWireGuardTunnel(const QString &name, const QStringList &routes)
{
    m_store.update([&](SimHost::HostState &state) {
        const QStringList taken = SimHost::interfaceNames(state);
        int n = 0;
        while (taken.contains(QStringLiteral("utun%1").arg(n)))
            ++n;
        state.wireGuardTunnels << SimHost::WireGuardTunnel{name, QStringLiteral("utun%1").arg(n), {}, {}, routes};
    });
}

void SimulatedMac::addExtraInterface(const SimHost::ExtraInterface &interface)
{
    m_store.update([&](SimHost::HostState &state) { state.extraInterfaces << interface; });
}

void SimulatedMac::setRoutes(const QList<RouteLine> &routes)
{
    m_store.setRoutingTable(SimHost::routingTableText(routes));
}

void SimulatedMac::setRoutingTableText(const QString &text)
{
    m_store.setRoutingTable(text);
}
