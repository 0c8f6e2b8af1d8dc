#include "CommandRunner.h"

#include "HostPaths.h"
#include "ProcessWait.h"

#include <QProcess>
#include <QStringDecoder>

#include <utility>

namespace CommandRunner {

QString decodeOutput(const QByteArray &bytes)
{
    // Keep a leading byte-order mark as a character, like any other valid UTF-8.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text;
}

QString failureMessage(const CommandResult &result)
{
    return result.standardError.isEmpty() ? result.standardOutput : result.standardError;
}

QProcessEnvironment environmentWithPath(const QString &path)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), path);
    return environment;
}

QCoro::Task<Execution> execute(QString executable, QStringList arguments,
                               std::optional<QProcessEnvironment> environment)
{
    QProcess process;
    process.setProgram(executable);
    process.setArguments(arguments);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    if (environment)
        process.setProcessEnvironment(*environment);

    // QProcess keeps reading both pipes into its buffers from the event loop while the child runs, and
    // drains what is left when it exits.
    process.start(QIODevice::ReadOnly);
    co_await ProcessWait::untilFinished(process);

    Execution execution;
    if (process.error() == QProcess::FailedToStart) {
        execution.launchError = process.errorString();
        execution.result = CommandResult{notStartedStatus, QString(), execution.launchError};
        co_return execution;
    }
    execution.started = true;
    // For a child ended by a signal, Qt reports the signal number as the exit code, which keeps the
    // status non-zero like the system's termination status.
    execution.result.status = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit && execution.result.status == 0)
        execution.result.status = 1;
    execution.result.standardOutput = decodeOutput(process.readAllStandardOutput());
    execution.result.standardError = decodeOutput(process.readAllStandardError());
    co_return execution;
}

QCoro::Task<CommandResult> runResult(QString executable, QStringList arguments)
{
    const Execution execution = co_await execute(std::move(executable), std::move(arguments));
    co_return execution.result;
}

QCoro::Task<CommandResult> run(QString executable, QStringList arguments,
                               std::optional<QProcessEnvironment> environment)
{
    const Execution execution = co_await execute(std::move(executable), std::move(arguments), std::move(environment));
    if (!execution.started)
        throw CommandLaunchError(execution.launchError);
    co_return execution.result;
}

QCoro::Task<CommandResult> runWithSearchPath(QString executable, QStringList arguments)
{
    return run(std::move(executable), std::move(arguments), environmentWithPath(HostPaths::searchPath()));
}

} // namespace CommandRunner
