// The pure parts of the devstack: AppleScript literals, netstat destinations, the host map and routing.
#include "AppleScript.h"
#include "CoreConfig.h"
#include "HostMap.h"
#include "MacFormats.h"
#include "Router.h"
#include "TestHome.h"

#include <QJsonDocument>
#include <QTest>

class TestDevstackRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // (Texts with backslashes or odd quotes are ordinary literals: moc misreads such raw strings.)
    void appleScriptLiteralRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << "echo hi";
        QTest::newRow("backslash before quote") << "a\\\"b";
        QTest::newRow("trailing backslash") << "dir\\";
        QTest::newRow("quotes and newlines") << "printf '%s' \"x\"\nexit 0";
        QTest::newRow("single quotes") << "'a'\\''b'";
    }

    void appleScriptLiteralRoundTrip()
    {
        QFETCH(QString, text);
        TestHome home;
        const QString script =
            "do shell script \"" + SimHost::AppleScript::escape(text) + "\" with administrator privileges";
        const auto parsed = SimHost::AppleScript::parseDoShellScript(script);
        QVERIFY(parsed);
        QCOMPARE(parsed->command, text);
        QVERIFY(parsed->administrator);
    }

    void appleScriptShapes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("administrator");
        QTest::newRow("user") << R"(do shell script "ls")" << true << "ls" << false;
        QTest::newRow("escapes") << "do shell script \"a\\tb\\nc\"" << true << "a\tb\nc" << false;
        QTest::newRow("clauses in any order")
            << R"(do shell script "id" without altering line endings with administrator privileges)" << true << "id"
            << true;
        QTest::newRow("unterminated") << "do shell script \"ls" << false << "" << false;
        QTest::newRow("unknown escape") << "do shell script \"a\\qb\"" << false << "" << false;
        QTest::newRow("unknown clause") << R"(do shell script "ls" as user "root")" << false << "" << false;
        QTest::newRow("unescaped quote inside") << R"(do shell script "say "hi"")" << false << "" << false;
    }

    void appleScriptShapes()
    {
        QFETCH(QString, script);
        QFETCH(bool, valid);
        QFETCH(QString, command);
        QFETCH(bool, administrator);
        const auto parsed = SimHost::AppleScript::parseDoShellScript(script);
        QCOMPARE(bool(parsed), valid);
        if (parsed) {
            QCOMPARE(parsed->command, command);
            QCOMPARE(parsed->administrator, administrator);
        }
    }

    void netstatDestinations_data()
    {
        QTest::addColumn<QString>("cidr");
        QTest::addColumn<QString>("printed");
        QTest::newRow("lower half") << "0.0.0.0/1"
                                    << "0/1";
        QTest::newRow("upper half") << "128.0.0.0/1"
                                    << "128.0/1";
        QTest::newRow("class A natural") << "1.0.0.0/8"
                                         << "1";
        QTest::newRow("class A wide") << "64.0.0.0/2"
                                      << "64/2";
        QTest::newRow("class A narrow") << "64.18.0.0/20"
                                        << "64.18/20";
        QTest::newRow("class B natural") << "169.254.0.0/16"
                                         << "169.254";
        QTest::newRow("class B wide") << "172.16.0.0/12"
                                      << "172.16/12";
        QTest::newRow("class C natural") << "192.168.1.0/24"
                                         << "192.168.1";
        QTest::newRow("class C wide") << "198.18.0.0/16"
                                      << "198.18.0/16";
        QTest::newRow("multicast") << "224.0.0.0/4"
                                   << "224.0.0/4";
        QTest::newRow("host prefix") << "1.1.1.1/32"
                                     << "1.1.1.1/32";
        QTest::newRow("host") << "127.0.0.1"
                              << "127.0.0.1";
        QTest::newRow("default") << "default"
                                 << "default";
    }

    void netstatDestinations()
    {
        QFETCH(QString, cidr);
        QFETCH(QString, printed);
        QCOMPARE(SimHost::macRouteDestination(cidr), printed);
    }

    void hostMapPicksTheMostSpecificEntry_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("target");
        const QString map = "www.google.com=127.0.0.1:18080, www.google.com:443=127.0.0.1:18443;"
                            "*.openai.com=127.0.0.1:18081 *.api.openai.com=127.0.0.1:18082\n*=127.0.0.1:18099,"
                            "ipv6.test=[::1]:18090 keep.test=127.0.0.2";
        QTest::newRow("exact") << map << "www.google.com" << 80 << "127.0.0.1:18080";
        QTest::newRow("exact with port") << map << "www.google.com" << 443 << "127.0.0.1:18443";
        QTest::newRow("case and trailing dot") << map << "WWW.Google.COM." << 80 << "127.0.0.1:18080";
        QTest::newRow("wildcard") << map << "chatgpt.openai.com" << 443 << "127.0.0.1:18081";
        QTest::newRow("longer wildcard") << map << "v1.api.openai.com" << 443 << "127.0.0.1:18082";
        QTest::newRow("wildcard excludes the bare suffix") << map << "openai.com" << 443 << "127.0.0.1:18099";
        QTest::newRow("catch-all") << map << "example.org" << 80 << "127.0.0.1:18099";
        QTest::newRow("bracketed IPv6") << map << "ipv6.test" << 80 << "::1:18090";
        QTest::newRow("port kept") << map << "keep.test" << 8443 << "127.0.0.2:8443";
        QTest::newRow("no map") << ""
                                << "www.google.com" << 80 << "www.google.com:80";
    }

    void hostMapPicksTheMostSpecificEntry()
    {
        QFETCH(QString, map);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, target);
        QString error;
        const std::optional<HostMap> hosts = HostMap::parse(map, &error);
        QVERIFY2(hosts, qPrintable(error));
        const HostMap::Target mapped = hosts->map(host, quint16(port));
        QCOMPARE(mapped.host + u':' + QString::number(mapped.port), target);
    }

    void hostMapRejectsMalformedEntries_data()
    {
        QTest::addColumn<QString>("map");
        QTest::newRow("no target") << "www.google.com";
        QTest::newRow("empty target") << "www.google.com=";
        QTest::newRow("bad port") << "www.google.com=127.0.0.1:99999";
        QTest::newRow("bare IPv6") << "v6.test=::1:80";
        QTest::newRow("inner wildcard") << "www.*.com=127.0.0.1";
    }

    void hostMapRejectsMalformedEntries()
    {
        QFETCH(QString, map);
        QString error;
        QVERIFY(!HostMap::parse(map, &error));
        QVERIFY(error.contains("TOVREN_DEVSTACK_HOSTS"));
    }

    void routing_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("inbound");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("outbound");
        const QString suffixes = R"([{"inbound":"in","action":"sniff"},
            {"inbound":"in","domain_suffix":["qq.com",".cn"],"outbound":"direct"}])";
        QTest::newRow("suffix covers the name") << suffixes << "in"
                                                << "qq.com" << 443 << "direct";
        QTest::newRow("suffix covers names below") << suffixes << "in"
                                                   << "im.qq.com" << 443 << "direct";
        QTest::newRow("suffix is not a substring") << suffixes << "in"
                                                   << "notqq.com" << 443 << "proxy-final";
        QTest::newRow("dotted suffix only below") << suffixes << "in"
                                                  << "cn" << 443 << "proxy-final";
        QTest::newRow("dotted suffix below") << suffixes << "in"
                                             << "gov.cn" << 443 << "direct";
        QTest::newRow("other inbound") << suffixes << "ai"
                                       << "im.qq.com" << 443 << "proxy-final";

        const QString cidrs = R"([{"inbound":["in","ai"],"ip_cidr":["127.0.0.0/8","10.1.2.3"],"outbound":"direct"}])";
        QTest::newRow("cidr matches an address") << cidrs << "ai"
                                                 << "127.0.0.1" << 80 << "direct";
        QTest::newRow("single address") << cidrs << "in"
                                        << "10.1.2.3" << 80 << "direct";
        QTest::newRow("cidr never matches a name") << cidrs << "in"
                                                   << "localhost" << 80 << "proxy-final";

        QTest::newRow("keyword, regex and port range")
            << R"([{"domain_keyword":"google","port_range":["400:500"],"outbound":"direct"},
                  {"domain_regex":"^api\\.","port":[8443],"outbound":"block"}])"
            << "in"
            << "www.google.com" << 443 << "direct";
        QTest::newRow("port outside the range")
            << R"([{"domain_keyword":"google","port_range":["400:500"],"outbound":"direct"}])"
            << "in"
            << "www.google.com" << 80 << "proxy-final";
        QTest::newRow("invert") << R"([{"domain":["a.test"],"invert":true,"outbound":"direct"}])"
                                << "in"
                                << "b.test" << 80 << "direct";
        QTest::newRow("logical and") << R"([{"type":"logical","mode":"and","rules":[{"inbound":"in"},{"port":443}],
                                              "outbound":"direct"}])"
                                     << "in"
                                     << "x.test" << 443 << "direct";
        QTest::newRow("logical or") << R"([{"type":"logical","mode":"or","rules":[{"port":1},{"domain":"x.test"}],
                                             "outbound":"direct"}])"
                                    << "in"
                                    << "x.test" << 443 << "direct";
        QTest::newRow("reject") << R"([{"domain":"ads.test","action":"reject"}])"
                                << "in"
                                << "ads.test" << 80 << "<rejected>";
        QTest::newRow("protocol is never sniffed") << R"([{"protocol":"tls","outbound":"direct"}])"
                                                   << "in"
                                                   << "x.test" << 443 << "proxy-final";
        QTest::newRow("selector resolves to its default") << R"([{"domain":"x.test","outbound":"select"}])"
                                                          << "in"
                                                          << "x.test" << 443 << "direct";
    }

    void routing()
    {
        QFETCH(QString, rules);
        QFETCH(QString, inbound);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, outbound);
        const QByteArray json = QStringLiteral(R"({
            "outbounds":[{"type":"socks","tag":"proxy","server":"127.0.0.1","server_port":1080},
                         {"type":"http","tag":"proxy-final","server":"127.0.0.1","server_port":3128},
                         {"type":"direct","tag":"direct"},{"type":"block","tag":"block"},
                         {"type":"selector","tag":"select","outbounds":["proxy","direct"],"default":"direct"}],
            "route":{"rules":%1,"final":"proxy-final"}})")
                                    .arg(rules)
                                    .toUtf8();
        const CoreConfig config = CoreConfig::parse(json);
        const Router router(config);
        const RouteDecision decision = router.route({inbound, host, quint16(port)});
        QCOMPARE(decision.outbound ? decision.outbound->tag : QStringLiteral("<rejected>"), outbound);
    }

    void withoutFinalTheFirstOutboundServes()
    {
        const CoreConfig config = CoreConfig::parse(R"({"outbounds":[{"type":"block","tag":"b"},{"type":"direct"}]})");
        QCOMPARE(Router(config).route({"in", "x.test", 80}).outbound->tag, QStringLiteral("b"));
        const CoreConfig empty = CoreConfig::parse("{}");
        QCOMPARE(Router(empty).route({"in", "x.test", 80}).outbound->type, QStringLiteral("direct"));
    }
};

QTEST_GUILESS_MAIN(TestDevstackRules)
#include "test_rules.moc"
