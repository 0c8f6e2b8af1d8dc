// Finding and ending the cores that an earlier run left behind.

#include "SingBoxRuntimeCoordinator.h"

#include "CommandRunner.h"
#include "HostPaths.h"
#include "SingBoxRuntimeError.h"
#include "SingBoxRuntimeRules.h"

#include <QCoroTimer>
#include <QFile>

#include <algorithm>

using namespace std::chrono_literals;

namespace {

constexpr auto afterKill = 250ms;
constexpr int maxOwnersNamed = 3;

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
    for (int port : proxyPorts)
        candidates << co_await listeningPIDs(port);
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

    for (int port : proxyPorts) {
        QStringList holders;
        for (int pid : co_await listeningPIDs(port)) {
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
