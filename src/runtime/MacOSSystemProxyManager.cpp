#include "MacOSSystemProxyManager.h"

#include "CommandRunner.h"
#include "HostPaths.h"
#include "PrivilegedCommand.h"
#include "ProxySnapshotFile.h"
#include "base/LocalProxyPorts.h"

using namespace SystemProxy;

namespace {

// How long a sweep's reads are relied on: long enough to carry a connect from its clean-up to the enable.
constexpr auto sweepKnowledge = std::chrono::seconds(5);

QString firstThree(const QStringList &names)
{
    return names.mid(0, 3).join(QStringLiteral("、"));
}

} // namespace

MacOSSystemProxyManager::MacOSSystemProxyManager(QObject *parent)
    : QObject(parent), m_host(QString::fromLatin1(LocalProxyPorts::host)),
      m_networkSetupPath(HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::networksetup)))
{
}

QCoro::Task<QStringList> MacOSSystemProxyManager::enableLocalProxy(int port)
{
    // What a sweep read a moment ago, with nothing set since, is not read again. What follows changes it.
    QList<ServiceProxySnapshot> seen;
    if (m_quietSweep && !m_quietSweep->fresh.hasExpired())
        seen = m_quietSweep->services;
    m_quietSweep.reset();

    QStringList services;
    for (const ServiceProxySnapshot &service : seen)
        services.append(service.service);
    if (seen.isEmpty())
        services = co_await networkServices();
    if (services.isEmpty())
        co_return QStringList{QStringLiteral("系统代理增强未启用：未读取到可用网络服务。")};

    // Only the first enable after a disable saves settings: later ones re-apply lost settings and must not
    // take the client's own values for the user's.
    const bool capturing = !m_snapshot;
    if (capturing) {
        m_snapshot = co_await captureSnapshot(services, seen);
        // On disk before the first change: after a crash, the guard or the next start brings them back from there.
        if (!ProxySnapshotFile::save(*m_snapshot))
            qWarning().noquote() << "cannot save the system proxy settings to" << ProxySnapshotFile::path();
    }

    EnableOutcome outcome;
    QList<QStringList> bypassLists;
    for (qsizetype i = 0; i < services.size(); ++i) {
        const QString &service = services.at(i);
        // A bypass list the capture has just read stands.
        QStringList existing;
        if (capturing)
            existing = m_snapshot->at(i).bypassDomains;
        else
            existing = co_await readProxyBypassDomains(service);
        const QStringList merged = mergedBypassDomains(existing);
        bypassLists.append(merged);
        const bool enabled = co_await runAllAsUser(enableCommands(service, port, merged));
        if (enabled)
            outcome.enabled.append(service);
        else
            outcome.failed.append(service);
    }
    if (outcome.enabled.isEmpty() && !outcome.failed.isEmpty())
        outcome = co_await enableLocalProxyWithAuthorization(services, bypassLists, port);

    QStringList notes;
    if (!outcome.enabled.isEmpty()) {
        notes.append(QStringLiteral("已为 ") + firstThree(outcome.enabled) +
                     QStringLiteral(" 启用 HTTP/HTTPS/SOCKS 系统代理。"));
        notes.append(QStringLiteral("国内图片与 CDN 域名已加入系统代理直连保护。"));
    }
    if (!outcome.failed.isEmpty())
        notes.append(QStringLiteral("部分网络服务的系统代理增强未成功：") + firstThree(outcome.failed) +
                     QStringLiteral("。"));
    co_return notes;
}

QCoro::Task<> MacOSSystemProxyManager::disableLocalProxy(bool allowAuthorization)
{
    // Settings saved by a run that ended without its clean-up are the user's too.
    if (!m_snapshot)
        m_snapshot = ProxySnapshotFile::load();
    if (m_snapshot) {
        const QList<ServiceProxySnapshot> saved = *m_snapshot;
        bool restoredAsUser = true;
        for (const ServiceProxySnapshot &service : saved) {
            for (ProxyKind kind : allProxyKinds()) {
                const bool kindRestored =
                    co_await restore(service.state(kind), service.service, kind, allowAuthorization);
                restoredAsUser = restoredAsUser && kindRestored;
            }
            const bool bypassRestored =
                co_await restoreProxyBypassDomains(service.service, service.bypassDomains, allowAuthorization);
            restoredAsUser = restoredAsUser && bypassRestored;
        }
        m_snapshot.reset();
        // What failed without a prompt allowed is tried again by the next start, which may ask; once a prompt was
        // offered the file goes, so that a service that is gone for good does not ask on every connect.
        if (restoredAsUser || allowAuthorization)
            ProxySnapshotFile::remove();
    } else if (m_quietSweep && !m_quietSweep->fresh.hasExpired()) {
        co_return; // nothing of the client's was on a moment ago, and nothing has been set since
    }
    co_await disableOwnedProxyFallback(allowAuthorization);
}

QCoro::Task<QStringList> MacOSSystemProxyManager::networkServices()
{
    const CommandResult result = co_await runNetworkSetup(listServicesArguments());
    if (result.status != 0)
        co_return QStringList();
    co_return parseNetworkServices(result.combinedOutput());
}

QCoro::Task<QList<ServiceProxySnapshot>> MacOSSystemProxyManager::captureSnapshot(QStringList services,
                                                                                  QList<ServiceProxySnapshot> known)
{
    QList<ServiceProxySnapshot> snapshot;
    for (qsizetype i = 0; i < services.size(); ++i) {
        const QString &service = services.at(i);
        ServiceProxySnapshot saved = known.value(i);
        saved.service = service;
        for (ProxyKind kind : allProxyKinds()) {
            if (i >= known.size())
                saved.state(kind) = co_await readProxyState(service, kind);
        }
        saved.bypassDomains = co_await readProxyBypassDomains(service);
        snapshot.append(saved);
    }
    co_return snapshot;
}

