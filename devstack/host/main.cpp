// tovren-simhost: lays out a simulated Mac and runs its stand-in tools (see --help and devstack/README.md).
#include "HostLayout.h"
#include "HostStore.h"
#include "tools/OsascriptTool.h"
#include "tools/Tools.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>
#include <deque>
#include <unistd.h>
#include <vector>

using namespace SimHost;

namespace {

const char helpText[] = R"(tovren-simhost: the simulated Mac of the Tovren devstack.

Usage:
  tovren-simhost init <root> [options]     lay out a host root (run the client with TOVREN_HOST_ROOT=<root>)
  tovren-simhost state <root>              print the simulated state as JSON
  tovren-simhost tool <root> <name> [args] run one stand-in tool (what the wrappers in the root do)

Options of init:
  --core <path>             the stand-in proxy core to install as /opt/homebrew/bin/sing-box
                            (default: the devstack core built next to this program)
  --no-core                 install no proxy core
  --homebrew                install /opt/homebrew/bin/brew
  --wireguard-tools         install /opt/homebrew/bin/wg-quick and wg
  --homebrew-bash           install /opt/homebrew/bin/bash
  --service <name>[=<dev>]  a network service (repeatable; the first is connected and primary);
                            without any, the root has "Wi-Fi" (en0) and a disabled "Thunderbolt Bridge"
  --disabled-service <name>[=<dev>]  a disabled network service (listed with an asterisk)

Tools in the root (each run is recorded in <root>/.simhost/invocations.jsonl):
  /usr/sbin/networksetup  services, web/secure web/SOCKS proxies and states, bypass domains
  /usr/sbin/scutil        --proxy: the proxy dictionary derived from the primary service
  /usr/sbin/netstat       -rn -f inet: the routing table (<root>/.simhost/routes.txt plus tunnel routes)
  /sbin/ifconfig          interfaces of the services, of tunnels and extra ones; <if> destroy
  /usr/bin/osascript      do shell script "..." [with administrator privileges]; Terminal do script
  /usr/bin/open, /usr/bin/killall, /usr/bin/dscacheutil   answer without touching this machine
  /bin/sh, /bin/bash      this machine's bash; PATH entries are taken below the root
  /usr/sbin/lsof, /bin/ps, /bin/kill, /usr/bin/curl, /usr/bin/env   this machine's programs (lsof's field
                          output also names the descriptor, as macOS's lsof 4.91 does)
  /opt/homebrew/bin/{brew,wg-quick,wg,bash,sing-box}   when installed

Environment:
  TOVREN_SIMHOST_PRIVILEGED=1   set by osascript for a granted administrator prompt; the stand-ins then act
                                as root (networksetup ignores its user-reject switches, wg-quick runs, brew refuses)
)";

void writeAll(FILE *stream, const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int fail(const QString &message)
{
    writeAll(stderr, (QStringLiteral("tovren-simhost: ") + message + u'\n').toUtf8());
    return 2;
}

[[noreturn]] void execProgram(const QString &program, const QByteArray &argv0, char **arguments)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0.constData()));
    for (char **argument = arguments; *argument; ++argument)
        argv.push_back(*argument);
    argv.push_back(nullptr);
    const QByteArray path = QFile::encodeName(program);
    ::execv(path.constData(), argv.data());
    std::perror(path.constData());
    std::_Exit(126);
}

// sh and bash: this machine's bash, whose start-up file maps PATH below the root. A login flag is dropped so
// that this machine's /etc/profile never resets PATH.
[[noreturn]] void execShell(const HostStore &store, char **arguments)
{
    qputenv("BASH_ENV", QFile::encodeName(store.dataDirectory() + QStringLiteral("/shell-prelude.bash")));
    static std::vector<QByteArray> kept;
    bool options = true;
    for (char **argument = arguments; *argument; ++argument) {
        QByteArray word(*argument);
        if (options && word == "--login")
            continue;
        if (options && word.startsWith('-') && !word.startsWith("--") && word.size() > 1) {
            word.replace("l", "");
            if (word == "-")
                continue;
            options = !word.contains('c'); // after -c come the command text, $0 and the parameters
        } else {
            options = false;
        }
        kept.push_back(word);
    }
    std::vector<char *> argv;
    argv.reserve(kept.size() + 1);
    for (QByteArray &word : kept)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // Named "bash", not "sh": in POSIX mode bash would skip BASH_ENV.
    execProgram(QStringLiteral("/bin/bash"), "bash", argv.data());
}

int runOsascript(int argc, char **argv, const HostStore &store, const QStringList &arguments)
{
    QCoreApplication app(argc, argv);
    OsascriptRun run(store);
    int status = 0;
    QObject::connect(&run, &OsascriptRun::finished, &app, [&](const ToolResult &result) {
        writeAll(stdout, result.out);
        writeAll(stderr, result.err);
        status = result.status;
        app.quit();
    });
    run.start(arguments);
    app.exec();
    return status;
}

