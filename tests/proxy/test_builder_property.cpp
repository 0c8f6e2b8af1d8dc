#include "JsonKeyOrder.h"
#include "TestHome.h"
#include "tunnel/SingBoxConfigBuilder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

using namespace SingBoxConfigBuilder;

namespace {

// Builds random templates: mostly the shapes the rewrite looks at (inbounds, outbounds, dns, route and
// its rules), with wrong types, stray elements, the client's own tags and unrelated data mixed in.
class TemplateGenerator final
{
public:
    explicit TemplateGenerator(quint32 seed) : m_random(seed) {}

    QJsonObject config()
    {
        QJsonObject config;
        if (chance(70))
            config.insert("outbounds", chance(85) ? outbounds() : anyValue(1));
        if (chance(60))
            config.insert("route", chance(85) ? route() : anyValue(1));
        if (chance(50))
            config.insert("dns", chance(80) ? dns() : anyValue(1));
        if (chance(50))
            config.insert("inbounds", inbounds());
        for (int i = pick(3); i > 0; --i)
            config.insert(key(), anyValue(3));
        return config;
    }

    bool chance(int percent) { return int(m_random.bounded(100)) < percent; }
    int pick(int count) { return int(m_random.bounded(count)); }
    QRandomGenerator &random() { return m_random; }

private:
    template<typename T> T oneOf(std::initializer_list<T> values)
    {
        return *(values.begin() + pick(int(values.size())));
    }

    QString tag()
    {
        return oneOf<QString>({"proxy", "direct", "direct-1", "direct-2", "block", "proxy-1", "tovren-system-proxy",
                               "tovren-ai-proxy", "select", "节点", ""});
    }

    QString key()
    {
        return oneOf<QString>({"log", "experimental", "ntp", "tag", "type", "a", "Z", "é", "ｚ", "😀", "rules", "final",
                               "server", "inbound", "outbound", "__proto__", "k" + QString::number(pick(50))});
    }

    QJsonValue scalar()
    {
        switch (pick(9)) {
        case 0: return QJsonValue::Null;
        case 1: return chance(50);
        case 2: return int(m_random.bounded(-100000, 100000));
        case 3: return m_random.generateDouble() * 1e6 - 5e5;
        case 4: return qint64(m_random.generate64() >> 12);
        case 5: return tag();
        case 6: return key();
        case 7: return QStringLiteral("line\nbreak \"quoted\" \\ \t \u2028 \u0001");
        default: return QString::number(m_random.generate(), 16);
        }
    }

    QJsonValue anyValue(int depth)
    {
        if (depth <= 0 || chance(45))
            return scalar();
        if (chance(50)) {
            QJsonArray array;
            for (int i = pick(4); i > 0; --i)
                array.append(anyValue(depth - 1));
            return array;
        }
        QJsonObject object;
        for (int i = pick(4); i > 0; --i)
            object.insert(key(), anyValue(depth - 1));
        return object;
    }

    QJsonValue outbounds()
    {
        QJsonArray list;
        for (int i = pick(5); i > 0; --i) {
            if (chance(10)) {
                list.append(anyValue(1));
                continue;
            }
            QJsonObject outbound;
            if (chance(90))
                outbound.insert("type", chance(90) ? QJsonValue(oneOf<QString>({"vless", "trojan", "direct", "DIRECT",
                                                                                "block", "selector", "hysteria2"}))
                                                   : scalar());
            if (chance(80))
                outbound.insert("tag", chance(90) ? QJsonValue(tag()) : scalar());
            if (chance(40))
                outbound.insert("server", "203.0.113." + QString::number(pick(255)));
            list.append(outbound);
        }
        return list;
    }

    QJsonValue inboundName()
    {
        return chance(85) ? QJsonValue(oneOf<QString>({"tovren-system-proxy", "tovren-ai-proxy", "tun-in", "mixed-in"}))
                          : scalar();
    }

