// Feeds arbitrary text as the output of networksetup's read verbs and of `scutil --proxy`. The readers must
// give values the rest of the client can use: trimmed service names that survive the trip through the
// administrator shell and AppleScript unchanged, ports in range, bypass lists that read back the same.
#include "FuzzSupport.h"

#include "base/LocalProxyPorts.h"
#include "base/TovrenTrafficRules.h"
#include "runtime/HostPaths.h"
#include "runtime/PrivilegedCommand.h"
#include "runtime/SystemProxySettings.h"
#include "tunnel/ConnectivityRules.h"

#include <QSet>

using Fuzz::require;
using namespace SystemProxy;

namespace {

// The administrator script for these arguments, read back the way osascript and the shell would read it.
void checkPrivilegedQuoting(const QStringList &arguments)
{
    const QString command = PrivilegedCommand::networkSetupShellScript({arguments});
    const QStringList osascript = PrivilegedCommand::osascriptArguments(command);
    require(osascript.size() == 2 && osascript.first() == QLatin1String("-e"), "one script argument");
    const QString prefix = QStringLiteral("do shell script \"");
    const QString suffix = QStringLiteral("\" with administrator privileges");
    const QString &script = osascript.at(1);
    require(script.startsWith(prefix) && script.endsWith(suffix), "the script keeps its frame");
    const std::optional<QString> shell =
        Fuzz::appleScriptUnescaped(script.mid(prefix.size(), script.size() - prefix.size() - suffix.size()));
    require(shell == command, "AppleScript hands the shell the command unchanged");
    const std::optional<QStringList> words = Fuzz::shellWords(command);
    const QString tool = HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::networksetup));
    require(words && *words == QStringList{tool} + arguments, "the shell hands networksetup every word unchanged");
}

void checkServices(const QString &output)
{
    const QStringList services = parseNetworkServices(output);
    for (const QString &service : services) {
        require(!service.isEmpty() && service == service.trimmed() && !service.startsWith(u'*'),
                "a service name is trimmed and enabled");
        checkPrivilegedQuoting(setServerArguments(ProxyKind::socks, service, QStringLiteral("127.0.0.1"), 19090));
    }
    require(parseNetworkServices(services.join(u'\n')) == services, "the service list reads back the same");
}

void checkProxyState(const QString &output)
{
    const ProxyState state = parseProxyState(output);
    require(state.port >= 0 && state.port <= 65535, "a read port is 0 (none) or a TCP port");
    require(state.server == state.server.trimmed() && !state.server.contains(u'\n'), "a server is one trimmed line");
    if (isOwnedByClient(state))
        require(state.enabled && LocalProxyPorts::isOwnedSystemProxyPort(state.port), "owned means our own port");

    // networksetup prints a state in this shape; reading it must give the state back. Joined, not arg()ed:
    // a server reading "%1" would otherwise take the port's place.
    const QString shown = QStringLiteral("Enabled: ") + (state.enabled ? QStringLiteral("Yes") : QStringLiteral("No"))
                          + QStringLiteral("\nServer: ") + state.server + QStringLiteral("\nPort: ")
                          + QString::number(state.port) + QStringLiteral("\nAuthenticated Proxy Enabled: 0\n");
    require(parseProxyState(shown) == state, "a shown state reads back the same");
}

void checkBypass(const QString &output)
{
    const QStringList domains = parseBypassDomains(output);
    require(parseBypassDomains(domains.join(u'\n')) == domains, "a bypass list reads back the same");

    const QStringList merged = mergedBypassDomains(domains);
    QSet<QString> folded;
    for (const QString &entry : merged) {
        require(!entry.isEmpty() && entry == entry.trimmed(), "merged entries are trimmed");
        require(!folded.contains(entry.toCaseFolded()), "merged entries do not repeat");
        folded.insert(entry.toCaseFolded());
    }
    for (const QString &entry : domains + TovrenTrafficRules::domesticProxyBypassDomains())
        require(folded.contains(entry.trimmed().toCaseFolded()), "nothing is lost in the merge");
    require(mergedBypassDomains(merged) == merged, "merging twice changes nothing");
    checkPrivilegedQuoting(setBypassArguments(QStringLiteral("Wi-Fi"), merged));
}

void checkScutil(const QString &output)
{
    Connectivity::anySystemProxyEnabled(output);
    for (const int port : {LocalProxyPorts::firstSystemProxyPort, LocalProxyPorts::lastSystemProxyPort}) {
        if (Connectivity::systemProxyPointsTo(output, port))
            require(output.contains(QLatin1String("127.0.0.1")) && output.contains(QString::number(port)),
                    "pointing at the local proxy names its address and port");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString output = Fuzz::text(data, size);
    checkServices(output);
    checkProxyState(output);
    checkBypass(output);
    checkScutil(output);
    return 0;
}
