#pragma once

#include <QString>
#include <optional>

// The two AppleScript shapes the client hands to osascript, read the way AppleScript reads them.
namespace SimHost::AppleScript {

// Text as an AppleScript string literal's content: backslashes doubled first, then double quotes escaped.
QString escape(const QString &text);

// Reads the string literal that starts at script[from] (a double quote). Returns its text with the escapes
// (\\ \" \n \r \t) undone and sets *end just past the closing quote; nullopt for an unterminated literal or
// an escape AppleScript does not know.
std::optional<QString> readLiteral(const QString &script, qsizetype from, qsizetype *end);

struct ShellScript
{
    QString command;
    bool administrator = false;      // "with administrator privileges"
    bool alteringLineEndings = true; // false: "without altering line endings"
};

// do shell script "..." [with administrator privileges] [without altering line endings]
std::optional<ShellScript> parseDoShellScript(const QString &script);

// tell application "Terminal" ... do script "..." ... end tell: the shell text handed to Terminal.
std::optional<QString> parseTerminalScript(const QString &script);

} // namespace SimHost::AppleScript
