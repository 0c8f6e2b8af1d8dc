#include "api/ProtocolConfiguration.h"
#include "base/PrettyJson.h"
#include "base/TovrenTrafficRules.h"
#include "testkit/TestHome.h"
#include "tunnel/SingBoxConfigBuilder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace SingBoxConfigBuilder;

namespace {

const QString S = QStringLiteral("tovren-system-proxy");
const QString A = QStringLiteral("tovren-ai-proxy");

QByteArray text(const QJsonValue &value)
{
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
}

QJsonArray required(bool ai, const QString &finalTag = "proxy", const QString &directTag = "direct")
{
    return requiredProxyRules(S, ai ? std::optional<QString>(A) : std::nullopt, finalTag, directTag);
}

// The value at a path like "route/rules/-1/inbound" (-1: the last element); undefined when absent.
QJsonValue at(QJsonValue value, const QString &path)
{
    for (const QString &step : path.split(u'/', Qt::SkipEmptyParts)) {
        const QJsonArray array = value.toArray();
        value = value.isArray() ? array.at(step.toInt() < 0 ? array.size() + step.toInt() : step.toInt())
                                : value.toObject().value(step);
    }
    return value;
}

const QByteArray vless = R"({"server":"203.0.113.7","tag":"proxy","type":"vless"})";
const QByteArray directOut = R"({"tag":"direct","type":"direct"})";

} // namespace

