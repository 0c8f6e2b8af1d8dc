#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <optional>

// The pure decisions of the sing-box runtime: where the core may lie, which ports a configuration listens
// on, which processes are our own cores, and how failure texts are cleaned.
namespace SingBox {

// Where the core is looked for, in order: the application's resources (the folder "Resources" beside the
// executable's folder, as in a macOS bundle), the executable's own folder, then the two Homebrew
// prefixes of the host.
QStringList coreCandidates(const QString &applicationDirectory);

// The TCP ports of the configuration's inbounds ("listen_port", a number or a decimal text), without
// duplicates, ascending. Unreadable JSON or no usable port gives {19090}.
QList<int> listenPorts(const QByteArray &configuration);

// PATH for the core: its own folder first, then the client's search path.
QString corePath(const QString &coreExecutable);

// A process id as written in a pid file: decimal text, surrounding white space ignored. Only positive
// ids name a single process (0 and negative ids address process groups or everything), so nothing else
// counts as a pid.
std::optional<int> parsePID(const QString &text);

// The pids printed by `lsof -t`, in output order.
QList<int> parseListeningPIDs(const QString &lsofOutput);

// lsof over several ports in one run ("-iTCP:19090-19110"), with field output of pid and name.
QStringList listeningArguments(const QList<int> &ports);
// The listeners of each asked port in that field output, in the order of `ports`: per port the pids in output
// order without repeats, as the one-port query would print them. Fields other than pid and name (macOS's lsof
// adds the descriptor) are skipped.
QList<QList<int>> parseListeners(const QString &lsofFieldOutput, const QList<int> &ports);

// A core of this client (or an earlier version of it), recognised by its command line.
bool isOwnedSingBoxCommand(const QString &command);

// "<pid> <command>", how a process holding a port is named to the user.
QString ownerEntry(int pid, const QString &command);

// Colour codes removed, trimmed, empty lines dropped, the last 10 lines kept.
// Nothing left gives "没有捕获到 sing-box 输出日志。".
QString cleanMessage(const QString &text);
QString noLogMessage();

// The core's words for a listen port that is already taken.
bool isAddressInUse(const QString &text);

// The administrator script that ends the given processes: TERM, a short pause, then KILL, per pid.
QString privilegedTerminationScript(const QList<int> &pids);

// Notes returned by a cleanup: own cores were removed, or only other programs were seen, or nothing.
QStringList cleanupNotes(bool removedOwnCores, bool sawOtherPrograms);

// Argument lists of the process queries.
QStringList listeningArguments(int port);
QStringList processExistsArguments(int pid);
QStringList commandLineArguments(int pid);
// kill <pid>, or kill -9 <pid>.
QStringList killArguments(int pid, bool force);
// Whether `ps -o pid=` output names the pid.
bool outputNamesProcess(const QString &psOutput, int pid);

} // namespace SingBox
