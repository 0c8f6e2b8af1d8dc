#include "TerminalLauncher.h"

#include "runtime/HostPaths.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

// The one platform decision: Terminal through osascript on a Mac or a simulated one, a terminal emulator
// otherwise.
bool drivesMacTerminal()
{
#if defined(Q_OS_MACOS)
    return true;
#else
    return !HostPaths::root().isEmpty();
#endif
}

TerminalLauncher::Launch startDetached(const QString &program, const QStringList &arguments)
{
    // Detached on purpose: a terminal emulator only returns when its window closes, and nothing here needs its
    // status.
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (process.startDetached())
        return {true, {}};
    return {false, process.errorString()};
}

TerminalLauncher::Launch openInTerminalEmulator(const QString &script)
{
    // bash receives the script unchanged as $1, runs it, then stays interactive so the window remains usable
    // with the exported variables, as a Terminal window on a Mac does.
    const QStringList shell{QStringLiteral("bash"), QStringLiteral("-c"), QStringLiteral("eval \"$1\"; exec bash -i"),
                            QStringLiteral("tovren-launcher"), script};
    struct Emulator
    {
        const char *name;
        const char *commandSwitch;
    };
    static const Emulator emulators[] = {
        {"x-terminal-emulator", "-e"}, {"gnome-terminal", "--"}, {"konsole", "-e"},
        {"xfce4-terminal", "-x"},      {"xterm", "-e"},
    };
    for (const Emulator &emulator : emulators) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(emulator.name));
        if (program.isEmpty())
            continue;
        return startDetached(program, QStringList{QString::fromLatin1(emulator.commandSwitch)} + shell);
    }
    return {false, QStringLiteral("未找到可用的终端程序。")};
}

} // namespace

namespace TerminalLauncher {

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString appleScriptEscaped(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return escaped;
}

QString terminalAppleScript(const QString &script)
{
    return QStringList{QStringLiteral("tell application \"Terminal\""), QStringLiteral("  activate"),
                       QStringLiteral("  do script \"") + appleScriptEscaped(script) + QLatin1Char('"'),
                       QStringLiteral("end tell")}
        .join(QLatin1Char('\n'));
}

Launch openScript(const QString &script)
{
    if (!drivesMacTerminal())
        return openInTerminalEmulator(script);
    return startDetached(HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::osascript)),
                         {QStringLiteral("-e"), terminalAppleScript(script)});
}

} // namespace TerminalLauncher
