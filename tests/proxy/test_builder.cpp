#include "ConfigReferences.h"
#include "JsonKeyOrder.h"
#include "TestHome.h"
#include "api/ProtocolConfiguration.h"
#include "tunnel/PrettyJson.h"
#include "tunnel/SingBoxConfigBuilder.h"
#include "tunnel/TovrenTrafficRules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>

using namespace SingBoxConfigBuilder;

namespace {

const QString S = QStringLiteral("tovren-system-proxy");
const QString A = QStringLiteral("tovren-ai-proxy");
const QJsonObject directOut{{"type", "direct"}, {"tag", "direct"}};

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject rewrite(const QJsonObject &config, OutboundMode mode, bool ai, int port = 19090)
{
    return QJsonDocument::fromJson(macOSSystemProxyConfigData(compact(config), mode, port, ai)).object();
}

QJsonObject routeOf(const QJsonObject &config)
{
    return config.value("route").toObject();
}

QJsonObject vless(const QString &tag)
{
    return QJsonObject{{"type", "vless"}, {"tag", tag}, {"server", "203.0.113.7"}};
}

QJsonArray required(bool ai, const QString &finalTag = "proxy", const QString &directTag = "direct")
{
    return requiredProxyRules(S, ai ? std::optional<QString>(A) : std::nullopt, finalTag, directTag);
}

} // namespace

