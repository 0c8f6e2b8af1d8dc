// Feeds arbitrary text as a delivered WireGuard configuration and as wg-quick's output. The prepared file
// must carry the mode's addresses on every AllowedIPs line (at least one), a DNS line in smart mode when
// there is an interface section, and preparing it again must change nothing.
#include "FuzzSupport.h"

#include "base/TextLines.h"
#include "base/Types.h"
#include "runtime/PrivilegedCommand.h"
#include "tunnel/WireGuardCommands.h"
#include "tunnel/WireGuardConfigRouter.h"

using Fuzz::require;
namespace Router = WireGuardConfigRouter;

namespace {

QString keyOf(const QString &line)
{
    return TextLines::trimmedOfBlanks(line).toLower();
}

void checkPrepared(const QString &text, OutboundMode mode)
{
    const QString header = QStringLiteral("# Tovren outbound mode: ") + rawValue(mode) + u'\n';
    const QString prepared = Router::prepared(text, mode);
    require(prepared.startsWith(header), "the file names its mode first");

    const QStringList &addresses =
        mode == OutboundMode::enhanced ? Router::enhancedModeAddresses() : Router::smartModeAddresses();
    const QString allowed = QStringLiteral("AllowedIPs = ") + addresses.join(QStringLiteral(", "));
    const QStringList lines = prepared.mid(header.size()).split(u'\n');
    int allowedLines = 0;
    bool hasInterface = false;
    bool hasDNS = false;
    for (const QString &line : lines) {
        if (keyOf(line).startsWith(QLatin1String("allowedips"))) {
            require(line == allowed, "every AllowedIPs line carries the mode's addresses");
            ++allowedLines;
        }
        hasInterface = hasInterface || keyOf(line) == QLatin1String("[interface]");
        hasDNS = hasDNS || keyOf(line).startsWith(QLatin1String("dns"));
    }
    require(allowedLines >= 1, "some AllowedIPs line is always there");
    if (mode == OutboundMode::smart && hasInterface)
        require(hasDNS, "smart mode has a DNS server");

    const QString body = prepared.mid(header.size());
    require(Router::prepared(body, mode) == header + body.trimmed(), "preparing twice changes nothing");
}

void checkToolOutput(const QString &output)
{
    if (WireGuardCommands::listsClientInterface(output))
        require(output.contains(QLatin1String(WireGuardCommands::interfaceName)), "only our interface is ours");
    WireGuardCommands::isRecoverableWGQuickError(output);
    WireGuardCommands::isVersionMismatch(output);

    // A configuration path with any characters reaches wg-quick as one word.
    const QString line = PrivilegedCommand::shellCommandLine({QStringLiteral("up"), output});
    require(Fuzz::shellWords(line) == QStringList({QStringLiteral("up"), output}), "a path stays one shell word");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = Fuzz::text(data, size);
    checkPrepared(text, OutboundMode::smart);
    checkPrepared(text, OutboundMode::enhanced);
    checkToolOutput(text);
    return 0;
}
