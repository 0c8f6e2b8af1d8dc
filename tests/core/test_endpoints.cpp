#include "TestHome.h"
#include "core/AppState.h"
#include "core/EndpointQuality.h"
#include "core/ProductPaths.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(Endpoint)
Q_DECLARE_METATYPE(EndpointQualityStats)

namespace {

constexpr double now = 1'700'000'000.0;

Endpoint endpoint(const QString &id, ProtocolKind protocol, int latency = 50, int load = 10,
                  NodeStatus status = NodeStatus::online, const QString &region = "东京", const QString &name = "Node")
{
    return Endpoint{id, region, name, std::nullopt, latency, load, status, {protocol}, protocol};
}

EndpointQualityStats history(qint64 ok, qint64 failed, qint64 consecutive = 0)
{
    EndpointQualityStats s;
    s.successfulConnections = ok;
    s.failedConnections = failed;
    s.consecutiveFailures = consecutive;
    return s;
}

EndpointQualityStats failedAgo(double seconds)
{
    EndpointQualityStats s;
    s.lastFailureAt = now - seconds;
    return s;
}

QStringList ids(const QList<Endpoint> &endpoints)
{
    QStringList result;
    for (const Endpoint &e : endpoints)
        result.append(e.id);
    return result;
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QuickConnectCacheRecord cacheRecord(const QString &endpointId)
{
    QuickConnectCacheRecord record;
    record.userId = "u1";
    record.deviceId = "dev-1";
    record.endpointId = endpointId;
    record.outboundMode = OutboundMode::enhanced;
    record.protocolConfiguration.endpointId = endpointId;
    record.protocolConfiguration.protocolKind = ProtocolKind::vless;
    record.protocolConfiguration.singBoxConfig =
        JSONValue(JSONValue::Object{{"outbounds", JSONValue(JSONValue::Array{JSONValue("uuid-secret")})}});
    record.protocolConfiguration.cacheKey = "k";
    record.protocolConfiguration.configRevision = 4;
    record.cachedAt = now;
    record.successfulAt = now;
    return record;
}

} // namespace

// Ranking of endpoints, the statistics that feed it and the quick-connect cache file.
class TestEndpoints : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void score_data()
    {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<bool>("forAI");
        QTest::addColumn<EndpointQualityStats>("stats");
        QTest::addColumn<double>("expected");

        const Endpoint wg = endpoint("wg", ProtocolKind::wireguard);
        const EndpointQualityStats none;
        QTest::newRow("plain worked example") << wg << false << none << 836.0;
        QTest::newRow("AI worked example") << wg << true << none << 1000 - 80 - 32 - 160 + 80 + 40.0;
        QTest::newRow("no latency counts 180, load capped at 100")
            << endpoint("e", ProtocolKind::wireguard, 0, 150) << false << none << 1000 - 216 - 240 - 160 + 80.0;
        QTest::newRow("negative load counts 0")
            << endpoint("e", ProtocolKind::unknown, 100, -20) << false << none << 1000 - 120 + 0 + 80.0;
        QTest::newRow("trojan AI") << endpoint("e", ProtocolKind::trojan, 100, 50) << true << none
                                   << 1000 - 160 - 160 + 180 + 80.0;
        QTest::newRow("shadowsocks checking") << endpoint("e", ProtocolKind::shadowsocks, 100, 0, NodeStatus::checking)
                                              << false << none << 1000 - 120 + 110 - 120.0;
        QTest::newRow("unknown AI") << endpoint("e", ProtocolKind::unknown, 100, 50) << true << none
                                    << 1000 - 160 - 160 - 60 + 80.0;
        QTest::newRow("AI stable name bonus")
            << endpoint("e", ProtocolKind::vless, 100, 50, NodeStatus::online, "新加坡", "SG Stable 01") << true << none
            << 1000 - 160 - 160 + 160 + 80 + 70.0;
        QTest::newRow("AI letters ai anywhere, light load")
            << endpoint("e", ProtocolKind::vless, 100, 35, NodeStatus::online, "Taipei", "TW 01") << true << none
            << 1000 - 160 - 112 + 160 + 80 + 70 + 40.0;
        QTest::newRow("AI premium, load 36 gets no light-load bonus")
            << endpoint("e", ProtocolKind::vless, 100, 36, NodeStatus::online, "香港", "HK PREMIUM") << true << none
            << 1000 - 160 - 115.2 + 160 + 80 + 70.0;
        QTest::newRow("plain mode has no name bonus")
            << endpoint("e", ProtocolKind::vless, 100, 0, NodeStatus::online, "Taipei", "Stable") << false << none
            << 1000 - 120 + 140 + 80.0;

