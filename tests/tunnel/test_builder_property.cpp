#include "JsonKeyOrder.h"
#include "testkit/ReferenceIntegrity.h"
#include "testkit/TestHome.h"
#include "tunnel/SingBoxConfigBuilder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

using namespace SingBoxConfigBuilder;

namespace {

// Random templates, mostly in the shapes the rewrite looks at (inbounds, outbounds, dns with its servers and
// rules, route with its rules and rule sets), with wrong types, stray elements, the client's own tags and
// copies of its rules mixed in.
class TemplateGenerator final
{
public:
    explicit TemplateGenerator(quint32 seed) : m_random(seed) {}

    bool chance(int percent) { return int(m_random.bounded(100)) < percent; }
    int pick(int count) { return int(m_random.bounded(count)); }
    template<typename T> T oneOf(std::initializer_list<T> values) { return values.begin()[pick(int(values.size()))]; }

    QJsonObject config()
    {
        QJsonObject config;
        if (chance(70))
            config.insert("outbounds", chance(85) ? list(5, [this] { return outbound(); }) : any(1));
        if (chance(60))
            config.insert("route", chance(85) ? route() : any(1));
        if (chance(50))
            config.insert("dns", chance(80) ? dns() : any(1));
        if (chance(50))
            config.insert("inbounds", chance(30) ? QJsonValue(wantedInbounds(19090, chance(50))) : any(2));
        for (int i = pick(3); i > 0; --i)
            config.insert(key(), any(3));
        return config;
    }

    QByteArray damaged(QByteArray bytes)
    {
        for (int flips = 1 + pick(3); flips > 0 && !bytes.isEmpty(); --flips) {
            const int at = pick(int(bytes.size()));
            switch (pick(3)) {
            case 0: bytes[at] = char(m_random.bounded(256)); break;
            case 1: bytes.remove(at, 1 + pick(8)); break;
            default: bytes.truncate(at);
            }
        }
        return bytes;
    }

private:
    QString tag()
    {
        return oneOf<QString>({"proxy", "direct", "direct-1", "block", "proxy-1", "tovren-system-proxy",
                               "tovren-ai-proxy", "tun-in", "节点", "", "cloudflare", "bootstrap", "local"});
    }
    QString key()
    {
        return oneOf<QString>(
            {"log", "tag", "type", "inbound", "outbound", "rules", "final", "Z", "é", "ｚ", "😀", "a"});
    }
    // Half of the time a key that the rewrite ignores, so the section also appears without it.
    QString maybe(const char *name) { return chance(50) ? QString::fromLatin1(name) : key(); }

    QJsonValue any(int depth)
    {
        if (depth <= 0 || chance(45)) {
            switch (pick(7)) {
            case 0: return QJsonValue::Null;
            case 1: return chance(50);
            case 2: return int(m_random.bounded(-100000, 100000));
            case 3: return m_random.generateDouble() * 1e6;
            case 4: return qint64(m_random.generate64() >> 2);
            case 5: return QStringLiteral("\"quoted\" \\ \n\t \u2028 \u0001");
            default: return tag();
            }
        }
        if (chance(50))
            return list(4, [&] { return any(depth - 1); });
        QJsonObject object;
        for (int i = pick(4); i > 0; --i)
            object.insert(key(), any(depth - 1));
        return object;
    }

    template<typename Make> QJsonArray list(int most, Make make)
    {
        QJsonArray array;
        for (int i = pick(most + 1); i > 0; --i)
            array.append(chance(10) ? any(1) : make());
        return array;
    }

    QJsonValue outbound()
    {
        QJsonObject outbound{
            {maybe("type"), oneOf<QString>({"vless", "trojan", "direct", "DIRECT", "block", "selector"})}};
        if (chance(80))
            outbound.insert("tag", chance(90) ? QJsonValue(tag()) : any(0));
        return outbound;
    }

    QJsonValue rule()
    {
        if (chance(15)) // as an earlier rewrite would have left it
            return requiredProxyRules("tovren-system-proxy",
                                      chance(50) ? std::optional<QString>("tovren-ai-proxy") : std::nullopt, tag(),
                                      tag())
                .at(pick(3));
        QJsonObject rule{{"outbound", tag()}};
        switch (pick(3)) {
        case 0: rule.insert("inbound", tag()); break;
        case 1: rule.insert("inbound", list(3, [this] { return QJsonValue(tag()); })); break;
        default: rule.insert(key(), any(1));
        }
        if (chance(30))
            rule.insert("action", oneOf<QString>({"sniff", "route", "reject"}));
        return rule;
    }

    QJsonValue dns()
    {
        QJsonObject dns{{maybe("strategy"), any(0)}, {maybe("final"), tag()}};
        if (chance(60)) {
            dns.insert("servers", list(3, [this] {
                           QJsonObject server{{"type", "udp"}, {"tag", tag()}};
                           if (chance(40))
                               server.insert("domain_resolver", chance(50)
                                                                    ? QJsonValue(tag())
                                                                    : QJsonValue(QJsonObject{{"server", tag()}}));
                           return QJsonValue(server);
                       }));
        }
        if (chance(40))
            dns.insert("rules", list(3, [this] {
                           return QJsonValue(QJsonObject{{"server", tag()}, {maybe("rule_set"), tag()}});
                       }));
        return dns;
    }

