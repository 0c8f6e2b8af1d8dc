#include "HostLayout.h"

#include "HostStore.h"
#include "MacFormats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

namespace SimHost {

namespace {

const char *const macFolders[] = {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/opt/homebrew/bin",
                                  "/tmp"};

// Harmless utilities a Mac has in its base system; linked straight to this machine's programs and not recorded.
// Nothing that changes network settings or kills processes belongs here.
struct BaseUtility
{
    const char *macFolder;
    const char *name;
};
const BaseUtility baseUtilities[] = {
    {"/bin", "cat"},          {"/bin", "chmod"},       {"/bin", "cp"},         {"/bin", "date"},
    {"/bin", "echo"},         {"/bin", "ln"},          {"/bin", "ls"},         {"/bin", "mkdir"},
    {"/bin", "mv"},           {"/bin", "pwd"},         {"/bin", "rm"},         {"/bin", "rmdir"},
    {"/bin", "sleep"},        {"/bin", "test"},        {"/usr/bin", "awk"},    {"/usr/bin", "basename"},
    {"/usr/bin", "cut"},      {"/usr/bin", "dirname"}, {"/usr/bin", "false"},  {"/usr/bin", "grep"},
    {"/usr/bin", "head"},     {"/usr/bin", "id"},      {"/usr/bin", "mktemp"}, {"/usr/bin", "printf"},
    {"/usr/bin", "readlink"}, {"/usr/bin", "sed"},     {"/usr/bin", "sort"},   {"/usr/bin", "tail"},
    {"/usr/bin", "tee"},      {"/usr/bin", "touch"},   {"/usr/bin", "tr"},     {"/usr/bin", "true"},
    {"/usr/bin", "uname"},    {"/usr/bin", "uniq"},    {"/usr/bin", "wc"},     {"/usr/bin", "which"},
    {"/usr/bin", "whoami"},   {"/usr/bin", "xargs"},
};

QString realUtility(const char *name)
{
    for (const char *folder : {"/usr/bin/", "/bin/"}) {
        const QString candidate = QLatin1String(folder) + QLatin1String(name);
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return {};
}

bool writeWrapper(const QString &root, const QString &simhost, const QString &macPath, const QString &tool)
{
    const QString path = root + macPath;
    QFile::remove(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString text = QStringLiteral("#!/bin/sh\n"
                                        "# Simulated Mac: %1 runs the devstack stand-in (see devstack/README.md).\n"
                                        "exec %2 tool %3 %4 \"$@\"\n")
                             .arg(macPath, shellQuote(simhost), shellQuote(root), shellQuote(tool));
    file.write(text.toUtf8());
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                               QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                               QFileDevice::ExeOther);
}

QString shellPrelude(const QString &root)
{
    return QStringLiteral(
               "# Start-up file of the simulated Mac's shell (see devstack/README.md).\n"
               "# PATH names macOS folders: every absolute entry is taken below the host root, so that\n"
               "# \"export PATH=/opt/homebrew/bin:/usr/bin:...\" finds the stand-ins and never this machine's tools.\n"
               "__simhost_root=%1\n"
               "__simhost_seen_path=\n"
               "__simhost_map_path() {\n"
               "    [[ \"$PATH\" == \"$__simhost_seen_path\" ]] && return 0\n"
               "    local rest=\"$PATH:\" entry mapped=\n"
               "    while [[ -n \"$rest\" ]]; do\n"
               "        entry=\"${rest%%:*}\"\n"
               "        rest=\"${rest#*:}\"\n"
               "        case \"$entry\" in\n"
               "        \"$__simhost_root\" | \"$__simhost_root\"/*) ;;\n"
               "        /*) entry=\"$__simhost_root$entry\" ;;\n"
               "        *) continue ;;\n"
               "        esac\n"
               "        mapped=\"${mapped:+$mapped:}$entry\"\n"
               "    done\n"
               "    PATH=\"$mapped\"\n"
               "    __simhost_seen_path=\"$PATH\"\n"
               "}\n"
               "set -o functrace\n"
               "trap __simhost_map_path DEBUG\n"
               "__simhost_map_path\n")
        .arg(shellQuote(root));
}

QList<ToolPath> packageTools(Package package)
{
    switch (package) {
    case Package::Homebrew: return {{"/opt/homebrew/bin/brew", "brew"}};
    case Package::WireGuardTools: return {{"/opt/homebrew/bin/wg-quick", "wg-quick"}, {"/opt/homebrew/bin/wg", "wg"}};
    case Package::HomebrewBash: return {{"/opt/homebrew/bin/bash", "bash"}};
    case Package::ProxyCore: return {{"/opt/homebrew/bin/sing-box", "sing-box"}};
    }
    return {};
}

} // namespace

QString shellQuote(const QString &word)
{
    QString quoted = word;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

QString rootedSearchPath(const QString &root, const QString &path)
{
    QStringList entries;
    for (const QString &entry : path.split(u':', Qt::SkipEmptyParts)) {
        if (entry == root || entry.startsWith(root + u'/'))
            entries << entry;
        else if (entry.startsWith(u'/'))
            entries << root + entry;
    }
    return entries.join(u':');
}

const QList<ToolPath> &systemToolPaths()
{
    static const QList<ToolPath> tools{
        {"/usr/sbin/networksetup", "networksetup"},
        {"/usr/sbin/scutil", "scutil"},
        {"/usr/sbin/netstat", "netstat"},
        {"/usr/sbin/lsof", "lsof"},
        {"/sbin/ifconfig", "ifconfig"},
        {"/bin/ps", "ps"},
        {"/bin/kill", "kill"},
        {"/bin/sh", "sh"},
        {"/bin/bash", "bash"},
        {"/usr/bin/curl", "curl"},
        {"/usr/bin/env", "env"},
        {"/usr/bin/osascript", "osascript"},
        {"/usr/bin/open", "open"},
        {"/usr/bin/killall", "killall"},
        {"/usr/bin/dscacheutil", "dscacheutil"},
    };
    return tools;
}

QString passThroughProgram(const QString &tool)
{
    static const char *const tools[] = {"lsof", "ps", "kill", "curl", "env"};
    for (const char *name : tools) {
        if (tool == QLatin1String(name))
            return realUtility(name);
    }
    return {};
}

QString createHostRoot(const QString &rootPath, const LayoutOptions &options)
{
    const HostStore store(QDir(rootPath).absolutePath());
    const QString root = store.root();
    if (options.simhostExecutable.isEmpty() || !QFileInfo(options.simhostExecutable).isExecutable())
        return QStringLiteral("the tovren-simhost executable is not known or not executable");
    if (!options.coreExecutable.isEmpty() && !QFileInfo(options.coreExecutable).isExecutable())
        return QStringLiteral("the proxy core %1 is not executable").arg(options.coreExecutable);
    for (const char *folder : macFolders) {
        if (!QDir().mkpath(root + QLatin1String(folder)))
            return QStringLiteral("cannot create %1%2").arg(root, QLatin1String(folder));
    }
    if (!QDir().mkpath(store.dataDirectory()))
        return QStringLiteral("cannot create %1").arg(store.dataDirectory());

    store.writeLayout(
        {{"simhost", QFileInfo(options.simhostExecutable).absoluteFilePath()},
         {"core",
          options.coreExecutable.isEmpty() ? QString() : QFileInfo(options.coreExecutable).absoluteFilePath()}});
    for (const ToolPath &tool : systemToolPaths()) {
        if (!writeWrapper(root, options.simhostExecutable, QLatin1String(tool.macPath), QLatin1String(tool.tool)))
            return QStringLiteral("cannot write %1%2").arg(root, QLatin1String(tool.macPath));
    }
    for (const BaseUtility &utility : baseUtilities) {
        const QString real = realUtility(utility.name);
        const QString link = root + QLatin1String(utility.macFolder) + u'/' + QLatin1String(utility.name);
        QFile::remove(link);
        if (!real.isEmpty() && !QFile::link(real, link))
            return QStringLiteral("cannot link %1").arg(link);
    }
    QFile prelude(store.dataDirectory() + QStringLiteral("/shell-prelude.bash"));
    if (!prelude.open(QIODevice::WriteOnly) || prelude.write(shellPrelude(root).toUtf8()) < 0)
        return QStringLiteral("cannot write %1").arg(prelude.fileName());
    prelude.close();

    store.write(options.state);
    store.setRoutingTable(routingTableText(defaultRoutes()));
    store.clearLogs();
    for (Package package : {Package::Homebrew, Package::WireGuardTools, Package::HomebrewBash, Package::ProxyCore}) {
        const bool wanted =
            options.packages.contains(package) && (package != Package::ProxyCore || !options.coreExecutable.isEmpty());
        if (!setPackageInstalled(store, package, wanted))
            return QStringLiteral("cannot install a package in %1").arg(root);
    }
    return {};
}

bool setPackageInstalled(const HostStore &store, Package package, bool installed)
{
    const QJsonObject layout = store.layout();
    const QString simhost = layout.value("simhost").toString();
    if (installed &&
        (simhost.isEmpty() || (package == Package::ProxyCore && layout.value("core").toString().isEmpty())))
        return false;
    for (const ToolPath &tool : packageTools(package)) {
        const QString macPath = QLatin1String(tool.macPath);
        if (!installed) {
            QFile::remove(store.path(macPath));
            continue;
        }
        if (!writeWrapper(store.root(), simhost, macPath, QLatin1String(tool.tool)))
            return false;
    }
    return true;
}

bool isPackageInstalled(const HostStore &store, Package package)
{
    for (const ToolPath &tool : packageTools(package)) {
        if (!QFileInfo(store.path(QLatin1String(tool.macPath))).isExecutable())
            return false;
    }
    return true;
}

} // namespace SimHost