        const double base = 836;
        QTest::newRow("successes capped at twelve") << wg << false << history(20, 0) << base + 144;
        QTest::newRow("failures capped at twelve") << wg << false << history(0, 30) << base - 336;
        QTest::newRow("consecutive failures plain") << wg << false << history(0, 2, 2) << base - 56 - 180;
        QTest::newRow("consecutive failures AI") << wg << true << history(0, 2, 2) << 848 - 56 - 260.0;
        EndpointQualityStats latency;
        latency.averageLatencyMs = 100;
        QTest::newRow("smoothed latency plain") << wg << false << latency << base - 30;
        QTest::newRow("smoothed latency AI") << wg << true << latency << 848 - 45.0;
        QTest::newRow("failure 299 s ago") << wg << false << failedAgo(299) << base - 240;
        QTest::newRow("failure 300 s ago") << wg << false << failedAgo(300) << base - 140;
        QTest::newRow("failure 1800 s ago") << wg << false << failedAgo(1800) << base - 60;
        QTest::newRow("failure 7200 s ago") << wg << false << failedAgo(7200) << base;
        QTest::newRow("failure 299 s ago AI") << wg << true << failedAgo(299) << 848 - 360.0;
        QTest::newRow("failure 300 s ago AI") << wg << true << failedAgo(300) << 848 - 220.0;
        QTest::newRow("failure 1800 s ago AI") << wg << true << failedAgo(1800) << 848 - 100.0;
        EndpointQualityStats recent;
        recent.lastSuccessAt = now - 3599;
        QTest::newRow("success within the hour") << wg << false << recent << base + 60;
        recent.lastSuccessAt = now - 3600;
        QTest::newRow("success an hour ago") << wg << false << recent << base;
    }
    void score()
    {
        QFETCH(Endpoint, endpoint);
        QFETCH(bool, forAI);
        QFETCH(EndpointQualityStats, stats);
        QFETCH(double, expected);
        QCOMPARE(EndpointQuality::score(endpoint, forAI, &stats, now), expected);
    }

    void sortingBreaksTiesByLatencyThenKeepsOrder()
    {
        // 50 ms at 10 % and 40 ms at 15 % score the same; the faster one goes first.
        const Endpoint slow = endpoint("slow", ProtocolKind::vless, 50, 10);
        const Endpoint fast = endpoint("fast", ProtocolKind::vless, 40, 15);
        QCOMPARE(EndpointQuality::score(slow, false, nullptr, now), EndpointQuality::score(fast, false, nullptr, now));
        QCOMPARE(ids(EndpointQuality::sorted({slow, fast}, false, {}, now)), (QStringList{"fast", "slow"}));

        const QList<Endpoint> equal{endpoint("c", ProtocolKind::trojan), endpoint("a", ProtocolKind::trojan),
                                    endpoint("b", ProtocolKind::trojan)};
        QCOMPARE(ids(EndpointQuality::sorted(equal, false, {}, now)), (QStringList{"c", "a", "b"}));

        // History reorders: two recent failures sink the best catalogue figures.
        const EndpointQualityStatsMap stats{{"a", EndpointQuality::afterFailure(history(0, 1, 1), now)}};
        QCOMPARE(ids(EndpointQuality::sorted(equal, false, stats, now)), (QStringList{"c", "b", "a"}));
    }