class TestBuilder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void trafficTables()
    {
        const QStringList &domestic = TovrenTrafficRules::domesticDirectDomainSuffixes();
        QCOMPARE(domestic.size(), 62);
        QCOMPARE(domestic.first(), QStringLiteral("cn"));
        // Lower-case, unique, and none already covered by another entry (a ".cn" host next to "cn").
        for (const QString &entry : domestic) {
            QCOMPARE(entry, entry.toLower().trimmed());
            QCOMPARE(domestic.count(entry), 1);
            for (const QString &other : domestic)
                QVERIFY2(!entry.endsWith('.' + other), qPrintable(entry));
        }

        const QStringList &ranges = TovrenTrafficRules::directAddressRanges();
        QStringList expected{"10.0.0.0/8",     "100.64.0.0/10", "127.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12",
                             "192.168.0.0/16", "224.0.0.0/4",   "1.12.0.0/14", "1.24.0.0/13"};
        for (int octet : {14,  27,  36,  39,  42,  49,  58,  59,  60,  61,  101, 103, 106, 110, 111, 112,
                          113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 139, 140, 150,
                          171, 175, 180, 182, 183, 202, 203, 210, 211, 218, 219, 220, 221, 222, 223})
            expected << QStringLiteral("%1.0.0.0/8").arg(octet);
        QCOMPARE(ranges, expected);
        QCOMPARE(ranges.size(), 56);

        QCOMPARE(TovrenTrafficRules::aiDomainSuffixes().size(), 10);

        const QStringList &bypass = TovrenTrafficRules::domesticProxyBypassDomains();
        QCOMPARE(bypass.size(), 128);
        QCOMPARE(bypass.mid(0, 4), (QStringList{"localhost", "127.0.0.1", "::1", "*.local"}));
        QCOMPARE(bypass.mid(4, 62), domestic);
        for (int i = 0; i < 62; ++i)
            QCOMPARE(bypass.at(66 + i), "*." + domestic.at(i));
    }

    void requiredRulesInOrder()
    {
        const QJsonArray on = requiredProxyRules(S, A, "F", "D");
        QCOMPARE(on.size(), 6);
        QCOMPARE(on.at(0).toObject(), (QJsonObject{{"inbound", S}, {"action", "sniff"}}));
        QCOMPARE(on.at(1).toObject(), (QJsonObject{{"inbound", A}, {"action", "sniff"}}));
        QCOMPARE(on.at(2).toObject(),
                 (QJsonObject{{"inbound", QJsonArray{S, A}},
                              {"domain_suffix", QJsonArray::fromStringList(TovrenTrafficRules::aiDomainSuffixes())},
                              {"outbound", "F"}}));
        QCOMPARE(on.at(3).toObject(),
                 (QJsonObject{
                     {"inbound", S},
                     {"domain_suffix", QJsonArray::fromStringList(TovrenTrafficRules::domesticDirectDomainSuffixes())},
                     {"outbound", "D"}}));
        QCOMPARE(on.at(4).toObject(),
                 (QJsonObject{{"inbound", S},
                              {"ip_cidr", QJsonArray::fromStringList(TovrenTrafficRules::directAddressRanges())},
                              {"outbound", "D"}}));
        QCOMPARE(on.at(5).toObject(), (QJsonObject{{"inbound", A}, {"outbound", "F"}}));
        QCOMPARE(requiredProxyRules(S, std::nullopt, "F", "D"), (QJsonArray{on.at(0), on.at(3), on.at(4)}));
    }

    // A template that holds everything comes back byte for byte, whatever its layout; with AI mode on the
    // client's own AI rules must not be mistaken for template rules and retargeted.
    void completeTemplateIsReturnedUnchanged_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::addColumn<int>("port");
        QTest::newRow("AI off") << false << 19090;
        QTest::newRow("AI on") << true << 19090;
        QTest::newRow("another port") << false << 19105;
    }
    void completeTemplateIsReturnedUnchanged()
    {
        QFETCH(bool, ai);
        QFETCH(int, port);
        QJsonArray rules = required(ai);
        rules.append(QJsonObject{{"inbound", S}, {"rule_set", "geosite-ads"}, {"action", "reject"}});
        const QJsonObject route{{"rules", rules},
                                {"final", "proxy"},
                                {"auto_detect_interface", true},
                                {"default_domain_resolver", "local"}};
        const QByteArray text =
            "{ \"route\" : " + compact(route) + ",\n  \"log\":{\"level\":\"warn\"},\n" + "  \"outbounds\": [" +
            compact(vless("proxy")) + ", " + compact(directOut) +
            "],\n  \"inbounds\": " + QJsonDocument(wantedInbounds(port, ai)).toJson() +
            ", \"dns\": {\"strategy\": \"prefer_ipv6\", \"final\": \"local\", \"servers\": [{\"tag\": \"local\"}]} }\n";
        QCOMPARE(macOSSystemProxyConfigData(text, OutboundMode::smart, port, ai), text);
    }

    // Starting from a complete template, each single missing piece is noticed and put back.
    void eachMissingPieceIsRestored_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("broken"); // undefined: removed
        QTest::addColumn<QJsonValue>("restored");
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("route final") << "route"
                                     << "final" << absent << QJsonValue("proxy");
        QTest::newRow("resolver") << "route"
                                  << "default_domain_resolver" << absent
                                  << QJsonValue(QJsonObject{{"server", "bootstrap"}});
        QTest::newRow("auto detect off") << "route"
                                         << "auto_detect_interface" << QJsonValue(false) << QJsonValue(true);
        QTest::newRow("auto detect as text") << "route"
                                             << "auto_detect_interface" << QJsonValue("true") << QJsonValue(true);
        QTest::newRow("one required rule")
            << "route"
            << "rules" << QJsonValue(QJsonArray{required(false).at(2)}) << QJsonValue(required(false));
        QTest::newRow("dns strategy") << "dns"
                                      << "strategy" << absent << QJsonValue("ipv4_only");
        QTest::newRow("dns final") << "dns"
                                   << "final" << absent << QJsonValue("cloudflare");
    }
    void eachMissingPieceIsRestored()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QJsonValue, broken);
        QFETCH(QJsonValue, restored);
        QJsonObject config{{"inbounds", wantedInbounds(19090, false)},
                           {"dns", QJsonObject{{"strategy", "prefer_ipv4"},
                                               {"final", "local"},
                                               {"servers", QJsonArray{QJsonObject{{"tag", "local"}}}}}},
                           {"outbounds", QJsonArray{vless("proxy"), directOut}},
                           {"route", QJsonObject{{"rules", required(false)},
                                                 {"final", "proxy"},
                                                 {"auto_detect_interface", true},
                                                 {"default_domain_resolver", "local"}}}};
        QCOMPARE(macOSSystemProxyConfigData(compact(config), OutboundMode::smart, 19090, false), compact(config));

        QJsonObject inner = config.value(section).toObject();
        if (broken.isUndefined())
            inner.remove(key);
        else
            inner.insert(key, broken);
        config.insert(section, inner);
        QCOMPARE(rewrite(config, OutboundMode::smart, false).value(section).toObject().value(key), restored);
    }

    void missingEverythingGetsTheClientDefaults()
    {
        const QJsonObject out =
            rewrite(QJsonObject{{"outbounds", QJsonArray{vless("proxy")}}}, OutboundMode::smart, false);
        QCOMPARE(out.keys(), (QStringList{"dns", "inbounds", "outbounds", "route"}));
        QCOMPARE(
            out.value("dns").toObject(),
            (QJsonObject{
                {"final", "cloudflare"},
                {"strategy", "ipv4_only"},
                {"servers", QJsonArray{QJsonObject{{"tag", "cloudflare"},
                                                   {"type", "https"},
                                                   {"server", "1.1.1.1"},
                                                   {"domain_resolver", "bootstrap"}},
                                       QJsonObject{{"tag", "bootstrap"}, {"type", "udp"}, {"server", "8.8.8.8"}}}}}));
        QCOMPARE(out.value("outbounds").toArray(), (QJsonArray{vless("proxy"), directOut}));
        QCOMPARE(routeOf(out), (QJsonObject{{"auto_detect_interface", true},
                                            {"default_domain_resolver", QJsonObject{{"server", "bootstrap"}}},
                                            {"final", "proxy"},
                                            {"rules", required(false)}}));
        QCOMPARE(out.value("inbounds").toArray(), (QJsonArray{QJsonObject{{"type", "mixed"},
                                                                          {"tag", S},
                                                                          {"listen", "127.0.0.1"},
                                                                          {"listen_port", 19090},
                                                                          {"set_system_proxy", false}}}));
    }

    void directTagIsUnique_data()
    {
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("expected");
        QStringList all{"direct"};
        for (int n = 1; n <= 20; ++n)
            all << QStringLiteral("direct-%1").arg(n);
        QTest::newRow("free") << QStringList{"proxy"} << "direct";
        QTest::newRow("direct and direct-1 taken") << QStringList{"direct", "direct-1"} << "direct-2";
        QTest::newRow("a gap is used") << QStringList{"direct", "direct-2"} << "direct-1";
        QTest::newRow("all twenty taken") << all << "direct-tovren";
        QTest::newRow("the fallback too") << (all << "direct-tovren") << "direct-tovren-2";
    }
    void directTagIsUnique()
    {
        QFETCH(QStringList, taken);
        QFETCH(QString, expected);
        // The outbounds use those tags with other types; the first one is the proxy.
        QJsonArray outbounds;
        for (const QString &tag : taken)
            outbounds.append(outbounds.isEmpty() ? vless(tag) : QJsonObject{{"type", "block"}, {"tag", tag}});
        const QJsonObject out = rewrite(QJsonObject{{"outbounds", outbounds}}, OutboundMode::enhanced, false);
        QCOMPARE(out.value("outbounds").toArray().last().toObject(),
                 (QJsonObject{{"type", "direct"}, {"tag", expected}}));
        QCOMPARE(routeOf(out).value("rules").toArray(), required(false, taken.first(), expected));
    }

    void outboundsDecideDirectAndFinal_data()
    {
        QTest::addColumn<QJsonValue>("outbounds");
        QTest::addColumn<OutboundMode>("mode");
        QTest::addColumn<QJsonValue>("expectedOutbounds");
        QTest::addColumn<QString>("expectedFinal"); // empty: no final
        const QJsonObject d{{"type", "Direct"}, {"tag", "d"}};
        const QJsonObject block{{"type", "BLOCK"}, {"tag", "b"}};
        const QJsonArray onlyLocal{d, block};
        QTest::newRow("direct found ignoring case, first real proxy is final")
            << QJsonValue(QJsonArray{QJsonObject{{"tag", "no type"}}, block, d, vless("v1"), vless("v2")})
            << OutboundMode::enhanced
            << QJsonValue(QJsonArray{QJsonObject{{"tag", "no type"}}, block, d, vless("v1"), vless("v2")}) << "v1";
        QTest::newRow("only direct and block, enhanced")
            << QJsonValue(onlyLocal) << OutboundMode::enhanced << QJsonValue(onlyLocal) << "d";
        QTest::newRow("only direct and block, smart keeps no final")
            << QJsonValue(onlyLocal) << OutboundMode::smart << QJsonValue(onlyLocal) << "";
        // Without a tag the route could not name the proxy and would send everything direct.
        QTest::newRow("untagged proxy gets a tag")
            << QJsonValue(QJsonArray{QJsonObject{{"type", "vless"}}, QJsonObject{{"type", "block"}, {"tag", "proxy"}}})
            << OutboundMode::enhanced
            << QJsonValue(QJsonArray{QJsonObject{{"type", "vless"}, {"tag", "proxy-1"}},
                                     QJsonObject{{"type", "block"}, {"tag", "proxy"}}, directOut})
            << "proxy-1";
        // An invalid outbounds value must stay invalid for the core's check, not turn into "all direct".
        QTest::newRow("object instead of a list is kept")
            << QJsonValue(vless("p")) << OutboundMode::enhanced << QJsonValue(vless("p")) << "direct";
        QTest::newRow("a stray element is kept") << QJsonValue(QJsonArray{1, vless("p")}) << OutboundMode::enhanced
                                                 << QJsonValue(QJsonArray{1, vless("p"), directOut}) << "p";
    }
    void outboundsDecideDirectAndFinal()
    {
        QFETCH(QJsonValue, outbounds);
        QFETCH(OutboundMode, mode);
        QFETCH(QJsonValue, expectedOutbounds);
        QFETCH(QString, expectedFinal);
        QJsonObject config{{"outbounds", outbounds}};
        if (mode == OutboundMode::smart)
            config.insert("route", QJsonObject{{"rules", QJsonArray{}}});
        const QJsonObject out = rewrite(config, mode, false);
        QCOMPARE(out.value("outbounds"), expectedOutbounds);
        QCOMPARE(routeOf(out).value("final"),
                 expectedFinal.isEmpty() ? QJsonValue(QJsonValue::Undefined) : QJsonValue(expectedFinal));
    }

    void templateRulesAreRetargetedInSmartModeOnly_data()
    {
        QTest::addColumn<QJsonValue>("inbound");
        QTest::addColumn<QJsonValue>("expected");
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("other inbound by name") << QJsonValue("tun-in") << QJsonValue(S);
        QTest::newRow("list without ours") << QJsonValue(QJsonArray{"tun-in", "socks-in"}) << QJsonValue(QJsonArray{S});
        QTest::newRow("empty list") << QJsonValue(QJsonArray{}) << QJsonValue(QJsonArray{S});
        QTest::newRow("list naming ours") << QJsonValue(QJsonArray{"tun-in", S}) << QJsonValue(QJsonArray{"tun-in", S});
        QTest::newRow("list with a number")
            << QJsonValue(QJsonArray{"tun-in", 3}) << QJsonValue(QJsonArray{"tun-in", 3});
        QTest::newRow("no inbound") << absent << absent;
        QTest::newRow("number") << QJsonValue(7) << QJsonValue(7);
    }
    void templateRulesAreRetargetedInSmartModeOnly()
    {
        QFETCH(QJsonValue, inbound);
        QFETCH(QJsonValue, expected);
        QJsonObject rule{{"domain", "example.org"}, {"outbound", "proxy"}};
        if (!inbound.isUndefined())
            rule.insert("inbound", inbound);
        const QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}},
                                 {"route", QJsonObject{{"rules", QJsonArray{rule}}}}};

        QJsonArray smartRules = routeOf(rewrite(config, OutboundMode::smart, false)).value("rules").toArray();
        const QJsonObject last = smartRules.takeAt(smartRules.size() - 1).toObject();
        QCOMPARE(smartRules, required(false));
        QCOMPARE(last.value("inbound"), expected);
        QCOMPARE(last.value("domain"), QJsonValue("example.org"));
        QCOMPARE(routeOf(rewrite(config, OutboundMode::enhanced, false)).value("rules").toArray(), required(false));
    }

    void requiredRulesAlreadyPresentKeepTheirPlace()
    {
        const QJsonArray rules = required(false);
        const QJsonObject own{{"inbound", S}, {"rule_set", "geosite-ads"}, {"action", "reject"}};
        QCOMPARE(mergeRequiredRules(rules, QJsonArray{own, rules.at(1)}),
                 (QJsonArray{rules.at(0), rules.at(2), own, rules.at(1)}));
    }

    void aiModeAddsItsInboundAndRules_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::addColumn<OutboundMode>("mode");
        QTest::newRow("off smart") << false << OutboundMode::smart;
        QTest::newRow("on smart") << true << OutboundMode::smart;
        QTest::newRow("off enhanced") << false << OutboundMode::enhanced;
        QTest::newRow("on enhanced") << true << OutboundMode::enhanced;
    }
    void aiModeAddsItsInboundAndRules()
    {
        QFETCH(bool, ai);
        QFETCH(OutboundMode, mode);
        const QJsonObject config{
            {"inbounds", QJsonArray{QJsonObject{{"type", "tun"}, {"tag", "tun-in"}}}},
            {"outbounds", QJsonArray{vless("proxy"), directOut}},
            {"route", QJsonObject{{"rules", QJsonArray{QJsonObject{{"inbound", "tun-in"}, {"outbound", "block"}}}}}}};
        const QByteArray bytes = macOSSystemProxyConfigData(compact(config), mode, 19091, ai);
        const QJsonObject out = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(out.value("inbounds").toArray(), wantedInbounds(19091, ai));
        QCOMPARE(out.value("inbounds").toArray().last().toObject().value("listen_port").toInt(), ai ? 19110 : 19091);
        QVERIFY(!bytes.contains("tun-in"));
        QCOMPARE(bytes.contains(A.toUtf8()), ai);
        QJsonArray rules = routeOf(out).value("rules").toArray();
        if (mode == OutboundMode::smart)
            QCOMPARE(rules.takeAt(rules.size() - 1).toObject(), (QJsonObject{{"inbound", S}, {"outbound", "block"}}));
        QCOMPARE(rules, required(ai));
    }

    void dnsSectionIsCompletedNotReplaced_data()
    {
        QTest::addColumn<QJsonValue>("dns");
        QTest::addColumn<QJsonValue>("expected");
        const QJsonObject cloudflare = defaultDnsSection().value("servers").toArray().at(0).toObject();
        const QJsonObject bootstrap = defaultDnsSection().value("servers").toArray().at(1).toObject();
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << QJsonValue(defaultDnsSection());
        // The names the client writes (the final server, the resolvers) come with their servers.
        QTest::newRow("object without both")
            << QJsonValue(QJsonObject{{"servers", QJsonArray{1}}})
            << QJsonValue(QJsonObject{{"servers", QJsonArray{1, cloudflare, bootstrap}},
                                      {"strategy", "ipv4_only"},
                                      {"final", "cloudflare"}});
        QTest::newRow("odd values are kept")
            << QJsonValue(QJsonObject{{"strategy", QJsonValue::Null}, {"final", 3}})
            << QJsonValue(
                   QJsonObject{{"strategy", QJsonValue::Null}, {"final", 3}, {"servers", QJsonArray{bootstrap}}});
        QTest::newRow("servers of the wrong type are kept")
            << QJsonValue(QJsonObject{{"servers", "x"}})
            << QJsonValue(QJsonObject{{"servers", "x"}, {"strategy", "ipv4_only"}, {"final", "cloudflare"}});
        QTest::newRow("not an object") << QJsonValue(QJsonArray{"x"}) << QJsonValue(QJsonArray{"x"});
    }
    void dnsSectionIsCompletedNotReplaced()
    {
        QFETCH(QJsonValue, dns);
        QFETCH(QJsonValue, expected);
        QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}}};
        if (!dns.isUndefined())
            config.insert("dns", dns);
        QCOMPARE(rewrite(config, OutboundMode::smart, false).value("dns"), expected);
    }

    // Templates with DNS servers, DNS rules and rule sets of their own, or an untagged direct outbound: every
    // name the client writes (the final server, the resolver, the direct outbound) and every rule set the
    // template's DNS rules use exists in the output, in both modes.
    void everyNameWrittenExists_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QStringList>("smartServers");
        QTest::addColumn<QStringList>("enhancedServers");
        const QByteArray servers =
            R"("servers":[{"tag":"remote","type":"https","server":"1.1.1.1","domain_resolver":"local"},
                                                {"tag":"local","type":"udp","server":"223.5.5.5"}],
                                      "rules":[{"rule_set":"geosite-cn","server":"local"}])";
        const QByteArray route = R"("route":{"rules":[{"inbound":"tun-in","action":"sniff"}],
            "rule_set":[{"type":"inline","tag":"geosite-cn","rules":[{"domain_suffix":["cn"]}]}]})";
        const QByteArray outbounds = R"("outbounds":[{"type":"vless","tag":"proxy"},{"type":"direct","tag":"direct"}])";
        QTest::newRow("own servers without final") << "{\"dns\":{" + servers + "}," + route + "," + outbounds + "}"
                                                   << QStringList{"remote", "local", "cloudflare", "bootstrap"}
                                                   << QStringList{"remote", "local", "cloudflare", "bootstrap"};
        QTest::newRow("own final and resolver")
            << "{\"dns\":{\"final\":\"remote\"," + servers + "}," + route.chopped(1) +
                   ",\"default_domain_resolver\":\"local\"}," + outbounds + "}"
            << QStringList{"remote", "local"} << QStringList{"remote", "local", "bootstrap"};
        QTest::newRow("own server named cloudflare")
            << QByteArray(R"({"dns":{"servers":[{"tag":"cloudflare","type":"udp","server":"9.9.9.9"}]},)") + outbounds +
                   "}"
            << QStringList{"cloudflare", "bootstrap"} << QStringList{"cloudflare", "bootstrap"};
        QTest::newRow("untagged direct outbound")
            << QByteArray(R"({"outbounds":[{"type":"vless","tag":"proxy"},{"type":"direct"}],"route":{"rules":[]}})")
            << QStringList{"cloudflare", "bootstrap"} << QStringList{"cloudflare", "bootstrap"};
    }
    void everyNameWrittenExists()
    {
        QFETCH(QByteArray, json);
        QFETCH(QStringList, smartServers);
        QFETCH(QStringList, enhancedServers);
        const QJsonObject input = QJsonDocument::fromJson(json).object();
        QVERIFY(!input.isEmpty());
        for (const OutboundMode mode : {OutboundMode::smart, OutboundMode::enhanced}) {
            const QJsonObject out = rewrite(input, mode, true);
            QCOMPARE(ConfigReferences::dangling(out).size(), 0);
            QStringList tags;
            for (const QJsonValue &server : out.value("dns").toObject().value("servers").toArray())
                tags << server.toObject().value("tag").toString();
            QCOMPARE(tags, mode == OutboundMode::smart ? smartServers : enhancedServers);
            QCOMPARE(routeOf(out).value("rule_set"), routeOf(input).value("rule_set"));
            QCOMPARE(out.value("outbounds").toArray().at(1).toObject().value("tag"), QJsonValue("direct"));
        }
    }

    void outputIsIndentedWithKeysSortedAtEveryLevel()
    {
        // Keys escaped and raw, beyond and within the basic plane: Qt itself orders these inconsistently.
        const QByteArray text =
            "{\"route\":{\"rules\":[{\"outbound\":\"p\",\"inbound\":\"x\",\"z\":{\"b\":1,\"a\":2}}]},"
            "\"outbounds\":[{\"type\":\"vless\",\"tag\":\"p\",\"tls\":{\"utls\":{},\"enabled\":true}}],"
            "\"x\":{\"\\uff41\":1,\"\\ud83d\\ude00\":2,\"\xc3\xa9\":3,\"Z\":4,\"a\":[]}}";
        for (OutboundMode mode : {OutboundMode::smart, OutboundMode::enhanced}) {
            const QByteArray out = macOSSystemProxyConfigData(text, mode, 19090, true);
            QCOMPARE(firstUnsortedKey(out), QString());
            QVERIFY(out.contains("\n  \"x\": {\n    \"Z\": 4,\n    \"a\": [],\n    \"\xc3\xa9\": 3,\n"
                                 "    \"\xef\xbd\x81\": 1,\n    \"\xf0\x9f\x98\x80\": 2\n  }\n}\n"));
        }
        QCOMPARE(firstUnsortedKey(R"({"a":{"c":1,"b":2}})"), QStringLiteral("b")); // the checker sees it
    }

    void prettyJsonKeepsValuesExactly()
    {
        const QByteArray input = "{\"n\":[19090.0,9007199254740993,-0.0,0.1,1e20,-9223372036854775808,1e6],"
                                 "\"s\":\"q\\\"b\\\\n\\nt\\tc\\u0001/\\u00e9 lone\\ud800 \\u2028\"}";
        const QByteArray written = PrettyJson::write(QJsonDocument::fromJson(input).object());
        QCOMPARE(written, QByteArray("{\n  \"n\": [\n    19090,\n    9007199254740993,\n    0,\n    0.1,\n    1e+20,\n"
                                     "    -9223372036854775808,\n    1000000\n  ],\n"
                                     "  \"s\": \"q\\\"b\\\\n\\nt\\tc\\u0001/\xc3\xa9 lone\\ud800 \xe2\x80\xa8\"\n}\n"));
        QCOMPARE(PrettyJson::write(QJsonDocument::fromJson(written).object()), written);
    }

    void templateIsChosenInOrderOfPrecedence()
    {
        const JSONValue object(JSONValue::Object{{"outbounds", JSONValue::Array{}}});
        ProtocolConfiguration configuration;
        QCOMPARE(templateData(configuration), std::nullopt);
        configuration.rawConfig = JSONValue(5);
        QCOMPARE(templateData(configuration), QByteArray("5")); // then rejected by the rewrite
        configuration.singBoxConfigText = QStringLiteral("{\"log\":{}}");
        QCOMPARE(templateData(configuration), QByteArray("{\"log\":{}}"));
        configuration.singBoxConfig = object;
        QCOMPARE(templateData(configuration), QByteArray("{\"outbounds\":[]}"));
        configuration.singBoxConfig = JSONValue("{\"dns\":{}}"); // a string is the configuration text itself
        QCOMPARE(templateData(configuration), QByteArray("{\"dns\":{}}"));
    }

    void nonObjectTemplatesAndBrokenJson()
    {
        for (const QByteArray &text : {QByteArray("[1, 2]"), QByteArray("  [{\"inbounds\":1}]  ")})
            QCOMPARE(macOSSystemProxyConfigData(text, OutboundMode::enhanced, 19090, true), text);
        for (const QByteArray &text : {QByteArray(""), QByteArray("{\"a\":"), QByteArray("{} x"), QByteArray("42")}) {
            try {
                macOSSystemProxyConfigData(text, OutboundMode::smart, 19090, false);
                QFAIL(text.constData());
            } catch (const TemplateParseError &error) {
                QCOMPARE(error.description(), QStringLiteral("未能读取数据，因为它的格式不正确。"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestBuilder)
#include "test_builder.moc"
