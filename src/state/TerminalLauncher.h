#pragma once

#include <QString>

// Opens a terminal window that runs a shell script, for tools the user drives by hand. On a Mac (also a
// simulated one under TOVREN_HOST_ROOT) Terminal runs it through osascript; elsewhere the desktop's terminal
// emulator runs it with bash and stays open afterwards. The window is never waited for or tracked.
namespace TerminalLauncher {

// The word `text` quoted for a POSIX shell: a'b -> 'a'\''b'.
QString shellQuoted(const QString &text);

// `text` made safe inside an AppleScript string literal: backslashes doubled first, then double quotes escaped.
QString appleScriptEscaped(const QString &text);

// The four-line AppleScript that has Terminal run `script` in a new window.
QString terminalAppleScript(const QString &script);

struct Launch
{
    bool started = false;
    QString error; // the system's reason when not started
};

// Starts the terminal and returns at once.
Launch openScript(const QString &script);

} // namespace TerminalLauncher