class TestBuilder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requiredRulesAndBypassList()
    {
        using namespace TovrenTrafficRules;
        const QJsonArray on = requiredProxyRules(S, A, "F", "D");
        const auto list = [](const QStringList &items) { return QJsonArray::fromStringList(items); };
        QCOMPARE(
            on,
            (QJsonArray{
                QJsonObject{{"inbound", S}, {"action", "sniff"}}, QJsonObject{{"inbound", A}, {"action", "sniff"}},
                QJsonObject{
                    {"inbound", QJsonArray{S, A}}, {"domain_suffix", list(aiDomainSuffixes())}, {"outbound", "F"}},
                QJsonObject{{"inbound", S}, {"domain_suffix", list(domesticDirectDomainSuffixes())}, {"outbound", "D"}},
                QJsonObject{{"inbound", S}, {"ip_cidr", list(directAddressRanges())}, {"outbound", "D"}},
                QJsonObject{{"inbound", A}, {"outbound", "F"}}}));
        QCOMPARE(requiredProxyRules(S, std::nullopt, "F", "D"), (QJsonArray{on.at(0), on.at(3), on.at(4)}));
        // Rules already present keep their place; the missing ones go first.
        const QJsonObject own{{"inbound", S}, {"action", "reject"}};
        const QJsonArray off = required(false);
        QCOMPARE(mergeRequiredRules(off, {own, off.at(1)}), (QJsonArray{off.at(0), off.at(2), own, off.at(1)}));

        const QStringList &domestic = domesticDirectDomainSuffixes();
        const QStringList &bypass = domesticProxyBypassDomains();
        QCOMPARE(bypass.size(), 4 + 2 * domestic.size());
        QCOMPARE(bypass.mid(0, 4), (QStringList{"localhost", "127.0.0.1", "::1", "*.local"}));
        for (int i = 0; i < domestic.size(); ++i)
            QVERIFY(bypass.at(4 + i) == domestic.at(i) && bypass.at(4 + domestic.size() + i) == "*." + domestic.at(i));
    }

    // One rewrite, one value of its output. Quotes are written ' for brevity; "s"/"e": smart or enhanced mode,
    // "+ai" with the AI entry; an empty expectation: absent.
    void rewrite_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("expected");
        const auto add = [](const char *name, QByteArray input, const char *mode, const char *path,
                            QByteArray expected) {
            QTest::newRow(name) << input.replace('\'', '"') << mode << path << expected.replace('\'', '"');
        };
        const QByteArray bare = "{'inbounds':[{'type':'tun','tag':'tun-in'}],'outbounds':[" + vless + "]}";
        const QByteArray bootstrap = "{'server':'8.8.8.8','tag':'bootstrap','type':'udp'}";
        const QByteArray cloudflare =
            "{'domain_resolver':'bootstrap','server':'1.1.1.1','tag':'cloudflare','type':'https'}";
        add("default dns", bare, "s", "dns",
            "{'final':'cloudflare','servers':[" + cloudflare + "," + bootstrap + "],'strategy':'ipv4_only'}");
        add("default route", bare, "s", "route",
            "{'auto_detect_interface':true,'default_domain_resolver':{'server':'bootstrap'},'final':'proxy','rules':" +
                text(required(false)) + "}");
        add("inbounds", bare, "s", "inbounds",
            "[{'listen':'127.0.0.1','listen_port':19090,'set_system_proxy':false,'tag':'" + S.toUtf8() +
                "','type':'mixed'}]");
        add("AI inbound", bare, "e+ai", "inbounds/1",
            "{'listen':'127.0.0.1','listen_port':19110,'set_system_proxy':false,'tag':'" + A.toUtf8() +
                "','type':'mixed'}");
        add("direct added", bare, "s", "outbounds", "[" + vless + "," + directOut + "]");
        // The direct outbound's tag must not collide with any other tag.
        const auto tags = [](QStringList names) {
            return "{'outbounds':[{'type':'vless','tag':'" + names.join("'},{'type':'block','tag':'").toUtf8() + "'}]}";
        };
        QStringList all{"p", "direct"};
        for (int n = 1; n <= 20; ++n)
            all << QStringLiteral("direct-%1").arg(n);
        add("direct tag next", tags({"direct", "direct-1"}), "e", "outbounds/-1/tag", "'direct-2'");
        add("direct tag gap", tags({"direct", "direct-2"}), "e", "outbounds/-1/tag", "'direct-1'");
        add("direct tag fallback", tags(all), "e", "outbounds/-1/tag", "'direct-tovren'");
        add("direct tag fallback taken", tags(all << "direct-tovren"), "e", "outbounds/-1/tag", "'direct-tovren-2'");
        // The direct outbound is found ignoring case; the first real proxy is final.
        const QByteArray mixed =
            "{'outbounds':[{'tag':'no type'},{'type':'BLOCK','tag':'b'},{'type':'Direct','tag':'d'},"
            "{'type':'vless','tag':'v1'},{'type':'vless','tag':'v2'}]}";
        add("first real proxy is final", mixed, "e", "route/final", "'v1'");
        add("direct in any letter case", mixed, "e", "outbounds/-1/tag", "'v2'");
        const QByteArray local = "{'outbounds':[{'type':'direct','tag':'d'}],'route':{'rules':[]}}";
        add("no proxy, enhanced: direct", local, "e", "route/final", "'d'");
        add("no proxy, smart: no final", local, "s", "route/final", "");
        // Without a tag the route could not name the proxy and would send everything direct.
        add("untagged proxy", "{'outbounds':[{'type':'vless'},{'type':'block','tag':'proxy'}]}", "e", "route/final",
            "'proxy-1'");
        // An invalid outbounds value must stay invalid for the core's check, not turn into "all direct".
        add("outbounds object kept", "{'outbounds':" + vless + "}", "e", "outbounds", vless);
        add("stray element kept", "{'outbounds':[1," + vless + "]}", "e", "outbounds",
            "[1," + vless + "," + directOut + "]");
        // Smart mode points the template's rules at the client's inbound; enhanced mode drops them.
        const auto ruled = [](const QByteArray &inbound) {
            return "{'outbounds':[" + vless + "],'route':{'rules':[{'domain':'x.org'," +
                   (inbound.isEmpty() ? QByteArray() : "'inbound':" + inbound + ",") + "'outbound':'proxy'}]}}";
        };
        const QByteArray ours = "'" + S.toUtf8() + "'";
        add("retarget a name", ruled("'tun-in'"), "s", "route/rules/3/inbound", ours);
        add("retarget a list", ruled("['a','b']"), "s", "route/rules/3/inbound", "[" + ours + "]");
        add("retarget an empty list", ruled("[]"), "s", "route/rules/3/inbound", "[" + ours + "]");
        add("list naming ours", ruled("['a'," + ours + "]"), "s", "route/rules/3/inbound", "['a'," + ours + "]");
        add("list with a number", ruled("['a',3]"), "s", "route/rules/3/inbound", "['a',3]");
        add("no inbound", ruled({}), "s", "route/rules/3", "{'domain':'x.org','outbound':'proxy'}");
        add("number inbound", ruled("7"), "s", "route/rules/3/inbound", "7");
        // The DNS section is completed, not replaced; names the client writes come with their servers.
        const auto dns = [](const QByteArray &section) {
            return "{'outbounds':[" + vless + "],'dns':" + section + "}";
        };
        add("dns servers added", dns("{'servers':[1]}"), "s", "dns",
            "{'final':'cloudflare','servers':[1," + cloudflare + "," + bootstrap + "],'strategy':'ipv4_only'}");
        add("dns odd values kept", dns("{'strategy':null,'final':3}"), "s", "dns",
            "{'final':3,'servers':[" + bootstrap + "],'strategy':null}");
        add("dns servers not a list", dns("{'servers':'x'}"), "s", "dns",
            "{'final':'cloudflare','servers':'x','strategy':'ipv4_only'}");
        add("dns not an object", dns("['x']"), "s", "dns", "['x']");
    }
    void rewrite()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, mode);
        QFETCH(QString, path);
        QFETCH(QByteArray, expected);
        const QByteArray output = macOSSystemProxyConfigData(
            input, mode.startsWith('e') ? OutboundMode::enhanced : OutboundMode::smart, 19090, mode.endsWith("ai"));
        const QJsonArray wanted = QJsonDocument::fromJson("[" + expected + "]").array();
        QCOMPARE(wanted.size(), expected.isEmpty() ? 0 : 1);
        QCOMPARE(at(QJsonDocument::fromJson(output).object(), path), wanted.at(0));
    }

    // A template that holds everything comes back byte for byte, whatever its layout; the client's own AI rules
    // are not mistaken for template rules. A missing final or resolver is noticed and put back.
    void completeTemplateIsKept()
    {
        QJsonArray rules = required(true);
        rules.append(QJsonObject{{"inbound", S}, {"rule_set", "geosite-ads"}, {"action", "reject"}});
        const QJsonObject route{{"rules", rules},
                                {"final", "proxy"},
                                {"auto_detect_interface", true},
                                {"default_domain_resolver", "local"}};
        const auto withRoute = [](const QJsonObject &route) {
            return "{ \"route\" : " + text(route) + ",\n \"log\":{\"level\":\"warn\"},\n  \"outbounds\": [" + vless +
                   ", " + directOut + "],\n  \"inbounds\": " + QJsonDocument(wantedInbounds(19105, true)).toJson() +
                   ", \"dns\": {\"strategy\": \"prefer_ipv6\", \"final\": \"local\", \"servers\": [{\"tag\": "
                   "\"local\"}]} }\n";
        };
        QCOMPARE(macOSSystemProxyConfigData(withRoute(route), OutboundMode::smart, 19105, true), withRoute(route));
        for (const QString &key : {"final", "default_domain_resolver"}) {
            QJsonObject broken = route;
            broken.remove(key);
            QJsonObject repaired = route;
            repaired.insert(key,
                            key == "final" ? QJsonValue("proxy") : QJsonValue(QJsonObject{{"server", "bootstrap"}}));
            const QByteArray output = macOSSystemProxyConfigData(withRoute(broken), OutboundMode::smart, 19105, true);
            QCOMPARE(QJsonDocument::fromJson(output).object().value("route").toObject(), repaired);
        }
    }

    // Numbers and strings come out exactly as the core reads them back.
    void prettyJsonKeepsValuesExactly()
    {
        const QByteArray values = "{\"n\":[19090.0,9007199254740993,-0.0,0.1,1e20,-9223372036854775808,1e6],"
                                  "\"s\":\"q\\\"b\\\\n\\nt\\tc\\u0001/\\u00e9 lone\\ud800 \\u2028\"}";
        const QByteArray written = PrettyJson::write(QJsonDocument::fromJson(values).object());
        QCOMPARE(written, QByteArray("{\n  \"n\": [\n    19090,\n    9007199254740993,\n    0,\n    0.1,\n    1e+20,\n"
                                     "    -9223372036854775808,\n    1000000\n  ],\n"
                                     "  \"s\": \"q\\\"b\\\\n\\nt\\tc\\u0001/\xc3\xa9 lone\\ud800 \xe2\x80\xa8\"\n}\n"));
        QCOMPARE(PrettyJson::write(QJsonDocument::fromJson(written).object()), written);
    }

    void templateChoiceAndBrokenTemplates()
    {
        ProtocolConfiguration configuration;
        QCOMPARE(templateData(configuration), std::nullopt);
        configuration.rawConfig = JSONValue(5);
        QCOMPARE(templateData(configuration), QByteArray("5")); // then rejected by the rewrite
        configuration.singBoxConfigText = QStringLiteral("{\"log\":{}}");
        QCOMPARE(templateData(configuration), QByteArray("{\"log\":{}}"));
        configuration.singBoxConfig = JSONValue(JSONValue::Object{{"outbounds", JSONValue::Array{}}});
        QCOMPARE(templateData(configuration), QByteArray("{\"outbounds\":[]}"));
        configuration.singBoxConfig = JSONValue("{\"dns\":{}}"); // a string is the configuration text itself
        QCOMPARE(templateData(configuration), QByteArray("{\"dns\":{}}"));

        for (const QByteArray &input : {QByteArray("[1, 2]"), QByteArray("  [{\"inbounds\":1}]  ")})
            QCOMPARE(macOSSystemProxyConfigData(input, OutboundMode::enhanced, 19090, true), input);
        for (const QByteArray &input : {QByteArray(""), QByteArray("{\"a\":"), QByteArray("{} x"), QByteArray("42")}) {
            try {
                macOSSystemProxyConfigData(input, OutboundMode::smart, 19090, false);
                QFAIL(input.constData());
            } catch (const TemplateParseError &error) {
                QCOMPARE(error.description(), QStringLiteral("未能读取数据，因为它的格式不正确。"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestBuilder)
#include "test_builder.moc"
