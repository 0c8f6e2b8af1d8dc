#include "JsonKeyOrder.h"
#include "TestHome.h"
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

QByteArray compact(const QJsonValue &value)
{
    if (value.isObject())
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    if (value.isArray())
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

QJsonObject rewrite(const QJsonObject &config, OutboundMode mode, bool ai, int port = 19090)
{
    const QByteArray out = macOSSystemProxyConfigData(compact(config), mode, port, ai);
    const QJsonDocument doc = QJsonDocument::fromJson(out);
    if (!doc.isObject())
        qWarning("rewrite did not give an object: %s", out.constData());
    return doc.object();
}

QJsonArray rulesOf(const QJsonObject &config)
{
    return config.value("route").toObject().value("rules").toArray();
}

QJsonObject vless(const QString &tag)
{
    return QJsonObject{{"type", "vless"}, {"tag", tag}, {"server", "203.0.113.7"}, {"server_port", 443}};
}

bool mentions(const QByteArray &text, const QString &word)
{
    return text.contains(word.toUtf8());
}

} // namespace

class TestBuilder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void trafficTablesHaveTheirSizesOrderAndNoRedundantEntries()
    {
        const QStringList &domestic = TovrenTrafficRules::domesticDirectDomainSuffixes();
        QCOMPARE(domestic.size(), 62);
        QCOMPARE(domestic.first(), QStringLiteral("cn"));
        QCOMPARE(QSet<QString>(domestic.begin(), domestic.end()).size(), 62);
        // Every entry is a lower-case domain that no other entry already covers (a ".cn" service would
        // be redundant next to "cn").
        for (const QString &entry : domestic) {
            QCOMPARE(entry, entry.toLower().trimmed());
            for (const QString &other : domestic) {
                if (other != entry)
                    QVERIFY2(!entry.endsWith(QLatin1Char('.') + other), qPrintable(entry + " under " + other));
            }
        }

        const QStringList &ranges = TovrenTrafficRules::directAddressRanges();
        QCOMPARE(ranges.size(), 56);
        QCOMPARE(ranges.mid(0, 9),
                 (QStringList{"10.0.0.0/8", "100.64.0.0/10", "127.0.0.0/8", "169.254.0.0/16", "172.16.0.0/12",
                              "192.168.0.0/16", "224.0.0.0/4", "1.12.0.0/14", "1.24.0.0/13"}));
        const int octets[] = {14,  27,  36,  39,  42,  49,  58,  59,  60,  61,  101, 103, 106, 110, 111, 112,
                              113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 139, 140, 150,
                              171, 175, 180, 182, 183, 202, 203, 210, 211, 218, 219, 220, 221, 222, 223};
        for (int i = 0; i < 47; ++i)
            QCOMPARE(ranges.at(9 + i), QStringLiteral("%1.0.0.0/8").arg(octets[i]));

        const QStringList &ai = TovrenTrafficRules::aiDomainSuffixes();
        QCOMPARE(ai.size(), 10);
        QCOMPARE(ai.mid(0, 2), (QStringList{"openai.com", "chatgpt.com"}));
        QCOMPARE(ai.mid(5, 2), (QStringList{"anthropic.com", "claude.ai"}));

        const QStringList &bypass = TovrenTrafficRules::domesticProxyBypassDomains();
        QCOMPARE(bypass.size(), 128);
        QCOMPARE(bypass.mid(0, 4), (QStringList{"localhost", "127.0.0.1", "::1", "*.local"}));
        QCOMPARE(bypass.mid(4, 62), domestic);
        for (int i = 0; i < 62; ++i)
            QCOMPARE(bypass.at(66 + i), QStringLiteral("*.") + domestic.at(i));
    }

    void requiredRulesInOrder_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::newRow("AI off") << false;
        QTest::newRow("AI on") << true;
    }
    void requiredRulesInOrder()
    {
        QFETCH(bool, ai);
        const QJsonArray rules =
            requiredProxyRules(S, ai ? std::optional<QString>(A) : std::nullopt, "final-tag", "direct-tag");
        QCOMPARE(rules.size(), ai ? 6 : 3);
        qsizetype i = 0;
        QCOMPARE(rules.at(i++).toObject(), (QJsonObject{{"inbound", S}, {"action", "sniff"}}));
        if (ai) {
            QCOMPARE(rules.at(i++).toObject(), (QJsonObject{{"inbound", A}, {"action", "sniff"}}));
            const QJsonObject aiRule = rules.at(i++).toObject();
            QCOMPARE(aiRule.value("inbound").toArray(), (QJsonArray{S, A}));
            QCOMPARE(aiRule.value("domain_suffix").toArray().size(), 10);
            QCOMPARE(aiRule.value("outbound").toString(), QStringLiteral("final-tag"));
            QCOMPARE(aiRule.size(), 3);
        }
        const QJsonObject domestic = rules.at(i++).toObject();
        QCOMPARE(domestic.value("inbound").toString(), S);
        QCOMPARE(domestic.value("domain_suffix").toArray().size(), 62);
        QCOMPARE(domestic.value("domain_suffix").toArray().first().toString(), QStringLiteral("cn"));
        QCOMPARE(domestic.value("outbound").toString(), QStringLiteral("direct-tag"));
        const QJsonObject addresses = rules.at(i++).toObject();
        QCOMPARE(addresses.value("inbound").toString(), S);
        QCOMPARE(addresses.value("ip_cidr").toArray().size(), 56);
        QCOMPARE(addresses.value("outbound").toString(), QStringLiteral("direct-tag"));
        if (ai)
            QCOMPARE(rules.at(i++).toObject(), (QJsonObject{{"inbound", A}, {"outbound", "final-tag"}}));
    }

    // A template that already holds everything comes back byte for byte, whatever its layout.
    void completeTemplateIsReturnedUnchanged_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::addColumn<int>("port");
        QTest::newRow("AI off") << false << 19090;
        QTest::newRow("AI on, the client's own AI rules survive") << true << 19090;
        QTest::newRow("another port") << false << 19105;
    }
    void completeTemplateIsReturnedUnchanged()
    {
        QFETCH(bool, ai);
        QFETCH(int, port);
        const std::optional<QString> aiTag = ai ? std::optional<QString>(A) : std::nullopt;
        QJsonArray rules = requiredProxyRules(S, aiTag, "proxy", "direct");
        rules.append(QJsonObject{{"inbound", S}, {"rule_set", "geosite-ads"}, {"action", "reject"}});
        const QJsonObject route{{"rules", rules},
                                {"final", "proxy"},
                                {"auto_detect_interface", true},
                                {"default_domain_resolver", "local"}};
        const QJsonObject dns{{"strategy", "prefer_ipv6"}, {"final", "local"}, {"servers", QJsonArray{}}};
        const QByteArray text =
            "{ \"route\" : " + compact(route) + ",\n  \"log\":{\"level\":\"warn\"},\n" + "  \"outbounds\": " +
            compact(QJsonArray{vless("proxy"), QJsonObject{{"type", "direct"}, {"tag", "direct"}}}) +
            ",\n  \"inbounds\": " + compact(wantedInbounds(port, ai)) + ", \"dns\": " + compact(dns) + " }\n";
        QCOMPARE(macOSSystemProxyConfigData(text, OutboundMode::smart, port, ai), text);
    }

    // Starting from a complete template, each single missing piece is noticed and put back.
    void eachMissingPieceIsRestored_data()
    {
        QTest::addColumn<QString>("path"); // what to break: "section/key"
        QTest::addColumn<QJsonValue>("broken");
        QTest::addColumn<QJsonValue>("restored");
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("route final") << "route/final" << absent << QJsonValue("proxy");
        QTest::newRow("resolver") << "route/default_domain_resolver" << absent
                                  << QJsonValue(QJsonObject{{"server", "bootstrap"}});
        QTest::newRow("auto detect off") << "route/auto_detect_interface" << QJsonValue(false) << QJsonValue(true);
        QTest::newRow("auto detect as text") << "route/auto_detect_interface" << QJsonValue("true") << QJsonValue(true);
        QTest::newRow("dns strategy") << "dns/strategy" << absent << QJsonValue("ipv4_only");
        QTest::newRow("dns final") << "dns/final" << absent << QJsonValue("cloudflare");
        QTest::newRow("listen port") << "inbounds/0" << QJsonValue(QJsonObject{{"listen_port", 19091}})
                                     << QJsonValue(wantedInbounds(19090, false).at(0));
    }
    void eachMissingPieceIsRestored()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, broken);
        QFETCH(QJsonValue, restored);
        QJsonObject config{
            {"inbounds", wantedInbounds(19090, false)},
            {"dns", QJsonObject{{"strategy", "prefer_ipv4"}, {"final", "local"}}},
            {"outbounds", QJsonArray{vless("proxy"), QJsonObject{{"type", "direct"}, {"tag", "direct"}}}},
            {"route", QJsonObject{{"rules", requiredProxyRules(S, std::nullopt, "proxy", "direct")},
                                  {"final", "proxy"},
                                  {"auto_detect_interface", true},
                                  {"default_domain_resolver", "local"}}}};
        QCOMPARE(macOSSystemProxyConfigData(compact(config), OutboundMode::smart, 19090, false), compact(config));

        const QString section = path.section('/', 0, 0);
        const QString key = path.section('/', 1);
        if (section == "inbounds") {
            config.insert(section, QJsonArray{broken});
        } else {
            QJsonObject inner = config.value(section).toObject();
            if (broken.isUndefined())
                inner.remove(key);
            else
                inner.insert(key, broken);
            config.insert(section, inner);
        }
        const QJsonObject out = rewrite(config, OutboundMode::smart, false);
        const QJsonValue actual =
            section == "inbounds" ? out.value(section).toArray().at(0) : out.value(section).toObject().value(key);
        QCOMPARE(actual, restored);
    }

    void missingRequiredRuleIsPutInFront()
    {
        const QJsonArray required = requiredProxyRules(S, A, "proxy", "direct");
        QJsonArray rules = required;
        rules.removeAt(3);
        const QJsonObject config{
            {"outbounds", QJsonArray{vless("proxy"), QJsonObject{{"type", "direct"}, {"tag", "direct"}}}},
            {"route", QJsonObject{{"rules", rules}}}};
        const QJsonArray out = rulesOf(rewrite(config, OutboundMode::smart, true));
        QCOMPARE(out.size(), required.size());
        QCOMPARE(out.first(), required.at(3));
    }

    void missingEverythingGetsTheClientDefaults()
    {
        const QJsonObject out =
            rewrite(QJsonObject{{"outbounds", QJsonArray{vless("proxy")}}}, OutboundMode::smart, false);
        QCOMPARE(out.keys(), (QStringList{"dns", "inbounds", "outbounds", "route"}));
        QCOMPARE(out.value("dns").toObject(), defaultDnsSection());
        QCOMPARE(out.value("dns").toObject().value("servers").toArray().at(1).toObject().value("server").toString(),
                 QStringLiteral("8.8.8.8"));
        QCOMPARE(out.value("outbounds").toArray(),
                 (QJsonArray{vless("proxy"), QJsonObject{{"type", "direct"}, {"tag", "direct"}}}));
        const QJsonObject route = out.value("route").toObject();
        QCOMPARE(route.value("auto_detect_interface"), QJsonValue(true));
        QCOMPARE(route.value("default_domain_resolver").toObject(), (QJsonObject{{"server", "bootstrap"}}));
        QCOMPARE(route.value("final").toString(), QStringLiteral("proxy"));
        QCOMPARE(route.value("rules").toArray(), requiredProxyRules(S, std::nullopt, "proxy", "direct"));
        const QJsonArray inbounds = out.value("inbounds").toArray();
        QCOMPARE(inbounds.size(), 1);
        QCOMPARE(inbounds.at(0).toObject(), (QJsonObject{{"type", "mixed"},
                                                         {"tag", S},
                                                         {"listen", "127.0.0.1"},
                                                         {"listen_port", 19090},
                                                         {"set_system_proxy", false}}));
    }

    void directTagIsUnique_data()
    {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QStringList all20{"direct"};
        for (int n = 1; n <= 20; ++n)
            all20 << QStringLiteral("direct-%1").arg(n);
        QTest::newRow("free") << QStringList{"proxy"} << "direct";
        QTest::newRow("direct and direct-1 taken") << QStringList{"direct", "direct-1"} << "direct-2";
        QTest::newRow("gap is used") << QStringList{"direct", "direct-2"} << "direct-1";
        QTest::newRow("all twenty taken") << all20 << "direct-tovren";
        QTest::newRow("fallback taken too") << (all20 + QStringList{"direct-tovren"}) << "direct-tovren-2";
    }
    void directTagIsUnique()
    {
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        QCOMPARE(uniqueOutboundTag("direct", QSet<QString>(existing.begin(), existing.end())), expected);

        // Through the rewrite: the outbounds already use those tags with other types.
        QJsonArray outbounds;
        for (const QString &tag : existing)
            outbounds.append(tag == existing.first() ? vless(tag) : QJsonObject{{"type", "block"}, {"tag", tag}});
        const QJsonObject out = rewrite(QJsonObject{{"outbounds", outbounds}}, OutboundMode::enhanced, false);
        QCOMPARE(out.value("outbounds").toArray().last().toObject(),
                 (QJsonObject{{"type", "direct"}, {"tag", expected}}));
        QCOMPARE(rulesOf(out).at(1).toObject().value("outbound").toString(), expected);
    }

    void directOutboundIsFoundIgnoringCase()
    {
        bool changed = false;
        QJsonObject config{{"outbounds", QJsonArray{vless("p"), QJsonObject{{"type", "Direct"}, {"tag", "out"}}}}};
        QCOMPARE(ensureDirectOutboundTag(config, changed), QStringLiteral("out"));
        config = QJsonObject{{"outbounds", QJsonArray{QJsonObject{{"type", "DIRECT"}}}}};
        QCOMPARE(ensureDirectOutboundTag(config, changed), QStringLiteral("direct"));
        QVERIFY(!changed);
    }

    void withoutProxyOutboundFinalIsDirect_data()
    {
        QTest::addColumn<OutboundMode>("mode");
        QTest::addColumn<bool>("templateHasRoute");
        QTest::addColumn<QString>("expectedFinal"); // empty: no final
        QTest::newRow("enhanced") << OutboundMode::enhanced << true << "d";
        QTest::newRow("smart without route") << OutboundMode::smart << false << "d";
        QTest::newRow("smart route without final keeps none") << OutboundMode::smart << true << "";
    }
    void withoutProxyOutboundFinalIsDirect()
    {
        QFETCH(OutboundMode, mode);
        QFETCH(bool, templateHasRoute);
        QFETCH(QString, expectedFinal);
        QJsonObject config{{"outbounds", QJsonArray{QJsonObject{{"type", "direct"}, {"tag", "d"}},
                                                    QJsonObject{{"type", "BLOCK"}, {"tag", "b"}}}}};
        if (templateHasRoute)
            config.insert("route", QJsonObject{{"rules", QJsonArray{}}});
        QCOMPARE(proxyOutboundTag(config), std::nullopt);
        const QJsonObject route = rewrite(config, mode, false).value("route").toObject();
        if (expectedFinal.isEmpty())
            QVERIFY(!route.contains("final"));
        else
            QCOMPARE(route.value("final").toString(), expectedFinal);
        QCOMPARE(route.value("rules").toArray().at(1).toObject().value("outbound").toString(), QStringLiteral("d"));
    }

    void proxyOutboundIsTheFirstThatCarriesTraffic()
    {
        QJsonObject config{{"outbounds", QJsonArray{QJsonObject{{"tag", "no type"}}, QJsonObject{{"type", "direct"}},
                                                    QJsonObject{{"type", "Trojan"}, {"tag", "t"}}, vless("v")}}};
        QCOMPARE(proxyOutboundTag(config), std::optional<QString>("t"));
        config = QJsonObject{{"outbounds", QJsonArray{QJsonObject{{"type", "vless"}, {"tag", 5}}, vless("v")}}};
        QCOMPARE(proxyOutboundTag(config), std::nullopt);
    }

    // Without a tag the route could not name the proxy, and its final would send everything direct.
    void untaggedProxyOutboundGetsATag_data()
    {
        QTest::addColumn<QJsonArray>("outbounds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("alone") << QJsonArray{QJsonObject{{"type", "vless"}}} << "proxy";
        QTest::newRow("proxy taken") << QJsonArray{QJsonObject{{"type", "vless"}},
                                                   QJsonObject{{"type", "block"}, {"tag", "proxy"}}}
                                     << "proxy-1";
    }
    void untaggedProxyOutboundGetsATag()
    {
        QFETCH(QJsonArray, outbounds);
        QFETCH(QString, expected);
        for (OutboundMode mode : {OutboundMode::smart, OutboundMode::enhanced}) {
            const QJsonObject out = rewrite(QJsonObject{{"outbounds", outbounds}}, mode, true);
            QCOMPARE(out.value("outbounds").toArray().at(0).toObject().value("tag").toString(), expected);
            QCOMPARE(out.value("route").toObject().value("final").toString(), expected);
            QCOMPARE(rulesOf(out).last().toObject().value("outbound").toString(), expected);
        }
    }

    // An invalid outbounds list must stay invalid for the core's check, not turn into "all direct".
    void mistypedOutboundsAreNotReplaced_data()
    {
        QTest::addColumn<QJsonValue>("outbounds");
        QTest::addColumn<QJsonValue>("expected");
        const QJsonObject direct{{"type", "direct"}, {"tag", "direct"}};
        QTest::newRow("object instead of list") << QJsonValue(vless("p")) << QJsonValue(vless("p"));
        QTest::newRow("string") << QJsonValue("vless") << QJsonValue("vless");
        QTest::newRow("list with a stray number")
            << QJsonValue(QJsonArray{1, vless("p")}) << QJsonValue(QJsonArray{1, vless("p"), direct});
    }
    void mistypedOutboundsAreNotReplaced()
    {
        QFETCH(QJsonValue, outbounds);
        QFETCH(QJsonValue, expected);
        const QJsonObject out = rewrite(QJsonObject{{"outbounds", outbounds}}, OutboundMode::smart, false);
        QCOMPARE(out.value("outbounds"), expected);
    }

    void templateRulesAreRetargetedInSmartModeOnly_data()
    {
        QTest::addColumn<QJsonObject>("rule");
        QTest::addColumn<QJsonObject>("expected");
        const QJsonObject tail{{"domain", "example.org"}, {"outbound", "proxy"}};
        auto with = [&](const QJsonValue &inbound) {
            QJsonObject rule = tail;
            if (!inbound.isUndefined())
                rule.insert("inbound", inbound);
            return rule;
        };
        QTest::newRow("other inbound by name") << with("tun-in") << with(S);
        QTest::newRow("list without ours") << with(QJsonArray{"tun-in", "socks-in"}) << with(QJsonArray{S});
        QTest::newRow("empty list") << with(QJsonArray{}) << with(QJsonArray{S});
        QTest::newRow("list naming ours is kept") << with(QJsonArray{"tun-in", S}) << with(QJsonArray{"tun-in", S});
        QTest::newRow("list with a number is kept") << with(QJsonArray{"tun-in", 3}) << with(QJsonArray{"tun-in", 3});
        QTest::newRow("no inbound is kept") << with(QJsonValue::Undefined) << with(QJsonValue::Undefined);
        QTest::newRow("number inbound is kept") << with(7) << with(7);
    }
    void templateRulesAreRetargetedInSmartModeOnly()
    {
        QFETCH(QJsonObject, rule);
        QFETCH(QJsonObject, expected);
        const QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}},
                                 {"route", QJsonObject{{"rules", QJsonArray{rule}}}}};

        const QJsonArray smartRules = rulesOf(rewrite(config, OutboundMode::smart, false));
        const QJsonArray required = requiredProxyRules(S, std::nullopt, "proxy", "direct");
        QCOMPARE(smartRules.size(), required.size() + 1);
        for (qsizetype i = 0; i < required.size(); ++i)
            QCOMPARE(smartRules.at(i), required.at(i));
        QCOMPARE(smartRules.last().toObject(), expected);

        const QJsonArray enhancedRules = rulesOf(rewrite(config, OutboundMode::enhanced, false));
        QCOMPARE(enhancedRules, required);
    }

    void requiredRulesAlreadyPresentKeepTheirPlace()
    {
        const QJsonArray required = requiredProxyRules(S, std::nullopt, "proxy", "direct");
        const QJsonObject own{{"inbound", S}, {"rule_set", "geosite-ads"}, {"action", "reject"}};
        const QJsonArray templateRules{own, required.at(1)};
        const QJsonArray merged = mergeRequiredRules(required, templateRules);
        QCOMPARE(merged, (QJsonArray{required.at(0), required.at(2), own, required.at(1)}));
    }

    void smartModeKeepsTheTemplatesRouteValues()
    {
        const QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}},
                                 {"route", QJsonObject{{"final", "elsewhere"},
                                                       {"auto_detect_interface", "yes"},
                                                       {"default_domain_resolver", QJsonObject{{"server", "local"}}},
                                                       {"rule_set", QJsonArray{QJsonObject{{"tag", "geosite-ads"}}}}}}};
        const QJsonObject route = rewrite(config, OutboundMode::smart, false).value("route").toObject();
        QCOMPARE(route.value("final").toString(), QStringLiteral("elsewhere"));
        QCOMPARE(route.value("auto_detect_interface"), QJsonValue(true));
        QCOMPARE(route.value("default_domain_resolver").toObject().value("server").toString(), QStringLiteral("local"));
        QVERIFY(route.contains("rule_set"));

        const QJsonObject enhanced = rewrite(config, OutboundMode::enhanced, false).value("route").toObject();
        QCOMPARE(enhanced.value("final").toString(), QStringLiteral("proxy"));
        QVERIFY(!enhanced.contains("rule_set"));
    }

    void routeOfAnotherTypeIsLeftInSmartMode()
    {
        const QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}}, {"route", "none"}};
        QCOMPARE(rewrite(config, OutboundMode::smart, false).value("route"), QJsonValue("none"));
        QVERIFY(rewrite(config, OutboundMode::enhanced, false).value("route").isObject());
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
            {"outbounds", QJsonArray{vless("proxy"), QJsonObject{{"type", "direct"}, {"tag", "direct"}}}},
            {"route", QJsonObject{{"rules", QJsonArray{QJsonObject{{"inbound", "tun-in"}, {"outbound", "proxy"}}}}}}};
        const QByteArray bytes = macOSSystemProxyConfigData(compact(config), mode, 19091, ai);
        const QJsonObject out = QJsonDocument::fromJson(bytes).object();
        const QJsonArray inbounds = out.value("inbounds").toArray();
        QCOMPARE(inbounds.size(), ai ? 2 : 1);
        QCOMPARE(inbounds.at(0).toObject().value("listen_port").toInt(), 19091);
        QVERIFY(!mentions(bytes, "tun-in"));
        if (!ai) {
            QVERIFY(!mentions(bytes, A));
            return;
        }
        QCOMPARE(inbounds.at(1).toObject(), (QJsonObject{{"type", "mixed"},
                                                         {"tag", A},
                                                         {"listen", "127.0.0.1"},
                                                         {"listen_port", 19110},
                                                         {"set_system_proxy", false}}));
        const QJsonArray rules = rulesOf(out);
        const QJsonArray required = requiredProxyRules(S, A, "proxy", "direct");
        for (int n : {1, 2, 5})
            QVERIFY2(rules.contains(required.at(n)), qPrintable(QString::number(n)));
        // The AI rule comes before the domestic direct rules.
        QVERIFY(rules.toVariantList().indexOf(required.at(2).toVariant()) <
                rules.toVariantList().indexOf(required.at(3).toVariant()));
    }

    // Rewriting the output again, with the same settings, must change nothing: with AI mode on the
    // client's own AI rules must not be taken for template rules and pointed at the system-proxy entry.
    void rewritingTheOutputChangesNothing_data()
    {
        QTest::addColumn<bool>("ai");
        QTest::addColumn<OutboundMode>("mode");
        QTest::newRow("smart AI on") << true << OutboundMode::smart;
        QTest::newRow("smart AI off") << false << OutboundMode::smart;
        QTest::newRow("enhanced AI on") << true << OutboundMode::enhanced;
    }
    void rewritingTheOutputChangesNothing()
    {
        QFETCH(bool, ai);
        QFETCH(OutboundMode, mode);
        const QJsonObject config{{"outbounds", QJsonArray{vless("proxy")}},
                                 {"route", QJsonObject{{"rules", QJsonArray{QJsonObject{{"inbound", "tun-in"},
                                                                                        {"domain", "example.org"},
                                                                                        {"outbound", "proxy"}}}}}}};
        const QByteArray once = macOSSystemProxyConfigData(compact(config), mode, 19090, ai);
        const QByteArray twice = macOSSystemProxyConfigData(once, mode, 19090, ai);
        QCOMPARE(twice, once);
        // No catch-all rule for the system-proxy entry ahead of the template's own rules.
        const QJsonArray rules = rulesOf(QJsonDocument::fromJson(twice).object());
        QVERIFY(!rules.contains(QJsonObject{{"inbound", S}, {"outbound", "proxy"}}));
    }

    void dnsSectionIsCompletedNotReplaced_data()
    {
        QTest::addColumn<QJsonValue>("dns");
        QTest::addColumn<QJsonValue>("expected");
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << QJsonValue(defaultDnsSection());
        QTest::newRow("object without both")
            << QJsonValue(QJsonObject{{"servers", QJsonArray{1}}})
            << QJsonValue(QJsonObject{{"servers", QJsonArray{1}}, {"strategy", "ipv4_only"}, {"final", "cloudflare"}});
        QTest::newRow("odd values are kept") << QJsonValue(QJsonObject{{"strategy", QJsonValue::Null}, {"final", 3}})
                                             << QJsonValue(QJsonObject{{"strategy", QJsonValue::Null}, {"final", 3}});
        QTest::newRow("not an object") << QJsonValue(QJsonArray{"x"}) << QJsonValue(QJsonArray{"x"});
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QJsonValue(QJsonValue::Null);
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

    void outputIsIndentedWithKeysSortedAtEveryLevel()
    {
        const QByteArray text =
            R"({"route":{"rules":[{"outbound":"p","inbound":"x","zeta":{"b":1,"a":[{"y":1,"x":2}]}}]},
            "outbounds":[{"type":"vless","tag":"p","tls":{"server_name":"e.org","enabled":true,"utls":{"fingerprint":"chrome","enabled":true}}}],
            "experimental":{"\u00e9t\u00e9":1,"zz":2,"\uff41":3,"\ud83d\ude00":4,"Z":5,"a":6}})";
        for (bool ai : {false, true}) {
            for (OutboundMode mode : {OutboundMode::smart, OutboundMode::enhanced}) {
                const QByteArray out = macOSSystemProxyConfigData(text, mode, 19090, ai);
                QCOMPARE(firstUnsortedKey(out), QString());
                QVERIFY(out.startsWith("{\n  \"dns\": {\n    \""));
                QVERIFY(out.count('\n') > 50);
            }
        }
        // The checker itself notices an unsorted level.
        QCOMPARE(firstUnsortedKey(R"({"a":{"c":1,"b":2}})"), QStringLiteral("b"));
        QCOMPARE(firstUnsortedKey(R"({"a":[{"x":1},{"c":1,"d":2}],"b":1})"), QString());
    }

    void prettyJsonIsExactAndRoundTrips_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("layout") << QByteArray(R"({"b":[1,{"d":[],"c":{}}],"a":true})")
                                << QByteArray("{\n  \"a\": true,\n  \"b\": [\n    1,\n    {\n      \"c\": {},\n"
                                              "      \"d\": []\n    }\n  ]\n}\n");
        QTest::newRow("numbers")
            << QByteArray(
                   R"({"a":19090.0,"b":9007199254740993,"c":-0.0,"d":0.1,"e":1e20,"f":-9223372036854775808,"g":1e6})")
            << QByteArray("{\n  \"a\": 19090,\n  \"b\": 9007199254740993,\n  \"c\": 0,\n  \"d\": 0.1,\n"
                          "  \"e\": 1e+20,\n  \"f\": -9223372036854775808,\n  \"g\": 1000000\n}\n");
        QTest::newRow("strings")
            << QByteArray("{\"s\":\"q\\\"b\\\\n\\nt\\tc\\u0001/\\u00e9\\ud83d\\ude00 lone\\ud800 \\u2028\"}")
            << QByteArray(
                   "{\n  \"s\": \"q\\\"b\\\\n\\nt\\tc\\u0001/\xc3\xa9\xf0\x9f\x98\x80 lone\\ud800 \xe2\x80\xa8\"\n}\n");
        // Code-point order, whether a key arrived escaped or as raw UTF-8.
        QTest::newRow("key order") << QByteArray("{\"\\uff41\":1,\"\\ud83d\\ude00\":2,\"\xc3\xa9\":3,\"Z\":4,\"a\":5}")
                                   << QByteArray(
                                          "{\n  \"Z\": 4,\n  \"a\": 5,\n  \"\xc3\xa9\": 3,\n  \"\xef\xbd\x81\": 1,\n"
                                          "  \"\xf0\x9f\x98\x80\": 2\n}\n");
    }
    void prettyJsonIsExactAndRoundTrips()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        const QJsonObject object = QJsonDocument::fromJson(input).object();
        QVERIFY(!object.isEmpty());
        const QByteArray written = PrettyJson::write(object);
        QCOMPARE(written, expected);
        // Compared as maps: QJsonObject equality depends on how the keys happen to be stored.
        QCOMPARE(QJsonDocument::fromJson(written).object().toVariantMap(), object.toVariantMap());
        QCOMPARE(PrettyJson::write(QJsonDocument::fromJson(written).object()), written);
    }

    void nonObjectTemplatesAndBrokenJson()
    {
        for (const QByteArray &text : {QByteArray("[1, 2]"), QByteArray("[]"), QByteArray("  [{\"inbounds\":1}]  ")}) {
            QCOMPARE(macOSSystemProxyConfigData(text, OutboundMode::enhanced, 19090, true), text);
        }
        for (const QByteArray &text : {QByteArray(""), QByteArray("{\"a\":"), QByteArray("{} x"), QByteArray("42"),
                                       QByteArray("\"text\""), QByteArray("{'a':1}")}) {
            try {
                macOSSystemProxyConfigData(text, OutboundMode::smart, 19090, false);
                QFAIL(text.constData());
            } catch (const TemplateParseError &error) {
                QCOMPARE(error.description(), QStringLiteral("未能读取数据，因为它的格式不正确。"));
                QVERIFY(!error.parserMessage().isEmpty());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestBuilder)
#include "test_builder.moc"
