#pragma once

#include "HostStore.h"

#include <QByteArray>
#include <QStringList>

// The stand-ins of the macOS tools that answer from the simulated state. Each takes the arguments without the
// program name and returns what the tool would print and its exit status.
namespace SimHost {

struct ToolResult
{
    int status = 0;
    QByteArray out;
    QByteArray err;

    static ToolResult failure(int status, const QString &err) { return {status, {}, err.toUtf8()}; }
    static ToolResult output(const QString &out) { return {0, out.toUtf8(), {}}; }
};

struct ToolContext
{
    const HostStore &store;
    bool privileged = false; // run through a granted administrator prompt
};

ToolResult runNetworkSetup(const ToolContext &context, const QStringList &arguments);
ToolResult runScutil(const ToolContext &context, const QStringList &arguments);
ToolResult runNetstat(const ToolContext &context, const QStringList &arguments);
ToolResult runIfconfig(const ToolContext &context, const QStringList &arguments);
ToolResult runWgQuick(const ToolContext &context, const QStringList &arguments);
ToolResult runWg(const ToolContext &context, const QStringList &arguments);
ToolResult runBrew(const ToolContext &context, const QStringList &arguments);
ToolResult runOpen(const ToolContext &context, const QStringList &arguments);
ToolResult runKillall(const ToolContext &context, const QStringList &arguments);
ToolResult runDscacheutil(const ToolContext &context, const QStringList &arguments);

// The arguments for this machine's lsof that make it answer as macOS's does.
QStringList macLsofArguments(const QStringList &arguments);

} // namespace SimHost