    void candidates_data()
    {
        QTest::addColumn<QList<Endpoint>>("catalogue");
        QTest::addColumn<Endpoint>("start");
        QTest::addColumn<QStringList>("excluding");
        QTest::addColumn<bool>("ai");
        QTest::addColumn<QStringList>("expected");

        const Endpoint best = endpoint("best", ProtocolKind::trojan, 20, 5);
        const Endpoint good = endpoint("good", ProtocolKind::vless, 60, 20);
        const Endpoint slowTrojan = endpoint("slow-trojan", ProtocolKind::trojan, 400, 80);
        const Endpoint offlineTrojan = endpoint("off-trojan", ProtocolKind::trojan, 10, 0, NodeStatus::offline);
        const Endpoint wg = endpoint("wg", ProtocolKind::wireguard, 10, 0);
        const Endpoint hy = endpoint("hy", ProtocolKind::hysteria2, 300, 50);
        const QList<Endpoint> catalogue{good, slowTrojan, best, offlineTrojan, wg, hy};

        QTest::newRow("selected offline trojan still leads")
            << catalogue << offlineTrojan << QStringList() << false << QStringList{"off-trojan", "best", "good", "wg"};
        QTest::newRow("selected slow trojan leads, not repeated")
            << catalogue << slowTrojan << QStringList() << false << QStringList{"slow-trojan", "best", "good", "wg"};
        QTest::newRow("selected wireguard placed by score")
            << catalogue << wg << QStringList() << false << QStringList{"best", "good", "wg", "hy"};
        QTest::newRow("selected hysteria2 placed by score")
            << catalogue << hy << QStringList() << false << QStringList{"best", "good", "wg", "hy"};
        QTest::newRow("AI mode ignores the selection")
            << catalogue << slowTrojan << QStringList() << true << QStringList{"best", "good", "wg", "hy"};
        QTest::newRow("excluded selection does not lead")
            << catalogue << slowTrojan << QStringList{"slow-trojan", "best"} << false
            << QStringList{"good", "wg", "hy"};
        QTest::newRow("six available give four")
            << QList<Endpoint>{endpoint("1", ProtocolKind::vless), endpoint("2", ProtocolKind::vless),
                               endpoint("3", ProtocolKind::vless), endpoint("4", ProtocolKind::vless),
                               endpoint("5", ProtocolKind::vless), endpoint("6", ProtocolKind::vless)}
            << endpoint("9", ProtocolKind::vless, 50, 10, NodeStatus::offline) << QStringList() << false
            << QStringList{"9", "1", "2", "3"};
        QTest::newRow("all offline and a wireguard start give none")
            << QList<Endpoint>{endpoint("x", ProtocolKind::wireguard, 10, 0, NodeStatus::offline), offlineTrojan} << wg
            << QStringList() << false << QStringList();
    }
    void candidates()
    {
        QFETCH(QList<Endpoint>, catalogue);
        QFETCH(Endpoint, start);
        QFETCH(QStringList, excluding);
        QFETCH(bool, ai);
        QFETCH(QStringList, expected);
        const QSet<QString> excluded(excluding.begin(), excluding.end());
        QCOMPARE(ids(EndpointQuality::candidates(catalogue, start, excluded, ai, {}, now)), expected);
    }

    void statisticsUpdates()
    {
        EndpointQualityStats s = EndpointQuality::afterFailure({}, now - 10);
        QCOMPARE(s.failedConnections, 1);
        QCOMPARE(s.consecutiveFailures, 1);
        QCOMPARE(s.lastFailureAt, std::optional<double>(now - 10));
        QCOMPARE(s.lastSuccessAt, std::nullopt);

        s = EndpointQuality::afterSuccess(s, 100, now - 5);
        s = EndpointQuality::afterSuccess(s, 200, now);
        QCOMPARE(s.successfulConnections, 2);
        QCOMPARE(s.failedConnections, 1);
        QCOMPARE(s.consecutiveFailures, 0);
        QCOMPARE(s.lastFailureAt, std::optional<double>(now - 10));
        QCOMPARE(s.lastSuccessAt, std::optional<double>(now));
        QCOMPARE(s.averageLatencyMs, std::optional<double>(130));

        // A latency the control plane did not measure leaves the average alone.
        QCOMPARE(EndpointQuality::afterSuccess(s, 0, now).averageLatencyMs, std::optional<double>(130));
        QCOMPARE(EndpointQuality::afterSuccess({}, 0, now).averageLatencyMs, std::nullopt);

        // Counters from a tampered store saturate instead of overflowing.
        const qint64 max = std::numeric_limits<qint64>::max();
        QCOMPARE(EndpointQuality::afterFailure(history(0, max, max), now).failedConnections, max);
    }

