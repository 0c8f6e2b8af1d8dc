#pragma once

#include "CommandResult.h"

#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <optional>

class QProcess;

// A core that runs: the configuration it was started with, its first listen port and the notes of the clean-up
// that made room for it.
struct SingBoxStart
{
    QString configURL;
    std::optional<int> proxyPort;
    QStringList recoveryNotes;

    friend bool operator==(const SingBoxStart &, const SingBoxStart &) = default;
};

// Runs the sing-box core for the tunnel coordinator: finds it, verifies a configuration, starts it as a
// child whose output goes to "sing-box.log" in the runtime folder, stops it, and removes the cores that
// a crashed or older client left behind on the local proxy ports.
//
// Each operation is a coroutine on the main thread. Callers issue start, stop and cleanup one at a time
// and await each; the object does not keep a second operation out while one waits for a command.
// Administrator rights are requested only during a start after a port conflict, or when a caller allows
// them for stop and cleanup.
class SingBoxRuntimeCoordinator final : public QObject
{
    Q_OBJECT

public:
    explicit SingBoxRuntimeCoordinator(QObject *parent = nullptr);
    ~SingBoxRuntimeCoordinator() override;
    Q_DISABLE_COPY_MOVE(SingBoxRuntimeCoordinator)

    // Throws SingBoxRuntimeError, FileSystemError or CommandLaunchError.
    QCoro::Task<SingBoxStart> start(QString configURL);
    // Never throws.
    QCoro::Task<> stop(bool allowPrivilege);
    // Removes leftover own cores found through the pid file and on the given ports; returns the notes.
    // Throws SingBoxRuntimeError (staleRuntimeNeedsCleanup, portInUse, privilegedLaunchFailed) or
    // FileSystemError.
    QCoro::Task<QStringList> cleanupOwnedRuntime(QList<int> proxyPorts, bool allowPrivilege);

    // The listeners of each port, in the order of `ports`: one lsof over them all (or the one-port query for a
    // single port). Nothing listening, and a failed lsof, give an empty list.
    QCoro::Task<QList<QList<int>>> portListeners(QList<int> ports);
    // Whether a clean-up of these ports has a known outcome, nothing to do: a look a moment ago found nobody
    // listening on any of them, nothing was launched since, and no pid file has turned up.
    bool portsKnownQuiet(const QList<int> &ports) const;

    // How several ports are asked about. The one-port queries are the reference the range query is held to.
    enum class PortQuery { range, perPort };
    void setPortQuery(PortQuery query) { m_portQuery = query; }

    // The log of the most recent start.
    std::optional<QString> lastLogURL() const { return m_lastLogURL; }
    // The process id of the core this object started and still holds, if any.
    std::optional<qint64> managedProcessId() const;

    // The first candidate that is an executable file.
    static std::optional<QString> bundledSingBoxURL();
    // "Tovren/sing-box" in the client's data folder, created on every call; throws FileSystemError.
    static QString runtimeDirectory();
    static QList<int> listenPorts(const QString &configURL);

private:
    static void resetRuntimeFiles(const QString &logURL, const QString &pidURL);
    static QString failureText(const QString &logURL);
    static std::optional<int> readPID(const QString &pidURL);

    QCoro::Task<> checkConfig(QString executableURL, QString configURL);
    QCoro::Task<std::optional<SingBoxStart>> startUnprivileged(QString executableURL, QString configURL,
                                                               QString logURL, std::optional<int> proxyPort);
    void stopManagedProcess();

    QCoro::Task<> terminate(int pid, bool allowPrivilege);
    QCoro::Task<> terminatePrivileged(QList<int> pids);
    QCoro::Task<QStringList> cleanupStaleRuntime(QString pidURL, QList<int> proxyPorts, bool allowPrivilege);
    QCoro::Task<QList<int>> listeningPIDs(int port);
    QCoro::Task<bool> processExists(int pid);
    QCoro::Task<QString> commandLine(int pid);

    QCoro::Task<CommandResult> runProcessResult(QString executable, QStringList arguments);
    QCoro::Task<> runPrivileged(QString command);

    QProcess *m_process = nullptr;
    std::optional<QString> m_lastLogURL;
    PortQuery m_portQuery = PortQuery::range;
    // Ports a look found without a listener, each until that knowledge is too old to rely on; forgotten at
    // every launch of a core.
    QHash<int, QDeadlineTimer> m_quietPorts;
};
