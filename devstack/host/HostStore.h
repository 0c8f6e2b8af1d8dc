#pragma once

#include "HostState.h"

#include <QDateTime>
#include <QJsonObject>
#include <functional>

// The files under a host root that hold the simulated Mac's state and what happened on it:
//   .simhost/state.json         network services, proxies, tunnels, fault switches (HostState)
//   .simhost/layout.json        where the stand-in executables live (written by HostLayout)
//   .simhost/invocations.jsonl  one line per tool run: tool, arguments, privileged or not
//   .simhost/prompts.jsonl      one line per administrator prompt: the shell text and the answer
//   .simhost/terminal.jsonl     one line per script handed to Terminal
//   .simhost/routes.txt         the routing table netstat prints (tunnel routes are added to it)
// Tools of several processes may run at once, so every read-modify-write holds an exclusive file lock.
namespace SimHost {

struct Invocation
{
    QString tool;          // "networksetup", "osascript", ...
    QStringList arguments; // argv without the program
    bool privileged = false;
    qint64 pid = 0;
    QDateTime time;
};

struct PromptRecord
{
    QString command; // the shell text of "do shell script", unescaped
    bool granted = false;
};

class HostStore final
{
public:
    explicit HostStore(QString root);

    QString root() const { return m_root; }
    QString path(const QString &macPath) const { return m_root + macPath; }
    QString dataDirectory() const { return m_root + QStringLiteral("/.simhost"); }
    bool isInitialised() const;

    HostState read() const;
    void write(const HostState &state) const;
    // Reads, changes and writes the state while holding the lock, so concurrent tools never lose an update.
    void update(const std::function<void(HostState &)> &change) const;

    QJsonObject layout() const;
    void writeLayout(const QJsonObject &layout) const;

    void recordInvocation(const QString &tool, const QStringList &arguments, bool privileged) const;
    QList<Invocation> invocations() const;
    void recordPrompt(const QString &command, bool granted) const;
    QList<PromptRecord> prompts() const;
    void recordTerminalScript(const QString &script) const;
    QStringList terminalScripts() const;
    void clearLogs() const;

    QString routingTable() const;
    void setRoutingTable(const QString &text) const;

private:
    QString file(const char *name) const;
    void append(const char *name, const QJsonObject &line) const;
    QList<QJsonObject> lines(const char *name) const;

    QString m_root;
};

} // namespace SimHost