    QJsonValue rule()
    {
        if (chance(8))
            return anyValue(1);
        if (chance(15)) {
            // A copy of one of the client's own rules, as an earlier rewrite would have left it.
            const QJsonArray required =
                requiredProxyRules("tovren-system-proxy",
                                   chance(50) ? std::optional<QString>("tovren-ai-proxy") : std::nullopt, tag(), tag());
            return required.at(pick(int(required.size())));
        }
        QJsonObject rule;
        switch (pick(4)) {
        case 0: break;
        case 1: rule.insert("inbound", inboundName()); break;
        case 2: {
            QJsonArray names;
            for (int i = pick(3); i > 0; --i)
                names.append(inboundName());
            rule.insert("inbound", names);
            break;
        }
        default: rule.insert("inbound", anyValue(1));
        }
        if (chance(60))
            rule.insert("outbound", tag());
        if (chance(30))
            rule.insert("action", oneOf<QString>({"sniff", "route", "reject", "hijack-dns"}));
        if (chance(40))
            rule.insert(oneOf<QString>({"domain_suffix", "ip_cidr", "rule_set", "protocol"}), anyValue(2));
        return rule;
    }

    QJsonValue route()
    {
        QJsonObject route;
        if (chance(60))
            route.insert("auto_detect_interface", chance(60) ? QJsonValue(true) : scalar());
        if (chance(50))
            route.insert("default_domain_resolver",
                         chance(50) ? QJsonValue(QJsonObject{{"server", "bootstrap"}}) : scalar());
        if (chance(50))
            route.insert("final", chance(80) ? QJsonValue(tag()) : scalar());
        if (chance(80)) {
            if (chance(90)) {
                QJsonArray rules;
                for (int i = pick(6); i > 0; --i)
                    rules.append(rule());
                route.insert("rules", rules);
            } else {
                route.insert("rules", anyValue(1));
            }
        }
        if (chance(30))
            route.insert("rule_set", anyValue(2));
        return route;
    }

    QJsonValue dns()
    {
        QJsonObject dns;
        if (chance(50))
            dns.insert("strategy", chance(70) ? QJsonValue("prefer_ipv4") : scalar());
        if (chance(50))
            dns.insert("final", chance(70) ? QJsonValue(tag()) : scalar());
        if (chance(50))
            dns.insert("servers", anyValue(2));
        return dns;
    }

    QJsonValue inbounds()
    {
        if (chance(25))
            return wantedInbounds(19090, chance(50));
        if (chance(20))
            return anyValue(1);
        QJsonArray list;
        for (int i = pick(3); i > 0; --i)
            list.append(QJsonObject{{"type", oneOf<QString>({"tun", "mixed", "socks"})}, {"tag", inboundName()}});
        return list;
    }

    QRandomGenerator m_random;
};

QByteArray serialized(const QJsonObject &config, bool indented)
{
    return QJsonDocument(config).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
}

// The direct tag a correct rewrite routes domestic traffic to, read back from its output.
QString directTagIn(const QJsonObject &config)
{
    for (const QJsonValue &value : config.value("outbounds").toArray()) {
        const QJsonObject outbound = value.toObject();
        if (outbound.value("type").toString().compare("direct", Qt::CaseInsensitive) == 0 &&
            outbound.value("type").isString())
            return outbound.value("tag").isString() ? outbound.value("tag").toString() : QStringLiteral("direct");
    }
    return QStringLiteral("direct");
}

} // namespace

