#pragma once

#include "HostStore.h"
#include "Tools.h"

#include <QObject>
#include <QProcess>

// osascript: "do shell script" runs its text with the simulated /bin/sh; "with administrator privileges"
// first shows a (counted) prompt, which a fault switch can cancel, and marks the shell as privileged.
// Terminal "do script" texts are recorded, never run. The result arrives through finished().
class OsascriptRun final : public QObject
{
    Q_OBJECT

public:
    explicit OsascriptRun(const SimHost::HostStore &store, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(OsascriptRun)

    void start(const QStringList &arguments);

Q_SIGNALS:
    void finished(const SimHost::ToolResult &result);

private:
    void runShell(const QString &command, bool administrator, bool alteringLineEndings);
    void finish(const SimHost::ToolResult &result);

    const SimHost::HostStore &m_store;
    QString m_script;
    QProcess m_shell;
    bool m_finished = false;
};
