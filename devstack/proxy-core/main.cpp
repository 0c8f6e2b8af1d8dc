// The devstack's stand-in for the sing-box proxy core (see --help and devstack/README.md).
#include "CoreConfig.h"
#include "CoreLog.h"
#include "CoreService.h"
#include "HostMap.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char helpText[] = R"(sing-box (Tovren devstack stand-in)

Usage:
  sing-box check -c <file>     exit 0 when the configuration can run here, else print the reason and exit 1
  sing-box run -c <file>       serve the configuration until SIGTERM or SIGINT
  sing-box version             print the version
Flags: -c, --config <file> (once); -D, --directory <dir> (working directory); --disable-color

What runs:
  inbounds   "mixed" (SOCKS5 with domain names, HTTP CONNECT, HTTP requests with an absolute URI), "socks",
             "http"; "listen" must be a loopback address; "listen_port" a number; unknown keys are refused
  outbounds  "direct" (override_address, override_port, inet4_bind_address), "block", "dns" (closes),
             "socks" (SOCKS5 upstream, username/password), "http" (HTTP CONNECT upstream, username/password),
             "selector" and "urltest" (their default or first member); encrypted protocols (vless, trojan,
             hysteria2, shadowsocks, wireguard, ...) have no devstack meaning and fail the check
  route      rules with inbound, network, domain, domain_suffix, domain_keyword, domain_regex, ip_cidr,
             ip_is_private, port, port_range, invert and logical and/or rules; actions route, reject,
             sniff/resolve/route-options (pass on; names are taken from the request, nothing is sniffed);
             "final", else the first outbound; conditions it cannot evaluate fail the check
  names      DNS servers (dns.final, rules, domain_resolver, route.default_domain_resolver), outbounds and
             rule sets named by tag must exist: "check" passes such a file, "run" stops at start, as the real one
  ignored    the work of dns, experimental, ntp, certificate and services; an unknown top-level key is refused

Devstack host map (every outbound dials the mapped address; routing still sees the requested name):
  TOVREN_DEVSTACK_HOSTS="www.google.com=127.0.0.1:18080, *.openai.com=127.0.0.1:18081, *=127.0.0.1:18099"
  name[:port]=address[:port], separated by commas, semicolons or spaces; "*.suffix" and "*" are wildcards;
  without a target port the requested port is kept
)";

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

struct Options
{
    QString command;
    QString config;
    bool colours = true;
    QString error;
};

Options parseOptions(const QStringList &arguments)
{
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool takesValue = argument == QLatin1String("-c") || argument == QLatin1String("--config") ||
                                argument == QLatin1String("-D") || argument == QLatin1String("--directory");
        if (takesValue && i + 1 >= arguments.size()) {
            options.error = QStringLiteral("flag needs an argument: ") + argument;
        } else if (argument == QLatin1String("-c") || argument == QLatin1String("--config")) {
            if (!options.config.isEmpty())
                options.error = QStringLiteral("the devstack core reads exactly one configuration file");
            options.config = arguments.at(++i);
        } else if (argument == QLatin1String("-D") || argument == QLatin1String("--directory")) {
            if (!QDir::setCurrent(arguments.at(++i)))
                options.error = QStringLiteral("chdir %1: no such file or directory").arg(arguments.at(i));
        } else if (argument == QLatin1String("--disable-color")) {
            options.colours = false;
        } else if (argument.startsWith(u'-') && argument != QLatin1String("-h") &&
                   argument != QLatin1String("--help")) {
            options.error = QStringLiteral("unknown flag: ") + argument;
        } else if (options.command.isEmpty()) {
            options.command = argument;
        } else {
            options.error = QStringLiteral("unexpected argument: ") + argument;
        }
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help"))
            options.command = QStringLiteral("help");
    }
    return options;
}

// Reads and checks the configuration and the host map; prints the reason and returns false when it cannot run.
bool load(const QString &path, CoreConfig *config, HostMap *hosts)
{
    if (path.isEmpty()) {
        CoreLog::fatal(QStringLiteral("missing configuration: use -c <file>"));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        CoreLog::fatal(QStringLiteral("read config at %1: %2").arg(path, file.errorString()));
        return false;
    }
    try {
        *config = CoreConfig::parse(file.readAll());
    } catch (const ConfigError &error) {
        CoreLog::fatal(QStringLiteral("decode config at %1: %2").arg(path, error.message()));
        return false;
    }
    QString error;
    const std::optional<HostMap> map = HostMap::fromEnvironment(&error);
    if (!map) {
        CoreLog::fatal(error);
        return false;
    }
    *hosts = *map;
    return true;
}

int run(QCoreApplication &app, CoreConfig config, HostMap hosts)
{
    QElapsedTimer started;
    started.start();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        CoreLog::fatal(QStringLiteral("cannot watch signals"));
        return 1;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!config.startFailure.isEmpty()) {
        CoreLog::fatal(QStringLiteral("start service: ") + config.startFailure);
        return 1;
    }
    const qsizetype mapped = hosts.size();
    CoreService service(std::move(config), std::move(hosts));
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char number = 0;
        [[maybe_unused]] const auto got = ::read(signalPipe[0], &number, 1);
        CoreLog::info(number == SIGINT ? QStringLiteral("sing-box: interrupt received, closing")
                                       : QStringLiteral("sing-box: terminated, closing"));
        service.stop();
        app.quit();
    });
    const QString failure = service.start();
    if (!failure.isEmpty()) {
        CoreLog::fatal(QStringLiteral("start service: ") + failure);
        return 1;
    }
    if (mapped > 0)
        CoreLog::info(QStringLiteral("devstack host map: %1 entries").arg(mapped));
    CoreLog::info(QStringLiteral("sing-box started (%1s)").arg(double(started.elapsed()) / 1000.0, 0, 'f', 2));
    return app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    CoreLog::configure(CoreLog::Level::Info, options.colours, true, false);
    if (!options.error.isEmpty()) {
        CoreLog::fatal(options.error);
        return 1;
    }
    if (options.command == QLatin1String("version")) {
        std::fputs("sing-box version 1.12.4\n\nEnvironment: Qt " QT_VERSION_STR "\nTags: tovren_devstack\n", stdout);
        return 0;
    }
    if (options.command.isEmpty() || options.command == QLatin1String("help")) {
        std::fputs(helpText, options.command.isEmpty() ? stderr : stdout);
        return options.command.isEmpty() ? 1 : 0;
    }
    if (options.command != QLatin1String("check") && options.command != QLatin1String("run")) {
        CoreLog::fatal(QStringLiteral("unknown command \"%1\" for \"sing-box\"").arg(options.command));
        return 1;
    }
    CoreConfig config;
    HostMap hosts;
    if (!load(options.config, &config, &hosts))
        return 1;
    if (options.command == QLatin1String("check"))
        return 0;
    CoreLog::configure(config.logLevel, options.colours, config.logTimestamps, config.logDisabled);
    return run(app, std::move(config), std::move(hosts));
}
