// networksetup: the service list, the web, secure web and SOCKS proxies with their states, and the bypass list.
#include "MacFormats.h"
#include "Tools.h"

#include <optional>

namespace SimHost {

namespace {

struct ProxyVerbs
{
    const char *get;
    const char *set;
    const char *setState;
    ProxyKind kind;
};

constexpr ProxyVerbs proxyVerbs[] = {
    {"-getwebproxy", "-setwebproxy", "-setwebproxystate", ProxyKind::Web},
    {"-getsecurewebproxy", "-setsecurewebproxy", "-setsecurewebproxystate", ProxyKind::SecureWeb},
    {"-getsocksfirewallproxy", "-setsocksfirewallproxy", "-setsocksfirewallproxystate", ProxyKind::Socks},
};

const QString invalidParameters = QStringLiteral("** Error: The parameters were not valid.\n");

ToolResult invalid()
{
    return {4, invalidParameters.toUtf8(), {}};
}

ToolResult unknownService(const QString &name)
{
    return {4, (name + QStringLiteral(" is not a recognized network service.\n") + invalidParameters).toUtf8(), {}};
}

std::optional<bool> onOff(const QString &word)
{
    if (word.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0)
        return true;
    if (word.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)
        return false;
    return std::nullopt;
}

QString listServices(const HostState &state)
{
    QString text = QStringLiteral("An asterisk (*) denotes that a network service is disabled.\n");
    for (const NetworkService &service : state.services)
        text += (service.enabled ? QString() : QStringLiteral("*")) + service.name + u'\n';
    return text;
}

QString listServiceOrder(const HostState &state)
{
    QString text = QStringLiteral("An asterisk (*) denotes that a network service is disabled.\n");
    int index = 0;
    for (const NetworkService &service : state.services) {
        text += QStringLiteral("(%1) %2\n")
                    .arg(service.enabled ? QString::number(++index) : QStringLiteral("*"), service.name);
        text += QStringLiteral("(Hardware Port: %1, Device: %2)\n\n").arg(service.name, service.device);
    }
    return text;
}

// A verb that changes one service: checks the service, the user's rights, then applies the change.
ToolResult changeService(const ToolContext &context, const QString &verb, const QString &name,
                         const std::function<std::optional<ToolResult>(NetworkService &)> &change)
{
    std::optional<ToolResult> result;
    context.store.update([&](HostState &state) {
        NetworkService *service = state.service(name);
        if (!service) {
            result = unknownService(name);
            return;
        }
        if (!context.privileged && service->rejects(verb)) {
            result = ToolResult::failure(1, QStringLiteral("** Error: Command requires admin privileges.\n"));
            return;
        }
        result = change(*service);
    });
    return result ? *result : ToolResult{};
}

ToolResult readService(const ToolContext &context, const QString &verb, const QString &name,
                       const std::function<QString(const NetworkService &)> &read)
{
    const HostState state = context.store.read();
    const NetworkService *service = state.service(name);
    if (!service)
        return unknownService(name);
    if (!context.privileged && service->rejects(verb))
        return ToolResult::failure(1, QStringLiteral("** Error: Command requires admin privileges.\n"));
    return ToolResult::output(read(*service));
}

ToolResult proxyVerb(const ToolContext &context, const ProxyVerbs &verbs, const QString &verb,
                     const QStringList &arguments)
{
    const QString name = arguments.value(1);
    if (verb == QLatin1String(verbs.get)) {
        if (arguments.size() != 2)
            return invalid();
        return readService(context, verb, name,
                           [&](const NetworkService &s) { return networkSetupProxyText(s.proxy(verbs.kind)); });
    }
    if (verb == QLatin1String(verbs.setState)) {
        const std::optional<bool> state = onOff(arguments.value(2));
        if (arguments.size() != 3 || !state)
            return invalid();
        return changeService(context, verb, name, [&](NetworkService &s) -> std::optional<ToolResult> {
            s.proxy(verbs.kind).enabled = *state;
            return std::nullopt;
        });
    }
    // -set...proxy <service> <server> <port> [on|off [user password]]; it also turns the proxy on.
    bool portOk = false;
    const int port = arguments.value(3).toInt(&portOk);
    const std::optional<bool> authenticated =
        arguments.size() > 4 ? onOff(arguments.at(4)) : std::optional<bool>(false);
    const bool shapeOk = arguments.size() == 4 || arguments.size() == 5 || arguments.size() == 7;
    if (!shapeOk || !portOk || port < 0 || port > 65535 || arguments.value(2).isEmpty() || !authenticated ||
        (*authenticated && arguments.size() != 7))
        return invalid();
    return changeService(context, verb, name, [&](NetworkService &s) -> std::optional<ToolResult> {
        s.proxy(verbs.kind) = ProxySetting{true, arguments.at(2), port, *authenticated};
        return std::nullopt;
    });
}

} // namespace

ToolResult runNetworkSetup(const ToolContext &context, const QStringList &arguments)
{
    const QString verb = arguments.value(0);
    if (verb.compare(QLatin1String("-listallnetworkservices"), Qt::CaseInsensitive) == 0)
        return ToolResult::output(listServices(context.store.read()));
    if (verb.compare(QLatin1String("-listnetworkserviceorder"), Qt::CaseInsensitive) == 0)
        return ToolResult::output(listServiceOrder(context.store.read()));
    for (const ProxyVerbs &verbs : proxyVerbs) {
        for (const char *candidate : {verbs.get, verbs.set, verbs.setState}) {
            if (verb.compare(QLatin1String(candidate), Qt::CaseInsensitive) == 0)
                return proxyVerb(context, verbs, QLatin1String(candidate), arguments);
        }
    }
    const QString name = arguments.value(1);
    if (verb.compare(QLatin1String("-getproxybypassdomains"), Qt::CaseInsensitive) == 0) {
        if (arguments.size() != 2)
            return invalid();
        return readService(context, QStringLiteral("-getproxybypassdomains"), name, [](const NetworkService &s) {
            if (s.bypassDomains.isEmpty())
                return QStringLiteral("There aren't any bypass domains set on %1.\n").arg(s.name);
            return s.bypassDomains.join(u'\n') + u'\n';
        });
    }
    if (verb.compare(QLatin1String("-setproxybypassdomains"), Qt::CaseInsensitive) == 0) {
        if (arguments.size() < 3)
            return invalid();
        QStringList domains = arguments.mid(2);
        if (domains.size() == 1 && domains.first().compare(QLatin1String("Empty"), Qt::CaseInsensitive) == 0)
            domains.clear();
        return changeService(context, QStringLiteral("-setproxybypassdomains"), name,
                             [&](NetworkService &s) -> std::optional<ToolResult> {
                                 s.bypassDomains = domains;
                                 return std::nullopt;
                             });
    }
    if (verb.isEmpty() || verb == QLatin1String("-help") || verb == QLatin1String("-printcommands")) {
        return ToolResult::output(QStringLiteral(
            "networksetup (devstack stand-in) understands:\n"
            "  -listallnetworkservices | -listnetworkserviceorder\n"
            "  -getwebproxy | -getsecurewebproxy | -getsocksfirewallproxy <service>\n"
            "  -setwebproxy | -setsecurewebproxy | -setsocksfirewallproxy <service> <server> <port> "
            "[on|off [user password]]\n"
            "  -setwebproxystate | -setsecurewebproxystate | -setsocksfirewallproxystate <service> on|off\n"
            "  -getproxybypassdomains <service> | -setproxybypassdomains <service> <domain>... | Empty\n"));
    }
    return {1, QStringLiteral("Error: %1 is not a valid command.\n").arg(verb).toUtf8(), {}};
}

} // namespace SimHost