    QJsonValue route()
    {
        QJsonObject route;
        if (chance(30))
            route.insert("rule_set", list(2, [this] {
                             return QJsonValue(QJsonObject{{"type", "inline"}, {"tag", tag()}});
                         }));
        if (chance(60))
            route.insert("auto_detect_interface", chance(60) ? QJsonValue(true) : any(0));
        if (chance(50))
            route.insert("default_domain_resolver", any(1));
        if (chance(50))
            route.insert("final", chance(80) ? QJsonValue(tag()) : any(0));
        if (chance(80))
            route.insert("rules", chance(90) ? QJsonValue(list(6, [this] { return rule(); })) : any(1));
        return route;
    }

    QRandomGenerator m_random;
};

QString directTagIn(const QJsonObject &config)
{
    for (const QJsonValue &value : config.value("outbounds").toArray()) {
        const QJsonValue type = value.toObject().value("type");
        const QJsonValue tag = value.toObject().value("tag");
        if (type.isString() && type.toString().compare("direct", Qt::CaseInsensitive) == 0)
            return tag.isString() ? tag.toString() : QStringLiteral("direct");
    }
    return QStringLiteral("direct");
}

} // namespace

class TestBuilderProperty : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Thousands of generated templates, in both modes with AI on and off: no crash, the output is an object
    // with the client's inbounds and required rules and sorted keys, every name the rewrite writes exists in
    // it, and rewriting it again changes nothing.
    void rewriteIsTotalAndIdempotent_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 2u, 3u, 4u})
            QTest::addRow("seed %u", seed) << seed;
    }
    void rewriteIsTotalAndIdempotent()
    {
        QFETCH(quint32, seed);
        TemplateGenerator generator(seed);
        const int cases = 800;
        int unchanged = 0;
        QByteArray previous;
        OutboundMode mode = OutboundMode::smart;
        bool ai = false;
        int port = 19090;
        for (int n = 0; n < cases; ++n) {
            // Now and then an earlier output comes back (a reconnect), mostly with the same settings, so
            // complete templates are covered as well as broken ones.
            const bool reuse = !previous.isEmpty() && generator.chance(20);
            QByteArray input = QJsonDocument(reuse ? QJsonDocument::fromJson(previous).object() : generator.config())
                                   .toJson(generator.chance(50) ? QJsonDocument::Indented : QJsonDocument::Compact);
            if (generator.chance(50)) // escaped keys are stored differently from raw UTF-8 ones
                input.replace("\xef\xbd\x9a", "\\uff5a").replace("\xf0\x9f\x98\x80", "\\ud83d\\ude00");
            if (!reuse || generator.chance(30)) {
                mode = generator.chance(50) ? OutboundMode::smart : OutboundMode::enhanced;
                ai = generator.chance(50);
                port = 19090 + generator.pick(20);
            }
            const QString context =
                QStringLiteral("seed %1 case %2 %3 ai %4\n").arg(seed).arg(n).arg(rawValue(mode)).arg(ai) +
                QString::fromUtf8(input);

            const QByteArray output = macOSSystemProxyConfigData(input, mode, port, ai);
            const QJsonObject result = QJsonDocument::fromJson(output).object();
            QVERIFY2(!result.isEmpty(), qPrintable(context));
            unchanged += output == input;
            QVERIFY2(output == input || firstUnsortedKey(output).isEmpty(), qPrintable(context));
            const QByteArray again = macOSSystemProxyConfigData(output, mode, port, ai);
            QVERIFY2(again == output, qPrintable(context + "\n--- output\n" + output + "\n--- again\n" + again));
            previous = output;
            const QStringList dangling = introducedDanglingNames(QJsonDocument::fromJson(input).object(), result);
            QVERIFY2(dangling.isEmpty(), qPrintable(context + "\n--- names nothing:\n" + dangling.join(u'\n')));

            QVERIFY2(result.value("inbounds").toArray() == wantedInbounds(port, ai), qPrintable(context));
            const QJsonObject route = result.value("route").toObject();
            if (!result.value("route").isObject()) {
                QVERIFY2(mode == OutboundMode::smart, qPrintable(context));
                continue;
            }
            const QString directTag = directTagIn(result);
            const QJsonArray required =
                requiredProxyRules("tovren-system-proxy", ai ? std::optional<QString>("tovren-ai-proxy") : std::nullopt,
                                   proxyOutboundTag(result).value_or(directTag), directTag);
            const QJsonArray rules = route.value("rules").toArray();
            if (mode == OutboundMode::enhanced)
                QVERIFY2(rules == required, qPrintable(context));
            for (const QJsonValue &rule : required)
                QVERIFY2(rules.contains(rule), qPrintable(context));
            QVERIFY2(route.value("auto_detect_interface") == QJsonValue(true), qPrintable(context));
        }
        QVERIFY(unchanged > cases / 50); // the generator does produce complete templates
    }

    // Damaged bytes either are rewritten or fail with the typed error; nothing else escapes.
    void damagedTemplatesFailCleanly()
    {
        TemplateGenerator generator(99);
        int rejected = 0;
        for (int n = 0; n < 1500; ++n) {
            const QByteArray input = generator.damaged(QJsonDocument(generator.config()).toJson());
            try {
                QVERIFY(!macOSSystemProxyConfigData(input, OutboundMode::smart, 19090, true).isEmpty());
            } catch (const TemplateParseError &) {
                ++rejected;
            }
        }
        QVERIFY(rejected > 100);
    }
};

QTEST_GUILESS_MAIN(TestBuilderProperty)
#include "test_builder_property.moc"