int toolCommand(int argc, char **argv)
{
    const HostStore store(QString::fromLocal8Bit(argv[2]));
    const QString tool = QString::fromLocal8Bit(argv[3]);
    char **rawArguments = argv + 4;
    QStringList arguments;
    for (char **argument = rawArguments; *argument; ++argument)
        arguments << QString::fromLocal8Bit(*argument);
    if (!store.isInitialised())
        return fail(QStringLiteral("%1 is not a host root (run init first)").arg(store.root()));
    const bool privileged = qgetenv("TOVREN_SIMHOST_PRIVILEGED") == "1";
    store.recordInvocation(tool, arguments, privileged);

    if (tool == QLatin1String("sh") || tool == QLatin1String("bash"))
        execShell(store, rawArguments);
    if (tool == QLatin1String("env")) {
        // env looks commands up itself: keep it to the root's programs, like the shell.
        qputenv("PATH", QFile::encodeName(rootedSearchPath(store.root(), qEnvironmentVariable("PATH"))));
        for (char **argument = rawArguments; *argument; ++argument) {
            if (qstrncmp(*argument, "PATH=", 5) == 0) {
                static std::deque<QByteArray> mapped; // stable addresses for argv
                mapped.push_back("PATH=" +
                                 QFile::encodeName(rootedSearchPath(store.root(), QFile::decodeName(*argument + 5))));
                *argument = mapped.back().data();
            }
        }
    }
    if (tool == QLatin1String("lsof")) {
        // The words keep their number and order; only a field list may grow.
        static std::deque<QByteArray> mac; // stable addresses for argv
        const QStringList words = macLsofArguments(arguments);
        for (qsizetype i = 0; i < words.size(); ++i) {
            mac.push_back(words.at(i).toLocal8Bit());
            rawArguments[i] = mac.back().data();
        }
    }
    if (const QString real = passThroughProgram(tool); !real.isEmpty())
        execProgram(real, argv[3], rawArguments);
    if (tool == QLatin1String("sing-box")) {
        const QString core = store.layout().value("core").toString();
        if (core.isEmpty())
            return fail(QStringLiteral("no proxy core is known for this root"));
        // The core's command line names the path it was started by, as a real installation's would.
        execProgram(core, QFile::encodeName(store.path(QStringLiteral("/opt/homebrew/bin/sing-box"))), rawArguments);
    }
    if (tool == QLatin1String("osascript"))
        return runOsascript(argc, argv, store, arguments);

    using Runner = ToolResult (*)(const ToolContext &, const QStringList &);
    static const QHash<QString, Runner> runners{
        {QStringLiteral("networksetup"), runNetworkSetup},
        {QStringLiteral("scutil"), runScutil},
        {QStringLiteral("netstat"), runNetstat},
        {QStringLiteral("ifconfig"), runIfconfig},
        {QStringLiteral("wg-quick"), runWgQuick},
        {QStringLiteral("wg"), runWg},
        {QStringLiteral("brew"), runBrew},
        {QStringLiteral("open"), runOpen},
        {QStringLiteral("killall"), runKillall},
        {QStringLiteral("dscacheutil"), runDscacheutil},
    };
    const Runner runner = runners.value(tool);
    if (!runner)
        return fail(QStringLiteral("unknown tool %1").arg(tool));
    const ToolResult result = runner(ToolContext{store, privileged}, arguments);
    writeAll(stdout, result.out);
    writeAll(stderr, result.err);
    return result.status;
}

NetworkService serviceFromOption(const QString &value, bool enabled)
{
    NetworkService service;
    service.name = value.section(u'=', 0, 0);
    service.device = value.section(u'=', 1);
    service.enabled = enabled;
    return service;
}

int initCommand(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return fail(QStringLiteral("init needs a root folder"));
    LayoutOptions options;
    options.simhostExecutable = QCoreApplication::applicationFilePath();
    options.coreExecutable = QStringLiteral(TOVREN_DEVSTACK_CORE);
    QList<NetworkService> services;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        const QString value = arguments.value(i + 1);
        if (option == QLatin1String("--core") && i + 1 < arguments.size()) {
            options.coreExecutable = value;
            ++i;
        } else if (option == QLatin1String("--no-core")) {
            options.coreExecutable.clear();
        } else if (option == QLatin1String("--homebrew")) {
            options.packages << Package::Homebrew;
        } else if (option == QLatin1String("--wireguard-tools")) {
            options.packages << Package::WireGuardTools;
        } else if (option == QLatin1String("--homebrew-bash")) {
            options.packages << Package::HomebrewBash;
        } else if ((option == QLatin1String("--service") || option == QLatin1String("--disabled-service")) &&
                   i + 1 < arguments.size()) {
            services << serviceFromOption(value, option == QLatin1String("--service"));
            ++i;
        } else {
            return fail(QStringLiteral("unknown option %1 (see --help)").arg(option));
        }
    }
    if (!services.isEmpty()) {
        options.state.services = services;
        options.state.primaryService.clear();
        for (NetworkService &service : options.state.services) {
            if (service.enabled) {
                service.connected = true;
                service.address = QStringLiteral("192.168.1.23");
                options.state.primaryService = service.name;
                break;
            }
        }
    }
    const QString error = createHostRoot(arguments.first(), options);
    if (!error.isEmpty())
        return fail(error);
    writeAll(stdout, (QFileInfo(arguments.first()).absoluteFilePath() + u'\n').toUtf8());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray command = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (command == "tool" && argc >= 4)
        return toolCommand(argc, argv);
    if (command == "--help" || command == "-h" || command == "help") {
        writeAll(stdout, helpText);
        return 0;
    }
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(2);
    if (command == "init")
        return initCommand(arguments);
    if (command == "state" && arguments.size() == 1) {
        const HostStore store(arguments.first());
        if (!store.isInitialised())
            return fail(QStringLiteral("%1 is not a host root").arg(store.root()));
        writeAll(stdout, QJsonDocument(store.read().toJson()).toJson());
        return 0;
    }
    writeAll(stderr, helpText);
    return 2;
}
