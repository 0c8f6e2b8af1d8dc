#pragma once

#include "CommandRunner.h"

#include <QCoro/QCoroTask>
#include <QStringList>

// Running a shell command text with administrator rights through osascript, and building shell texts
// that carry every word unchanged. macOS shows one authorization prompt per run, so callers batch related
// commands into one text of several lines (the shell runs each line in turn; the status is the last one's).
namespace PrivilegedCommand {

// The text as the body of an AppleScript string literal: backslashes are doubled first, then every
// double quote gets a backslash in front. In the other order the backslashes added for the quotes would
// be doubled as well and the shell would see different text.
QString appleScriptEscaped(const QString &text);

// do shell script "<escaped command>" with administrator privileges
QString administratorScript(const QString &command);

// The osascript executable on this host and its arguments for one command text.
QString osascriptPath();
QStringList osascriptArguments(const QString &command);

// One word for a POSIX shell: wrapped in single quotes, with each single quote inside written as '\''.
QString shellQuoted(const QString &word);
// The words quoted one by one and joined with single spaces.
QString shellCommandLine(const QStringList &words);

// A networksetup command line for the administrator shell: the tool's path followed by the arguments,
// every word single-quoted, so a service name with quotes or spaces reaches the tool unchanged.
QString networkSetupShellCommand(const QStringList &arguments);
// Several networksetup command lines, one per line, for a single authorization prompt.
QString networkSetupShellScript(const QList<QStringList> &argumentLists);

// Runs the command text with administrator rights; never fails (see CommandRunner::runResult). A cancelled
// or refused authorization is a non-zero status with osascript's message on standard error.
QCoro::Task<CommandResult> runResult(QString command);

// Runs the command text with administrator rights under the raising rule of CommandRunner::runForOutput:
// a non-zero status throws makeFailure(message), a missing osascript throws CommandLaunchError.
template<typename MakeFailure> QCoro::Task<> run(QString command, MakeFailure makeFailure)
{
    co_await CommandRunner::runForOutput(osascriptPath(), osascriptArguments(command), std::move(makeFailure));
}

} // namespace PrivilegedCommand