    void appStateChoosesFromItsCatalogue()
    {
        TestHome home;
        AppState state;
        QCOMPARE(state.selectedEndpoint(), placeholderEndpoints().first());
        state.setEndpoints({});
        QCOMPARE(state.selectedEndpoint(), placeholderEndpoints().first());

        const Endpoint light = endpoint("light", ProtocolKind::vless, 100, 20, NodeStatus::online, "香港", "HK 01");
        const Endpoint stable =
            endpoint("stable", ProtocolKind::vless, 100, 30, NodeStatus::online, "新加坡", "Stable");
        const Endpoint offline = endpoint("off", ProtocolKind::trojan, 1, 0, NodeStatus::offline);
        state.setEndpoints({offline, light, stable});
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("off"));
        state.setSelectedEndpointId(QStringLiteral("stable"));
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("stable"));
        state.setSelectedEndpointId(QStringLiteral("gone"));
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("off"));

        // Plain ranking prefers the lighter load; AI ranking the stable name.
        QCOMPARE(state.recommendedEndpoint(state.endpoints())->id, QStringLiteral("light"));
        state.setAiEnhancedModeEnabledValue(true);
        QCOMPARE(state.recommendedEndpoint(state.endpoints())->id, QStringLiteral("stable"));
        QCOMPARE(ids(state.connectionCandidates(offline, {})), (QStringList{"stable", "light"}));
        QCOMPARE(state.recommendedEndpoint({offline}), std::nullopt);
        QCOMPARE(AppState::maxConnectionCandidates, 4);
    }

    void statisticsPersistAcrossRuns()
    {
        TestHome home;
        const Endpoint hk = placeholderEndpoints().first();
        {
            AppState state;
            const double before = state.endpointQualityScore(hk, false);
            state.recordEndpointFailure(hk, "超时");
            // Failure cost 28, one in a row 90, a failure just now 240.
            QCOMPARE(state.endpointQualityScore(hk, false), before - 28 - 90 - 240);
            state.recordEndpointSuccess(hk);
            state.recordEndpointSuccess(hk);
        }
        AppState state;
        const EndpointQualityStats s = state.endpointQualityStats().value(hk.id);
        QCOMPARE(s.successfulConnections, 2);
        QCOMPARE(s.failedConnections, 1);
        QCOMPARE(s.consecutiveFailures, 0);
        QCOMPARE(s.averageLatencyMs, std::optional<double>(hk.latencyMs));
        QVERIFY(s.lastSuccessAt && *s.lastSuccessAt >= QDateTime::currentSecsSinceEpoch() - 60);
        const auto stored = state.preferences().dataValue(AppState::endpointQualityStatsKey);
        QVERIFY(stored);
        QCOMPARE(decodeQualityStatsMap(*stored), state.endpointQualityStats());
    }

    void unreadableStatisticsStartEmpty_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("not JSON") << QByteArray("\x01garbage");
        QTest::newRow("record missing a counter") << QByteArray(R"({"hk-01":{"successfulConnections":1}})");
        QTest::newRow("counter with a fraction")
            << QByteArray(R"({"hk-01":{"successfulConnections":1.5,"failedConnections":0,"consecutiveFailures":0}})");
        QTest::newRow("a list") << QByteArray("[]");
    }
    void unreadableStatisticsStartEmpty()
    {
        QFETCH(QByteArray, data);
        TestHome home;
        {
            Preferences prefs;
            prefs.setData(AppState::endpointQualityStatsKey, data);
        }
        AppState state;
        QVERIFY(state.endpointQualityStats().isEmpty());
    }

    void quickConnectCacheRoundTripsOwnerOnly()
    {
        TestHome home;
        const mode_t oldMask = ::umask(0);
        const QuickConnectCacheRecord record = cacheRecord("hk-01");
        QString path;
        {
            AppState state;
            QCOMPARE(state.quickConnectCache(), std::nullopt);
            state.saveQuickConnectCache(record);
            QCOMPARE(state.quickConnectCache(), std::optional<QuickConnectCacheRecord>(record));
            path = *state.quickConnectCacheURL(false);
        }
        ::umask(oldMask);
        QCOMPARE(path, ProductPaths::cacheDirectory() + "/quick-connect-cache.json");
        QCOMPARE(modeOf(path), mode_t(0600));
        QCOMPARE(modeOf(ProductPaths::cacheDirectory()), mode_t(0700));

        AppState state;
        QCOMPARE(state.quickConnectCache(), std::optional<QuickConnectCacheRecord>(record));

        // A newer record replaces the file and stays owner-only.
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        state.saveQuickConnectCache(cacheRecord("sg-01"));
        QCOMPARE(modeOf(path), mode_t(0600));
        QCOMPARE(QDir(ProductPaths::cacheDirectory()).entryList(QDir::Files | QDir::Hidden).size(), 1);

        state.clearQuickConnectCache();
        QCOMPARE(state.quickConnectCache(), std::nullopt);
        QVERIFY(!QFile::exists(path));
        state.clearQuickConnectCache(); // nothing left to delete: no harm
    }

    void cacheFileNamesEveryField()
    {
        QuickConnectCacheRecord record = cacheRecord("hk-01");
        QJsonObject json = record.toJson();
        QCOMPARE(json.keys(), (QStringList{"cachedAt", "deviceId", "endpointId", "outboundMode",
                                           "protocolConfiguration", "successfulAt", "userId"}));
        QCOMPARE(json.value("outboundMode"), QJsonValue("enhanced"));
        record.userId.reset();
        QVERIFY(!record.toJson().contains("userId"));
        QCOMPARE(decodeAnswer<QuickConnectCacheRecord>(jsonBytes(record.toJson())), record);
    }

    void failedCacheWriteIsLoggedAndKeepsTheOldRecord()
    {
        TestHome home;
        AppState state;
        const QuickConnectCacheRecord first = cacheRecord("hk-01");
        state.saveQuickConnectCache(first);
        // A folder where the file should be: the final rename fails.
        const QString path = *state.quickConnectCacheURL(false);
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path + "/occupied"));
        state.saveQuickConnectCache(cacheRecord("sg-01"));
        QCOMPARE(state.quickConnectCache(), std::optional<QuickConnectCacheRecord>(first));
        QVERIFY2(state.logs().first().message.startsWith(QStringLiteral("快速连接缓存写入失败：")),
                 qPrintable(state.logs().first().message));
        QVERIFY(QFileInfo(path).isDir());
    }

    void damagedCacheFileLeavesNoCache_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("cut short") << jsonBytes(cacheRecord("hk").toJson()).left(40);
        QJsonObject misspelt = cacheRecord("hk").toJson();
        misspelt.insert("outboundMode", "Enhanced");
        QTest::newRow("unknown outbound mode") << jsonBytes(misspelt);
        QJsonObject noDevice = cacheRecord("hk").toJson();
        noDevice.remove("deviceId");
        QTest::newRow("no device") << jsonBytes(noDevice);
    }
    void damagedCacheFileLeavesNoCache()
    {
        QFETCH(QByteArray, contents);
        TestHome home;
        QVERIFY(ProductPaths::writePrivateFileAtomically(ProductPaths::cacheDirectory() + "/quick-connect-cache.json",
                                                         contents));
        AppState state;
        QCOMPARE(state.quickConnectCache(), std::nullopt);
        QCOMPARE(state.logs().size(), 1); // nothing reported
    }

    void currentUserIsPublished()
    {
        TestHome home;
        AppState state;
        QSignalSpy spy(&state, &AppState::changed);
        APIUser user;
        user.id = "u1";
        state.setCurrentUser(user);
        state.setCurrentUser(user);
        QCOMPARE(spy.count(), 1);
        state.setCurrentUser(std::nullopt);
        QCOMPARE(spy.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestEndpoints)
#include "test_endpoints.moc"
