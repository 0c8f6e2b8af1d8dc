#include "OsascriptTool.h"

#include "AppleScript.h"

#include <QTimer>

using namespace SimHost;

namespace {

// AppleScript reports errors as "<start>:<end>: <kind>: <message> (<number>)", the range covering the statement.
ToolResult scriptError(const QString &script, const QString &kind, const QString &message)
{
    return ToolResult::failure(1, QStringLiteral("0:%1: %2: %3\n").arg(script.size()).arg(kind, message));
}

} // namespace

OsascriptRun::OsascriptRun(const HostStore &store, QObject *parent) : QObject(parent), m_store(store)
{
    connect(&m_shell, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus exitStatus) {
        const QByteArray out = m_shell.readAllStandardOutput();
        QString err = QString::fromUtf8(m_shell.readAllStandardError());
        const int status = exitStatus == QProcess::NormalExit ? exitCode : 1;
        if (status != 0) {
            while (err.endsWith(u'\n'))
                err.chop(1);
            if (err.isEmpty())
                err = QStringLiteral("The command exited with a non-zero status.");
            finish(scriptError(m_script, QStringLiteral("execution error"),
                               QStringLiteral("%1 (%2)").arg(err).arg(status)));
            return;
        }
        QByteArray result = out;
        if (result.endsWith('\n'))
            result.chop(1);
        if (m_shell.property("alteringLineEndings").toBool())
            result.replace('\n', '\r');
        finish({0, result + '\n', {}});
    });
    connect(&m_shell, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(scriptError(m_script, QStringLiteral("execution error"),
                               m_shell.errorString() + QStringLiteral(" (127)")));
    });
}

void OsascriptRun::start(const QStringList &arguments)
{
    QStringList lines;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-e") && i + 1 < arguments.size()) {
            lines << arguments.at(++i);
        } else {
            finish(ToolResult::failure(1, QStringLiteral("osascript (devstack stand-in): only -e scripts are "
                                                         "supported, got %1\n")
                                              .arg(arguments.at(i))));
            return;
        }
    }
    m_script = lines.join(u'\n');
    if (lines.isEmpty()) {
        finish(ToolResult::failure(1, QStringLiteral("usage: osascript -e statement\n")));
        return;
    }
    if (const std::optional<QString> terminal = AppleScript::parseTerminalScript(m_script)) {
        m_store.recordTerminalScript(*terminal);
        finish(ToolResult::output(QStringLiteral("tab 1 of window id 1001\n")));
        return;
    }
    if (const std::optional<AppleScript::ShellScript> shell = AppleScript::parseDoShellScript(m_script)) {
        runShell(shell->command, shell->administrator, shell->alteringLineEndings);
        return;
    }
    finish(scriptError(m_script, QStringLiteral("syntax error"),
                       QStringLiteral("The devstack osascript understands do shell script and Terminal do script "
                                      "only. (-2740)")));
}

void OsascriptRun::runShell(const QString &command, bool administrator, bool alteringLineEndings)
{
    if (administrator) {
        bool granted = true;
        m_store.update([&](HostState &state) {
            ++state.promptCount;
            granted = state.promptAnswer == PromptAnswer::Grant;
        });
        m_store.recordPrompt(command, granted);
        if (!granted) {
            finish(scriptError(m_script, QStringLiteral("execution error"), QStringLiteral("User canceled. (-128)")));
            return;
        }
    }
    // do shell script starts /bin/sh with a minimal search path; the privileged flag is what makes the
    // stand-ins behave as if run by root.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin"));
    if (administrator)
        environment.insert(QStringLiteral("TOVREN_SIMHOST_PRIVILEGED"), QStringLiteral("1"));
    else
        environment.remove(QStringLiteral("TOVREN_SIMHOST_PRIVILEGED"));
    m_shell.setProcessEnvironment(environment);
    m_shell.setWorkingDirectory(m_store.root());
    m_shell.setProperty("alteringLineEndings", alteringLineEndings);
    m_shell.setStandardInputFile(QProcess::nullDevice());
    m_shell.start(m_store.path(QStringLiteral("/bin/sh")), {QStringLiteral("-c"), command});
}

void OsascriptRun::finish(const ToolResult &result)
{
    if (m_finished)
        return;
    m_finished = true;
    // Deliver from the event loop so callers may connect after start() returns.
    QTimer::singleShot(0, this, [this, result] { Q_EMIT finished(result); });
}