class TestBuilderProperty : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // For thousands of generated templates, in both modes with AI on and off: no crash, the output is a
    // JSON object with the client's inbounds and required rules, its keys are sorted, and rewriting the
    // output once more returns it unchanged.
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
        int unchangedOutputs = 0;
        QByteArray previousOutput;
        OutboundMode mode = OutboundMode::smart;
        bool ai = false;
        int port = 19090;
        for (int n = 0; n < cases; ++n) {
            // Now and then the template is an earlier output, so that complete templates (which must come
            // back untouched) are covered as well as broken ones.
            const bool reuse = !previousOutput.isEmpty() && generator.chance(20);
            const QJsonObject config = reuse ? QJsonDocument::fromJson(previousOutput).object() : generator.config();
            QByteArray input = serialized(config, generator.chance(50));
            // Keys and strings arrive escaped as well as in raw UTF-8; Qt stores the two differently.
            if (generator.chance(50))
                input.replace("\xef\xbd\x9a", "\\uff5a").replace("\xf0\x9f\x98\x80", "\\ud83d\\ude00");
            // A reused output mostly keeps its settings (a reconnect); otherwise they change under it.
            if (!reuse || generator.chance(30)) {
                mode = generator.chance(50) ? OutboundMode::smart : OutboundMode::enhanced;
                ai = generator.chance(50);
                port = 19090 + generator.pick(20);
            }
            const QString context = QStringLiteral("seed %1 case %2 mode %3 ai %4\n%5")
                                        .arg(seed)
                                        .arg(n)
                                        .arg(rawValue(mode))
                                        .arg(ai)
                                        .arg(QString::fromUtf8(input));

            const QByteArray output = macOSSystemProxyConfigData(input, mode, port, ai);
            const QJsonDocument document = QJsonDocument::fromJson(output);
            QVERIFY2(document.isObject(), qPrintable(context));
            if (output == input)
                ++unchangedOutputs;
            else
                QVERIFY2(firstUnsortedKey(output).isEmpty(), qPrintable(context));

            const QByteArray again = macOSSystemProxyConfigData(output, mode, port, ai);
            QVERIFY2(again == output, qPrintable(context + "\n--- first output\n" + QString::fromUtf8(output) +
                                                 "\n--- second output\n" + QString::fromUtf8(again)));

            previousOutput = output;
            const QJsonObject result = document.object();
            QVERIFY2(result.value("inbounds").toArray() == wantedInbounds(port, ai), qPrintable(context));
            const QJsonValue route = result.value("route");
            if (!route.isObject()) {
                QVERIFY2(mode == OutboundMode::smart && config.contains("route"), qPrintable(context));
                continue;
            }
            const QString directTag = directTagIn(result);
            const QString finalTag = proxyOutboundTag(result).value_or(directTag);
            const QJsonArray required =
                requiredProxyRules("tovren-system-proxy", ai ? std::optional<QString>("tovren-ai-proxy") : std::nullopt,
                                   finalTag, directTag);
            const QJsonArray rules = route.toObject().value("rules").toArray();
            if (mode == OutboundMode::enhanced) {
                QVERIFY2(rules == required, qPrintable(context));
                QVERIFY2(route.toObject().value("final").toString() == finalTag, qPrintable(context));
            } else {
                for (const QJsonValue &rule : required)
                    QVERIFY2(rules.contains(rule), qPrintable(context));
                QVERIFY2(route.toObject().value("auto_detect_interface") == QJsonValue(true), qPrintable(context));
            }
        }
        // The generator must also produce templates that already hold everything.
        QVERIFY(unchangedOutputs > cases / 50);
    }

    // Damaged bytes either parse or fail with the typed error; nothing else escapes.
    void damagedTemplatesFailCleanly()
    {
        TemplateGenerator generator(99);
        int rejected = 0;
        for (int n = 0; n < 1500; ++n) {
            QByteArray input = serialized(generator.config(), generator.chance(50));
            for (int flips = 1 + generator.pick(3); flips > 0 && !input.isEmpty(); --flips) {
                const int at = generator.pick(int(input.size()));
                switch (generator.pick(3)) {
                case 0: input[at] = char(generator.random().bounded(256)); break;
                case 1: input.remove(at, 1 + generator.pick(8)); break;
                default: input.truncate(at);
                }
            }
            try {
                const QByteArray output = macOSSystemProxyConfigData(input, OutboundMode::smart, 19090, true);
                QVERIFY(!output.isEmpty() || input.isEmpty());
            } catch (const TemplateParseError &) {
                ++rejected;
            }
        }
        QVERIFY(rejected > 0);
    }
};

QTEST_GUILESS_MAIN(TestBuilderProperty)
#include "test_builder_property.moc"
