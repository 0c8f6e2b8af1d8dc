#pragma once

#include "base/Errors.h"
#include "base/JSONValue.h"
#include "base/Types.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <optional>

struct ProtocolConfiguration;

// The delivered sing-box configuration is a template: it is rewritten so that the core runs as a local
// proxy on the loopback interface (a mixed inbound for the system proxy, optionally one for AI tools),
// with a DNS section, a direct outbound and the route rules the client relies on. Everything else of
// the template is kept as delivered. The rewrite is a pure function of its inputs.
namespace SingBoxConfigBuilder {

inline constexpr const char *systemProxyInboundTag = "tovren-system-proxy";
inline constexpr const char *aiProxyInboundTag = "tovren-ai-proxy";

// The template was not JSON at all. Not-an-object templates pass through unchanged instead, so that the
// core's own configuration check reports them.
class TemplateParseError final : public TovrenError
{
public:
    TemplateParseError(QString parserMessage, int offset);
    const QString &parserMessage() const { return m_parserMessage; }
    int offset() const { return m_offset; }

private:
    QString m_parserMessage;
    int m_offset;
};

// Returns the bytes to write for the core. When nothing needed changing, returns `templateData` itself,
// byte for byte; otherwise the rewritten object, pretty-printed with its keys sorted at every level.
// Throws TemplateParseError when the bytes are not JSON.
QByteArray macOSSystemProxyConfigData(const QByteArray &templateData, OutboundMode outboundMode, int localProxyPort,
                                      bool aiEnhancedModeEnabled);

// The template of a protocol configuration: `singBoxConfig`, else `singBoxConfigText`, else `rawConfig`.
// Nothing when none is present (the caller reports the missing configuration).
std::optional<QByteArray> templateData(const ProtocolConfiguration &configuration);

// A string value is the configuration text itself; any other value is written as compact JSON.
QByteArray configData(const JSONValue &value);

// The inbounds the core must have: the system-proxy entry, and the AI entry when AI mode is on.
QJsonArray wantedInbounds(int localProxyPort, bool aiEnhancedModeEnabled);

// Used when the template has no DNS section at all.
QJsonObject defaultDnsSection();

// The rules the client requires, in order. `aiInboundTag` is absent when AI mode is off.
QJsonArray requiredProxyRules(const QString &proxyInboundTag, const std::optional<QString> &aiInboundTag,
                              const QString &finalOutboundTag, const QString &directOutboundTag);

// Retargets template rules that name some other inbound (the template's TUN or listeners, which are
// dropped) to the system-proxy inbound. A rule that already names one of the client's own inbounds
// (`proxyTag`, or `aiTag` when given) is kept as it is, so the client's own rules survive a second pass.
// Elements that are not objects are kept in place.
QJsonArray normalizedProxyRouteRules(const QJsonArray &rules, const QString &proxyTag,
                                     const std::optional<QString> &aiTag = std::nullopt);

// The rules with every required rule they lack placed in front, in the required order. A required rule
// already present keeps its place.
QJsonArray mergeRequiredRules(const QJsonArray &requiredRules, const QJsonArray &rules);

// The tag of the first outbound of type "direct" (any letter case), giving it a fresh tag when it has none;
// adds one with a fresh tag when there is none. Sets `changed` when it adds. An "outbounds" value that is
// present but not an array is left alone.
QString ensureDirectOutboundTag(QJsonObject &config, bool &changed);

// The tag of the first outbound that is neither "direct" nor "block", if it has a string tag.
std::optional<QString> proxyOutboundTag(const QJsonObject &config);

// Gives the proxy outbound a tag when it has none (or an empty one), so that the route can name it; without this the
// route's final would fall back to the direct outbound and traffic would silently bypass the tunnel.
// Returns the proxy outbound's tag, or nothing when there is no proxy outbound with a usable tag.
std::optional<QString> ensureProxyOutboundTag(QJsonObject &config, bool &changed);

// `base`, else "base-1" ... "base-20", else "base-tovren", else "base-tovren-2", "base-tovren-3", ...:
// the first that no existing tag equals.
QString uniqueOutboundTag(const QString &base, const QSet<QString> &existingTags);

} // namespace SingBoxConfigBuilder