QCoro::Task<ProxyState> MacOSSystemProxyManager::readProxyState(QString service, ProxyKind kind)
{
    const CommandResult result = co_await runNetworkSetup(readStateArguments(kind, service));
    if (result.status != 0)
        co_return ProxyState();
    co_return parseProxyState(result.combinedOutput());
}

QCoro::Task<QStringList> MacOSSystemProxyManager::readProxyBypassDomains(QString service)
{
    const CommandResult result = co_await runNetworkSetup(readBypassArguments(service));
    if (result.status != 0)
        co_return QStringList();
    co_return parseBypassDomains(result.combinedOutput());
}

QCoro::Task<MacOSSystemProxyManager::EnableOutcome>
MacOSSystemProxyManager::enableLocalProxyWithAuthorization(QStringList services, QList<QStringList> bypassLists,
                                                           int port)
{
    // The services' own bypass entries (read as the user, which needs no rights) are kept here too: after a
    // crash nothing could bring them back.
    QList<QStringList> batch;
    for (qsizetype i = 0; i < services.size(); ++i)
        batch.append(enableCommands(services.at(i), port, bypassLists.value(i, mergedBypassDomains({}))));

    EnableOutcome outcome;
    const CommandResult result = co_await runNetworkSetupWithAuthorization(batch);
    if (result.status != 0) {
        outcome.failed = services;
        co_return outcome;
    }
    for (const QString &service : services) {
        bool pointsAtPort = true;
        for (ProxyKind kind : allProxyKinds()) {
            const ProxyState state = co_await readProxyState(service, kind);
            pointsAtPort = pointsAtPort && state.enabled && state.server == m_host && state.port == port;
        }
        (pointsAtPort ? outcome.enabled : outcome.failed).append(service);
    }
    co_return outcome;
}

QCoro::Task<bool> MacOSSystemProxyManager::restore(ProxyState saved, QString service, ProxyKind kind,
                                                   bool allowAuthorization)
{
    QList<QStringList> commands;
    // A saved setting that was already the client's own (a crashed run) holds nothing of the user's to bring back.
    if (!isOwnedByClient(saved) && saved.enabled && !saved.server.isEmpty() && saved.port >= 1) {
        commands.append(setServerArguments(kind, service, saved.server, saved.port));
        commands.append(setStateArguments(kind, service, true));
    } else {
        commands.append(setStateArguments(kind, service, false));
    }
    const bool asUser = co_await runAllAsUser(commands);
    if (!asUser && allowAuthorization)
        co_await runNetworkSetupWithAuthorization(commands);
    co_return asUser;
}

QCoro::Task<bool> MacOSSystemProxyManager::restoreProxyBypassDomains(QString service, QStringList domains,
                                                                     bool allowAuthorization)
{
    const QList<QStringList> commands{setBypassArguments(service, domains)};
    const CommandResult result = co_await runNetworkSetup(commands.first());
    if (result.status != 0 && allowAuthorization)
        co_await runNetworkSetupWithAuthorization(commands);
    co_return result.status == 0;
}

QCoro::Task<> MacOSSystemProxyManager::disableOwnedProxyFallback(bool allowAuthorization)
{
    m_quietSweep.reset();
    const QStringList services = co_await networkServices();
    QList<ServiceProxySnapshot> seen;
    bool ownedFound = false;
    for (const QString &service : services) {
        ServiceProxySnapshot settings;
        settings.service = service;
        for (ProxyKind kind : allProxyKinds()) {
            settings.state(kind) = co_await readProxyState(service, kind);
            if (!isOwnedByClient(settings.state(kind)))
                continue;
            ownedFound = true;
            const QList<QStringList> commands{setStateArguments(kind, service, false)};
            const CommandResult result = co_await runNetworkSetup(commands.first());
            if (result.status != 0 && allowAuthorization)
                co_await runNetworkSetupWithAuthorization(commands);
        }
        seen.append(settings);
    }
    // Only a sweep that changed nothing describes the settings as they now are.
    if (!ownedFound && !seen.isEmpty())
        m_quietSweep = QuietSweep{seen, QDeadlineTimer(sweepKnowledge)};
}

QList<QStringList> MacOSSystemProxyManager::enableCommands(const QString &service, int port,
                                                           const QStringList &bypassDomains) const
{
    QList<QStringList> commands;
    for (ProxyKind kind : allProxyKinds())
        commands.append(setServerArguments(kind, service, m_host, port));
    commands.append(setBypassArguments(service, bypassDomains));
    for (ProxyKind kind : allProxyKinds())
        commands.append(setStateArguments(kind, service, true));
    return commands;
}

QCoro::Task<bool> MacOSSystemProxyManager::runAllAsUser(QList<QStringList> commands)
{
    // Every command runs even after a failure, so one rejected verb does not leave the rest undone.
    bool allSucceeded = true;
    for (const QStringList &command : commands) {
        const CommandResult result = co_await runNetworkSetup(command);
        allSucceeded = allSucceeded && result.status == 0;
    }
    co_return allSucceeded;
}

QCoro::Task<CommandResult> MacOSSystemProxyManager::runNetworkSetup(QStringList arguments)
{
    return CommandRunner::runResult(m_networkSetupPath, std::move(arguments));
}

QCoro::Task<CommandResult> MacOSSystemProxyManager::runNetworkSetupWithAuthorization(QList<QStringList> commands)
{
    return PrivilegedCommand::runResult(PrivilegedCommand::networkSetupShellScript(commands));
}
