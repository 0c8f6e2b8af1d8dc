// Finding and ending the cores that an earlier run left behind.

#include "SingBoxRuntimeCoordinator.h"

#include "CommandRunner.h"
#include "HostPaths.h"
#include "SingBoxRuntimeError.h"
#include "SingBoxRuntimeRules.h"

#include <QCoroTimer>
#include <QFile>

#include <algorithm>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr auto afterKill = 250ms;
constexpr int maxOwnersNamed = 3;
// Port queries that run at once: enough to overlap their waits, few enough to keep descriptors and processes
// modest under a per-process descriptor limit of 256.
constexpr qsizetype concurrentPortQueries = 7;

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

QCoro::Task<QList<QList<int>>> SingBoxRuntimeCoordinator::listeningPIDs(QList<int> ports)
{
    // A clean-up asks about all 21 local ports twice, and a connect cleans up twice before its core starts. The
    // queries are independent and each mostly waits for lsof; one after the other they take seconds.
    QList<QList<int>> listeners;
    for (qsizetype first = 0; first < ports.size(); first += concurrentPortQueries) {
        std::vector<QCoro::Task<QList<int>>> queries; // each starts running at once
        for (qsizetype i = first; i < std::min(ports.size(), first + concurrentPortQueries); ++i) {
            // One launch per turn of the event loop: a launch holds the loop until the child runs.
            if (i > first)
                co_await QCoro::sleepFor(0ms);
            queries.push_back(listeningPIDs(ports[i]));
        }
        for (QCoro::Task<QList<int>> &query : queries)
            listeners << co_await std::move(query);
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
    if (co_await processExists(pid))
        co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, true));
    if (allowPrivilege && co_await processExists(pid)) {
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
    QList<int> candidates;
    if (const std::optional<int> pid = readPID(pidURL))
        candidates << *pid;
    const QList<QList<int>> listening = co_await listeningPIDs(proxyPorts);
    for (const QList<int> &listeners : listening)
        candidates << listeners;
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    QList<int> owned;
    QStringList foreign;
    for (int pid : candidates) {
        const QString command = co_await commandLine(pid);
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
        if (co_await processExists(pid))
            co_await runProcessResult(tool(HostPaths::Tool::kill), SingBox::killArguments(pid, true));
    }
    if (!owned.isEmpty())
        co_await QCoro::sleepFor(afterKill);

    QList<int> survivors;
    for (int pid : owned) {
        if (co_await processExists(pid))
            survivors << pid;
    }
    if (!survivors.isEmpty()) {
        if (!allowPrivilege)
            throw SingBoxRuntimeError::staleRuntimeNeedsCleanup();
        co_await terminatePrivileged(survivors);
        co_await QCoro::sleepFor(afterKill);
    }

    // The first port in order that anyone still holds is the one named.
    const QList<QList<int>> remaining = co_await listeningPIDs(proxyPorts);
    for (qsizetype i = 0; i < proxyPorts.size(); ++i) {
        const int port = proxyPorts[i];
        QStringList holders;
        for (int pid : remaining[i]) {
            const QString command = co_await commandLine(pid);
            if (!command.isEmpty())
                holders << SingBox::ownerEntry(pid, command);
        }
        if (!holders.isEmpty())
            throw SingBoxRuntimeError::portInUse(port, holders.mid(0, maxOwnersNamed).join(QStringLiteral("；")));
    }

    QFile::remove(pidURL);
    co_return SingBox::cleanupNotes(!owned.isEmpty(), !foreign.isEmpty());
}
