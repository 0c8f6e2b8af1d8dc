#pragma once

#include "HostState.h"

#include <QList>
#include <QString>

// Lays out a host root: the folders of a Mac, a small wrapper script at every macOS tool path that runs the
// matching stand-in of tovren-simhost, links to a few harmless base utilities (sleep, cat, ...), the shell
// start-up file that makes command names resolve below the root, and the initial state.
namespace SimHost {

class HostStore;

// Optional software at the paths the client looks for it.
enum class Package {
    Homebrew,       // /opt/homebrew/bin/brew
    WireGuardTools, // /opt/homebrew/bin/wg-quick and wg
    HomebrewBash,   // /opt/homebrew/bin/bash (Bash 5 from Homebrew)
    ProxyCore,      // /opt/homebrew/bin/sing-box (the devstack core)
};

struct LayoutOptions
{
    QString simhostExecutable; // the tovren-simhost binary the wrappers run
    QString coreExecutable;    // the stand-in proxy core; empty: the root has none installed
    QList<Package> packages{Package::ProxyCore};
    HostState state = HostState::defaults();
};

// Creates (or refreshes) the root. Returns an empty string on success, else the reason.
QString createHostRoot(const QString &root, const LayoutOptions &options);

// Installs or removes a package in an existing root. Returns false when it cannot (no core known, I/O error).
bool setPackageInstalled(const HostStore &store, Package package, bool installed);
bool isPackageInstalled(const HostStore &store, Package package);

// The stand-in name a wrapper at this macOS path runs ("networksetup" for /usr/sbin/networksetup).
struct ToolPath
{
    const char *macPath;
    const char *tool;
};
const QList<ToolPath> &systemToolPaths();

// For tools that pass straight to this machine's program (lsof, ps, kill, curl, env): its path, else empty.
QString passThroughProgram(const QString &tool);

// A search path as the simulated Mac reads it: every absolute entry taken below the root (entries already below
// it kept), relative entries dropped. The simulated shell's start-up file applies the same rule.
QString rootedSearchPath(const QString &root, const QString &path);

// Wraps a word in single quotes for /bin/sh, a quote inside becoming '\''.
QString shellQuote(const QString &word);

} // namespace SimHost
