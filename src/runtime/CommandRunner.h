#pragma once

#include "CommandResult.h"
#include "base/Errors.h"

#include <QCoro/QCoroTask>
#include <QProcessEnvironment>
#include <QStringList>

#include <optional>

// A child process that could not be started (missing, not executable). The description is the
// system's own reason.
class CommandLaunchError final : public TovrenError
{
public:
    using TovrenError::TovrenError;
};

// The command runners shared by every component that drives a system tool. Each owner picks the variant
// whose result and failure rule it needs. None of them applies a time limit: a bound on a command's
// running time is given to the command itself.
//
// The executable is always an absolute path on this host: resolve macOS tool paths with
// HostPaths::resolve() before passing them. Arguments travel as a list and never through a shell.
// Standard input is inherited; both output pipes are read to their end while the child runs, so a child
// that writes more than a pipe buffer holds never blocks.
namespace CommandRunner {

inline constexpr int notStartedStatus = 127;

// One run, also when the child never started.
struct Execution
{
    bool started = false;
    QString launchError; // the system's reason when not started
    CommandResult result;
};

// The core of every runner. environment: the child's whole environment; none inherits the client's.
QCoro::Task<Execution> execute(QString executable, QStringList arguments,
                               std::optional<QProcessEnvironment> environment = std::nullopt);

// Never fails: a child that did not start gives status 127, empty output and the launch error as
// standardError. (The sing-box runtime and the system proxy manager use this one.)
QCoro::Task<CommandResult> runResult(QString executable, QStringList arguments);

// Like runResult, but a child that did not start throws CommandLaunchError.
QCoro::Task<CommandResult> run(QString executable, QStringList arguments,
                               std::optional<QProcessEnvironment> environment = std::nullopt);

// The message of a failed command: its standard error when that is non-empty, else its standard output.
QString failureMessage(const CommandResult &result);

// The client's own environment with PATH replaced by the given value.
QProcessEnvironment environmentWithPath(const QString &path);

// UTF-8 text of a child's output; bytes that are not valid UTF-8 give the empty string.
QString decodeOutput(const QByteArray &bytes);

// Returns the standard output when the command exits with status 0. A non-zero status throws what
// makeFailure(failureMessage) returns; a child that did not start throws CommandLaunchError.
// (The tunnel coordinator's rule.)
template<typename MakeFailure>
QCoro::Task<QString> runForOutput(QString executable, QStringList arguments, MakeFailure makeFailure)
{
    const CommandResult result = co_await run(std::move(executable), std::move(arguments));
    if (result.status != 0)
        throw makeFailure(failureMessage(result));
    co_return result.standardOutput;
}

// Runs with PATH set to the client's search path and returns the combined output when the command exits
// with status 0. A non-zero status throws what makeFailure(combinedOutput) returns; a child that did not
// start throws CommandLaunchError. (The WireGuard tool installer's rule.)
QCoro::Task<CommandResult> runWithSearchPath(QString executable, QStringList arguments);

template<typename MakeFailure>
QCoro::Task<QString> runForCombinedOutput(QString executable, QStringList arguments, MakeFailure makeFailure)
{
    const CommandResult result = co_await runWithSearchPath(std::move(executable), std::move(arguments));
    if (result.status != 0)
        throw makeFailure(result.combinedOutput());
    co_return result.combinedOutput();
}

} // namespace CommandRunner
