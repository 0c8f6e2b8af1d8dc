// Feeds arbitrary bytes as a delivered sing-box template to the rewrite, in both outbound modes, with and
// without the AI entry. Whatever comes out must be JSON the core can take: the client's inbounds exactly, the
// route naming them, no duplicate outbound tags and no name pointing at nothing introduced; a second rewrite
// must change nothing; the runtime must read back the listen ports that were written.
#include "FuzzSupport.h"
#include "testkit/ReferenceIntegrity.h"

#include "base/JSONValue.h"
#include "base/LocalProxyPorts.h"
#include "base/PrettyJson.h"
#include "runtime/SingBoxRuntimeRules.h"
#include "tunnel/SingBoxConfigBuilder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

using Fuzz::require;
namespace Builder = SingBoxConfigBuilder;

namespace {

std::optional<QJsonObject> parsedObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// Whether the string tags of the object outbounds are all different.
bool outboundTagsUnique(const QJsonObject &config)
{
    QSet<QString> seen;
    for (const QJsonValue &outbound : config.value(QStringLiteral("outbounds")).toArray()) {
        const QJsonValue tag = outbound.toObject().value(QStringLiteral("tag"));
        if (!tag.isString())
            continue;
        if (seen.contains(tag.toString()))
            return false;
        seen.insert(tag.toString());
    }
    return true;
}

void checkRewrite(const QByteArray &input, const QJsonObject &templateObject, OutboundMode mode, int port, bool ai)
{
    const QByteArray output = Builder::macOSSystemProxyConfigData(input, mode, port, ai);
    const std::optional<QJsonObject> config = parsedObject(output);
    require(config.has_value(), "the rewrite of an object is a JSON object");
    require(output == input || output == PrettyJson::write(*config), "a rewritten configuration is written sorted");
    require(config->value(QStringLiteral("inbounds")) == Builder::wantedInbounds(port, ai),
            "the inbounds are exactly the client's");

    const QList<int> wantedPorts = ai ? QList<int>{port, LocalProxyPorts::aiProxyPort} : QList<int>{port};
    require(SingBox::listenPorts(output) == wantedPorts, "the runtime reads back the ports written");

    if (outboundTagsUnique(templateObject))
        require(outboundTagsUnique(*config), "no duplicate outbound tag is introduced");
    require(introducedDanglingNames(templateObject, *config).isEmpty(), "every name the rewrite writes exists");

    const QJsonValue route = config->value(QStringLiteral("route"));
    if (route.isObject()) {
        const QJsonArray rules = route.toObject().value(QStringLiteral("rules")).toArray();
        const auto sniffs = [&](const char *tag) {
            return rules.contains(QJsonObject{{QStringLiteral("inbound"), QString::fromLatin1(tag)},
                                              {QStringLiteral("action"), QStringLiteral("sniff")}});
        };
        require(sniffs(Builder::systemProxyInboundTag), "the system-proxy entry is sniffed");
        require(!ai || sniffs(Builder::aiProxyInboundTag), "the AI entry is sniffed");
        // Traffic must not silently bypass the tunnel in enhanced mode when a proxy outbound has a tag.
        const std::optional<QString> proxyTag = Builder::proxyOutboundTag(*config);
        if (mode == OutboundMode::enhanced && proxyTag)
            require(route.toObject().value(QStringLiteral("final")) == QJsonValue(*proxyTag),
                    "the route ends at the proxy outbound");
    } else {
        require(mode == OutboundMode::smart && templateObject.contains(QStringLiteral("route")),
                "only a mistyped delivered route is left without rules");
    }

    require(Builder::macOSSystemProxyConfigData(output, mode, port, ai) == output, "a second rewrite changes nothing");
}

void checkTemplate(const QByteArray &input)
{
    bool parses = true;
    try {
        // Any port of the range may be chosen; the input's size picks one so that seeds try several.
        const int port = LocalProxyPorts::firstSystemProxyPort + int(input.size() % 20);
        const QByteArray passed = Builder::macOSSystemProxyConfigData(input, OutboundMode::smart, port, false);
        const std::optional<QJsonObject> templateObject = parsedObject(input);
        if (!templateObject) {
            require(passed == input, "a template that is not an object passes unchanged");
            return;
        }
        for (const OutboundMode mode : {OutboundMode::smart, OutboundMode::enhanced}) {
            for (const bool ai : {false, true})
                checkRewrite(input, *templateObject, mode, port, ai);
        }
    } catch (const Builder::TemplateParseError &) {
        parses = false;
    }
    QJsonParseError error;
    QJsonDocument::fromJson(input, &error);
    require(parses == (error.error == QJsonParseError::NoError), "only text that is not JSON is refused");
}

// The writer must give back exactly what it was given, and a delivered value becomes the same JSON.
void checkWriters(const QByteArray &input)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(input, &error);
    if (error.error != QJsonParseError::NoError)
        return;
    if (document.isObject()) {
        const std::optional<QJsonObject> back = parsedObject(PrettyJson::write(document.object()));
        require(back && *back == document.object(), "the sorted writer keeps every value");
    }
    // Delivered values keep their numbers as doubles, so the comparison is between decoded values.
    const QJsonValue value = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    const JSONValue delivered = JSONValue::decode(value);
    const QJsonDocument reread = QJsonDocument::fromJson(Builder::configData(delivered));
    const QJsonValue rereadValue = reread.isObject() ? QJsonValue(reread.object()) : QJsonValue(reread.array());
    require(JSONValue::decode(rereadValue) == delivered, "a delivered value is written as the same JSON");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    checkTemplate(input);
    checkWriters(input);
    return 0;
}
