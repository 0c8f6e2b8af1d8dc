// Feeds arbitrary text as curl's printed status, the routing table of `netstat -rn`, the interface list of
// `ifconfig` and the probe-list override. A status reads back as printed, warnings only name foreign tunnel
// routes, and an override never leaves a list holding empty addresses.
#include "FuzzSupport.h"

#include "tunnel/ConnectivityRules.h"
#include "tunnel/ProbeTargets.h"

using Fuzz::require;

namespace {

void checkStatus(const QString &output)
{
    const int status = Connectivity::parseHTTPStatus(output);
    if (status != 0) {
        require(Connectivity::parseHTTPStatus(QString::number(status) + u'\n') == status, "a status reads back");
        for (const QChar c : output.trimmed())
            require(c.isDigit() || c == u'+' || c == u'-', "only a number is a status");
    }
    if (Connectivity::isReachableWebStatus(status))
        require(Connectivity::isReachableAIStatus(status), "reachable on the web is reachable for AI");
}

void checkRoutes(const QString &output)
{
    const QStringList routes = Connectivity::suspiciousRoutes(output);
    for (const QString &route : routes) {
        require(route.contains(QLatin1String("utun")), "only tunnel routes are suspicious");
        require(!route.contains(QLatin1String("172.19.0.1")), "the client's own tunnel is not foreign");
        require(output.contains(route), "a route is quoted from the table");
    }
    const std::optional<QString> warning = Connectivity::routeWarning(output);
    require(warning.has_value() == !routes.isEmpty(), "a warning exactly when routes are suspicious");
}

void checkInterfaces(const QString &output)
{
    if (output.contains(QLatin1String("utun")))
        require(Connectivity::interfaceListShowsTunnel(output, QString()), "any utun shows a tunnel");
}

void checkProbeOverride(const QString &text)
{
    const ProbeTargets::Lists lists = ProbeTargets::withOverride(ProbeTargets::production(), text);
    for (const QStringList *list : {&lists.web, &lists.direct, &lists.ai}) {
        for (const QString &url : *list)
            require(!url.isEmpty() && url == url.trimmed() && !url.contains(u','), "an address is one word");
    }
    if (!text.contains(u'='))
        require(lists == ProbeTargets::production(), "text without a list name changes nothing");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString output = Fuzz::text(data, size);
    checkStatus(output);
    checkRoutes(output);
    checkInterfaces(output);
    checkProbeOverride(output);
    return 0;
}
