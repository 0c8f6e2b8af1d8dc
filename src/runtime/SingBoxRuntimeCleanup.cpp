// Finding and ending the cores that an earlier run left behind.

#include "SingBoxRuntimeCoordinator.h"

#include "CommandRunner.h"
#include "HostPaths.h"
#include "SingBoxRuntimeError.h"
#include "SingBoxRuntimeRules.h"

#include <QCoroTimer>
#include <QFile>
#include <QHash>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

constexpr auto afterKill = 250ms;
constexpr int maxOwnersNamed = 3;
// How long a look that found a port quiet is relied on: long enough to carry a connect from its first clean-up
// to the launch of its core, short enough that a later connect looks again.
constexpr auto quietKnowledge = 5s;

QString tool(const char *macPath)
{
    return HostPaths::resolve(QString::fromLatin1(macPath));
}

} // namespace

QCoro::Task<QList<int>> SingBoxRuntimeCoordinator::listeningPIDs(int port)
{
    const CommandResult result =
        co_await runProcessResult(tool(HostPaths::Tool::lsof), SingBox::listeningArguments(port));
    if (result.status != 0)
        co_return QList<int>();
    co_return SingBox::parseListeningPIDs(result.standardOutput);
}

QCoro::Task<QList<QList<int>>> SingBoxRuntimeCoordinator::portListeners(QList<int> ports)
{
    // On a Mac every lsof run walks all processes: one run for the whole range instead of one per port.
    QList<QList<int>> listeners;
    if (m_portQuery == PortQuery::perPort || ports.size() == 1) {
        for (int port : ports)
            listeners << co_await listeningPIDs(port);
    } else if (!ports.isEmpty()) {
        const CommandResult result =
            co_await runProcessResult(tool(HostPaths::Tool::lsof), SingBox::listeningArguments(ports));
        listeners = result.status == 0 ? SingBox::parseListeners(result.standardOutput, ports)
                                       : QList<QList<int>>(ports.size());
    }
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (listeners[i].isEmpty())
            m_quietPorts.insert(ports[i], QDeadlineTimer(quietKnowledge));
        else
            m_quietPorts.remove(ports[i]);
    }
    co_return listeners;
}

QCoro::Task<bool> SingBoxRuntimeCoordinator::processExists(int pid)
{
    const CommandResult result =
        co_await runProcessResult(tool(HostPaths::Tool::ps), SingBox::processExistsArguments(pid));
    co_return result.status == 0 && SingBox::outputNamesProcess(result.standardOutput, pid);
}

QCoro::Task<QString> SingBoxRuntimeCoordinator::commandLine(int pid)
{
    const CommandResult result =
        co_await runProcessResult(tool(HostPaths::Tool::ps), SingBox::commandLineArguments(pid));
    co_return result.status == 0 ? result.standardOutput.trimmed() : QString();
}

QCoro::Task<> SingBoxRuntimeCoordinator::terminate(int pid, bool allowPrivilege)
{
    co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, false));
    co_await QCoro::sleepFor(afterKill);
    const bool outlivedTerm = co_await processExists(pid);
    if (outlivedTerm)
        co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, true));
    if (!allowPrivilege)
        co_return;
    const bool outlivedKill = co_await processExists(pid);
    if (outlivedKill) {
        const QList<int> pids{pid};
        try {
            co_await terminatePrivileged(pids);
        } catch (const SingBoxRuntimeError &) {
            // A refused prompt leaves the process; stopping never fails.
        }
    }
}

QCoro::Task<> SingBoxRuntimeCoordinator::terminatePrivileged(QList<int> pids)
{
    co_await runPrivileged(SingBox::privilegedTerminationScript(pids));
}

QCoro::Task<QStringList> SingBoxRuntimeCoordinator::cleanupStaleRuntime(QString pidURL, QList<int> proxyPorts,
                                                                        bool allowPrivilege)
{
    // Nobody listened on these ports a moment ago and nothing was started since: nothing to clean up. A pid file
    // that holds no pid still goes, as after every clean-up.
    if (portsKnownQuiet(proxyPorts)) {
        QFile::remove(pidURL);
        co_return QStringList();
    }

    QList<int> candidates;
    if (const std::optional<int> pid = readPID(pidURL))
        candidates << *pid;
    const QList<QList<int>> listening = co_await portListeners(proxyPorts);
    for (const QList<int> &listeners : listening)
        candidates << listeners;
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    QList<int> owned;
    QStringList foreign;
    QHash<int, QString> commands;
    for (int pid : candidates) {
        const QString command = co_await commandLine(pid);
        commands.insert(pid, command);
        if (command.isEmpty())
            continue; // gone already
        if (SingBox::isOwnedSingBoxCommand(command))
            owned << pid;
        else
            foreign << SingBox::ownerEntry(pid, command);
    }

    for (int pid : owned) {
        co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, false));
        co_await QCoro::sleepFor(afterKill);
        const bool outlivedTerm = co_await processExists(pid);
        if (outlivedTerm)
            co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, true));
    }
    if (!owned.isEmpty())
        co_await QCoro::sleepFor(afterKill);

    QList<int> survivors;
    for (int pid : owned) {
        const bool alive = co_await processExists(pid);
        if (alive)
            survivors << pid;
    }
    if (!survivors.isEmpty()) {
        if (!allowPrivilege)
            throw SingBoxRuntimeError::staleRuntimeNeedsCleanup();
        co_await terminatePrivileged(survivors);
        co_await QCoro::sleepFor(afterKill);
    }

    // Without a kill nothing has changed since the first look: its listeners and command lines still stand.
    QList<QList<int>> remaining = listening;
    if (!owned.isEmpty()) {
        remaining = co_await portListeners(proxyPorts);
        commands.clear();
    }
    // The first port in order that anyone still holds is the one named.
    for (qsizetype i = 0; i < proxyPorts.size(); ++i) {
        QStringList holders;
        for (int pid : remaining[i]) {
            QString command = commands.value(pid);
            if (!commands.contains(pid))
                command = co_await commandLine(pid);
            if (!command.isEmpty())
                holders << SingBox::ownerEntry(pid, command);
        }
        if (!holders.isEmpty())
            throw SingBoxRuntimeError::portInUse(proxyPorts[i],
                                                 holders.mid(0, maxOwnersNamed).join(QStringLiteral("；")));
    }

    QFile::remove(pidURL);
    co_return SingBox::cleanupNotes(!owned.isEmpty(), !foreign.isEmpty());
}
