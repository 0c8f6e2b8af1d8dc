// The client's core: endpoint ranking and its statistics, stored settings and files, the quick-connect cache,
// speed sampling and start-up.
#include "base/ProductPaths.h"
#include "runtime/NetworkSpeedSampler.h"
#include "state/AppState.h"
#include "state/EndpointQuality.h"
#include "testkit/TestHome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr double now = 1'700'000'000.0;

Endpoint endpoint(const QString &id, ProtocolKind protocol, int latency = 50, int load = 10,
                  NodeStatus status = NodeStatus::online, const QString &name = "Node")
{
    return Endpoint{id, "东京", name, std::nullopt, latency, load, status, {protocol}, protocol};
}

// History with its times given as seconds ago.
EndpointQualityStats history(qint64 ok, qint64 failed = 0, qint64 inARow = 0, std::optional<double> successAgo = {},
                             std::optional<double> failureAgo = {}, std::optional<double> latency = {})
{
    const auto at = [](std::optional<double> ago) { return ago ? std::optional<double>(now - *ago) : std::nullopt; };
    return {ok, failed, inARow, at(successAgo), at(failureAgo), latency};
}

QStringList ids(const QList<Endpoint> &endpoints)
{
    QStringList result;
    for (const Endpoint &e : endpoints)
        result.append(e.id);
    return result;
}

// A record as an earlier run stored it.
QuickConnectCacheRecord cacheRecord(const QString &endpointId)
{
    return decodeAnswer<QuickConnectCacheRecord>(
        QStringLiteral(R"({"userId":"u1","deviceId":"dev-1","endpointId":"%1","outboundMode":"enhanced",
            "cachedAt":1700000000,"successfulAt":1700000000.5,"protocolConfiguration":{"endpointId":"%1",
            "protocolKind":"vless","cacheKey":"k","configRevision":4,"singBoxConfig":{"outbounds":["uuid-secret"]}}})")
            .arg(endpointId)
            .toUtf8());
}

QString cacheFile()
{
    return ProductPaths::cacheDirectory() + "/quick-connect-cache.json";
}

InterfaceCounters link(const QString &name, quint32 rx, quint32 tx, bool up = true, bool loopback = false)
{
    return InterfaceCounters{name, up, loopback, true, true, true, rx, tx};
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // ---- Endpoint ranking.
    void rankingComparesEndpointsAndHistory()
    {
        // The sign of a's score minus b's.
        const auto order = [](const Endpoint &a, const Endpoint &b, bool ai, const EndpointQualityStats &as = {},
                              const EndpointQualityStats &bs = {}) {
            const double d = EndpointQuality::score(a, ai, &as, now) - EndpointQuality::score(b, ai, &bs, now);
            return (d > 0) - (d < 0);
        };
        const auto vless = [](int ms, int load = 10, const QString &name = "Node") {
            return endpoint("e", ProtocolKind::vless, ms, load, NodeStatus::online, name);
        };
        const Endpoint wg = endpoint("wg", ProtocolKind::wireguard);
        // The worked examples: a 50 ms WireGuard endpoint at 10 % load.
        QCOMPARE(EndpointQuality::score(wg, false, nullptr, now), 836.0);
        QCOMPARE(EndpointQuality::score(wg, true, nullptr, now), 848.0);
        QCOMPARE(order(vless(0), vless(180), false), 0); // no latency counts as 180 ms
        QCOMPARE(order(vless(50, 150), vless(50, 100), true), 0);
        QCOMPARE(order(vless(50, -20), vless(50, 0), false), 0);
        QCOMPARE(order(wg, wg, false, history(12), history(11)), 1); // successes and failures count up to twelve
        QCOMPARE(order(wg, wg, false, history(20), history(12)), 0);
        QCOMPARE(order(wg, wg, false, history(0, 30), history(0, 12)), 0);
        QCOMPARE(order(wg, wg, true, history(0, 2, 2), history(0, 2)), -1);
        QCOMPARE(order(wg, wg, false, history(0, 0, 0, {}, {}, 100)), -1);
        for (const bool ai : {false, true}) { // a failure costs less as it ages, nothing after two hours
            QCOMPARE(order(wg, wg, ai, history(0, 0, 0, {}, 299), history(0, 0, 0, {}, 300)), -1);
            QCOMPARE(order(wg, wg, ai, history(0, 0, 0, {}, 1799), history(0, 0, 0, {}, 1800)), -1);
            QCOMPARE(order(wg, wg, ai, history(0, 0, 0, {}, 7199)), -1);
            QCOMPARE(order(wg, wg, ai, history(0, 0, 0, {}, 7200)), 0);
        }
        QCOMPARE(order(wg, wg, false, history(0, 0, 0, 3599)), 1); // a success counts for an hour
        QCOMPARE(order(wg, wg, false, history(0, 0, 0, 3600)), 0);
        // AI favours stable, premium or "ai" names, and a load under 36 % (worth more than 20 ms).
        QCOMPARE(order(vless(100, 50, "SG Stable 01"), vless(100, 50), true), 1);
        QCOMPARE(order(vless(100, 50, "Taipei"), vless(100, 50), true), 1);
        QCOMPARE(order(vless(100, 50, "SG Stable 01"), vless(100, 50), false), 0);
        QCOMPARE(order(vless(120, 35), vless(100, 36), true), 1);
        QCOMPARE(order(vless(120, 36), vless(100, 37), true), -1);
        QCOMPARE(order(vless(50), endpoint("c", ProtocolKind::vless, 50, 10, NodeStatus::checking), false), 1);

        // Equal scores: the faster first (50 ms at 10 % and 40 ms at 15 % tie), then the catalogue's order.
        const Endpoint fast = endpoint("fast", ProtocolKind::vless, 40, 15);
        QCOMPARE(ids(EndpointQuality::sorted({vless(50, 10), fast}, false, {}, now)), (QStringList{"fast", "e"}));
        const QList<Endpoint> equal{endpoint("c", ProtocolKind::trojan), endpoint("a", ProtocolKind::trojan),
                                    endpoint("b", ProtocolKind::trojan)};
        QCOMPARE(ids(EndpointQuality::sorted(equal, false, {}, now)), (QStringList{"c", "a", "b"}));
        const EndpointQualityStatsMap failed{{"a", EndpointQuality::afterFailure(history(0, 1, 1), now)}};
        QCOMPARE(ids(EndpointQuality::sorted(equal, false, failed, now)), (QStringList{"c", "b", "a"}));
    }

    void candidatesLeadWithTheChoiceAndStopAtFour()
    {
        const Endpoint slowTrojan = endpoint("slow-trojan", ProtocolKind::trojan, 400, 80);
        const Endpoint offTrojan = endpoint("off-trojan", ProtocolKind::trojan, 10, 0, NodeStatus::offline);
        const Endpoint wg = endpoint("wg", ProtocolKind::wireguard, 10, 0);
        const Endpoint hy = endpoint("hy", ProtocolKind::hysteria2, 300, 50);
        const Endpoint good = endpoint("good", ProtocolKind::vless, 60, 20);
        const Endpoint best = endpoint("best", ProtocolKind::trojan, 20, 5);
        const QList<Endpoint> catalogue{good, slowTrojan, best, offTrojan, wg, hy};
        const auto candidates = [&](const Endpoint &start, bool ai, const QSet<QString> &excluding = {}) {
            return ids(EndpointQuality::candidates(catalogue, start, excluding, ai, {}, now));
        };
        const QStringList ranked{"best", "good", "wg", "hy"};
        QCOMPARE(candidates(offTrojan, false), (QStringList{"off-trojan", "best", "good", "wg"})); // even offline
        QCOMPARE(candidates(slowTrojan, false), (QStringList{"slow-trojan", "best", "good", "wg"}));
        QCOMPARE(candidates(wg, false), ranked); // WireGuard and Hysteria2 go where their scores put them
        QCOMPARE(candidates(hy, false), ranked);
        QCOMPARE(candidates(slowTrojan, true), ranked); // AI mode ranks by its own weighting
        QCOMPARE(candidates(slowTrojan, false, {"slow-trojan", "best"}), (QStringList{"good", "wg", "hy"}));
        const QList<Endpoint> offline{endpoint("x", ProtocolKind::wireguard, 10, 0, NodeStatus::offline)};
        QVERIFY(EndpointQuality::candidates(offline, offline.first(), {}, false, {}, now).isEmpty());
    }

    void statisticsUpdates()
    {
        EndpointQualityStats s = EndpointQuality::afterFailure({}, now - 10);
        QVERIFY(s.failedConnections == 1 && s.consecutiveFailures == 1 && !s.lastSuccessAt &&
                s.lastFailureAt == now - 10);
        s = EndpointQuality::afterSuccess(EndpointQuality::afterSuccess(s, 100, now - 5), 200, now);
        QVERIFY(s.successfulConnections == 2 && s.failedConnections == 1 && s.consecutiveFailures == 0);
        QVERIFY(s.lastFailureAt == now - 10 && s.lastSuccessAt == now && s.averageLatencyMs == 130);
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
        const auto model = std::make_shared<StateModel>();
        AppState state({.model = model});
        model->setEndpoints({});
        QCOMPARE(state.selectedEndpoint(), placeholderEndpoints().first());
        const Endpoint light = endpoint("light", ProtocolKind::vless, 100, 20, NodeStatus::online, "HK 01");
        const Endpoint stable = endpoint("stable", ProtocolKind::vless, 100, 30, NodeStatus::online, "Stable");
        const Endpoint offline = endpoint("off", ProtocolKind::trojan, 1, 0, NodeStatus::offline);
        model->setEndpoints({offline, light, stable});
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("off"));
        model->setSelectedEndpointId(QStringLiteral("stable"));
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("stable"));
        model->setSelectedEndpointId(QStringLiteral("gone"));
        QCOMPARE(state.selectedEndpoint().id, QStringLiteral("off"));
        // Plain ranking prefers the lighter load; AI ranking the stable name.
        QCOMPARE(state.ranking().recommendedEndpoint(state.endpoints())->id, QStringLiteral("light"));
        model->setAiEnhancedModeEnabled(true);
        QCOMPARE(state.ranking().recommendedEndpoint(state.endpoints())->id, QStringLiteral("stable"));
        QCOMPARE(ids(state.ranking().connectionCandidates(offline, {})), (QStringList{"stable", "light"}));
        QCOMPARE(state.ranking().recommendedEndpoint({offline}), std::nullopt);
    }

    // ---- What is stored, read back after a restart, and what a damaged store turns into.
    void statisticsPersistAcrossRuns()
    {
        TestHome home;
        const Endpoint hk = placeholderEndpoints().first();
        {
            AppState state;
            const double before = state.ranking().endpointQualityScore(hk, false);
            state.ranking().recordEndpointFailure(hk, "超时");
            QVERIFY(state.ranking().endpointQualityScore(hk, false) < before);
            state.ranking().recordEndpointSuccess(hk);
            state.ranking().recordEndpointSuccess(hk);
        }
        AppState state;
        const EndpointQualityStats s = state.ranking().endpointQualityStats().value(hk.id);
        QVERIFY(s.successfulConnections == 2 && s.failedConnections == 1 && s.consecutiveFailures == 0);
        QVERIFY(s.averageLatencyMs == hk.latencyMs && s.lastSuccessAt >= QDateTime::currentSecsSinceEpoch() - 60);
        for (const QByteArray &data : {QByteArray("\x01garbage"), QByteArray("[]"), QByteArray(R"({"hk":{}})"),
                                       QByteArray(R"({"hk":{"successfulConnections":1.5,"failedConnections":0,)"
                                                  R"("consecutiveFailures":0}})")}) {
            state.preferences().setData(EndpointRanking::endpointQualityStatsKey, data);
            QVERIFY2(AppState().ranking().endpointQualityStats().isEmpty(), data.constData());
        }
    }

    void settingsRoundTripAndWrongTypesGiveDefaults()
    {
        TestHome home;
        {
            Preferences prefs;
            prefs.setBool("tovren.flag", true);
            prefs.setString("tovren.text", "true");
            prefs.setData("tovren.blob", QByteArray("\x00\xff{}", 4));
            prefs.setString(AppState::menuBarEnabledKey, "false"); // a string, not a boolean
            prefs.setData(AppState::aiEnhancedModeEnabledKey, "1");
            prefs.setString(AppState::outboundModeKey, "Enhanced");
        }
        Preferences prefs; // the session token's store: its folder is the owner's alone
        QVERIFY(!(QFile::permissions(QFileInfo(home.settingsFile()).path()) & (QFile::ReadGroup | QFile::ReadOther)));
        QVERIFY(prefs.boolValue("tovren.flag") == true && !prefs.stringValue("tovren.flag"));
        QVERIFY(prefs.stringValue("tovren.text") == QString("true") && !prefs.boolValue("tovren.text"));
        QVERIFY(prefs.dataValue("tovren.blob") == QByteArray("\x00\xff{}", 4) && !prefs.stringValue("tovren.blob"));
        {
            AppState state;
            QVERIFY(state.menuBarEnabled() && !state.aiEnhancedModeEnabled() &&
                    state.outboundMode() == OutboundMode::smart);
            state.setMenuBarEnabled(false);
            state.setShowMenuBarSpeed(true);
            state.setLaunchAtLogin(true);
            QVERIFY(!state.menuBarEnabled() && state.showMenuBarSpeed() && state.launchAtLogin()); // published too
            state.preferences().setString(AppState::outboundModeKey, "enhanced");
            state.preferences().setBool(AppState::aiEnhancedModeEnabledKey, true);
        }
        AppState state;
        QVERIFY(!state.menuBarEnabled() && state.showMenuBarSpeed() && state.launchAtLogin());
        QVERIFY(state.aiEnhancedModeEnabled() && state.outboundMode() == OutboundMode::enhanced);
    }

    void aCorruptSettingsFileReadsAsEmptyAndIsNotLost()
    {
        TestHome home;
        QVERIFY(ProductPaths::writePrivateFileAtomically(home.settingsFile(), "{not json"));
        QCOMPARE(Preferences().boolValue(AppState::launchAtLoginKey), std::nullopt);
        QFile file(home.settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == "{not json");
    }

    void privateFilesAreReplacedWhole()
    {
        TestHome home;
        // Modes are the hardening suite's: here, the whole file is replaced and no temporary is left beside it.
        QVERIFY(ProductPaths::writePrivateFileAtomically(cacheFile(), "first"));
        QVERIFY(ProductPaths::writePrivateFileAtomically(cacheFile(), "second"));
        QFile file(cacheFile());
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == "second");
        QCOMPARE(QDir(ProductPaths::cacheDirectory()).entryList(QDir::Files | QDir::Hidden).size(), 1);
        // The target is a folder with content: the final rename fails and nothing is left behind.
        const QString target = home.path() + "/target";
        QVERIFY(QDir().mkpath(target + "/occupied"));
        QVERIFY(!ProductPaths::writePrivateFileAtomically(target, "new") && QFileInfo(target).isDir());
        QCOMPARE(QDir(home.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    void quickConnectCacheRoundTrips()
    {
        TestHome home;
        const QuickConnectCacheRecord record = cacheRecord("hk-01");
        AppState().ranking().saveQuickConnectCache(record);
        AppState state;
        QCOMPARE(state.ranking().quickConnectCache(), std::optional<QuickConnectCacheRecord>(record));
        // A failed write is logged and keeps the old record.
        QVERIFY(QFile::remove(cacheFile()) && QDir().mkpath(cacheFile() + "/occupied"));
        state.ranking().saveQuickConnectCache(cacheRecord("sg-01"));
        QCOMPARE(state.ranking().quickConnectCache(), std::optional<QuickConnectCacheRecord>(record));
        QVERIFY(state.logs().first().message.startsWith(QStringLiteral("快速连接缓存写入失败：")));
        QVERIFY(QDir(cacheFile()).removeRecursively());
        state.ranking().saveQuickConnectCache(cacheRecord("sg-01"));
        state.ranking().clearQuickConnectCache();
        QVERIFY(!state.ranking().quickConnectCache() && !QFile::exists(cacheFile()));
        state.ranking().clearQuickConnectCache(); // nothing left to delete: no harm

        QJsonObject misspelt = record.toJson();
        misspelt.insert("outboundMode", "Enhanced");
        QJsonObject noDevice = record.toJson();
        noDevice.remove("deviceId");
        for (const QByteArray &damaged :
             {QByteArray(), jsonBytes(record.toJson()).left(40), jsonBytes(misspelt), jsonBytes(noDevice)}) {
            QVERIFY(ProductPaths::writePrivateFileAtomically(cacheFile(), damaged));
            AppState reader;
            QCOMPARE(reader.ranking().quickConnectCache(), std::nullopt);
            QCOMPARE(reader.logs().size(), 1); // nothing reported
        }
    }

    // ---- The state the window shows.
    void stateChangesAndTexts()
    {
        TestHome home;
        const auto model = std::make_shared<StateModel>();
        AppState state({.model = model});
        for (int i = 1; i <= 30; ++i)
            state.appendLog(QString::number(i));
        QCOMPARE(state.logs().size(), 30); // the newest thirty
        QVERIFY(state.logs().first().message == "30" && state.logs().last().message == "1");
        Endpoint third = placeholderEndpoints().first();
        third.id = "c";
        model->setEndpoints(placeholderEndpoints() + QList<Endpoint>{third});
        QVERIFY(ids(state.visibleEndpoints()) == QStringList({"hk-01", "sg-01"}) && state.visibleLogs().size() == 2);
        // Each value signals its own concern, and only when it changed.
        QSignalSpy account(&state, &AppState::accountChanged), speeds(&state, &AppState::speedsChanged),
            view(&state, &AppState::viewChanged);
        model->setIsBusy(false);
        model->setDownloadSpeedBps(2048);
        APIUser user;
        user.id = "u1";
        model->setCurrentUser(user);
        model->setCurrentUser(user);
        QCOMPARE((QList<qsizetype>{account.count(), speeds.count(), view.count()}), (QList<qsizetype>{1, 1, 0}));
        for (const QString pair :
             {"1023.9=1023 B/s", "1024=1 KB/s", "1535=1 KB/s", "1536=2 KB/s", "1048575=1024 KB/s", "1048576=1.0 MB/s"})
            QCOMPARE(AppState::formattedSpeed(pair.section('=', 0, 0).toDouble()), pair.section('=', 1));
    }

    void protocolAndStatusFromTheControlPlane()
    {
        for (const QString pair : {"HY2=hysteria2", "hysteria=hysteria2", "WireGuard=wireguard", "wg=wireguard",
                                   "SS=shadowsocks", "naive-proxy=naiveproxy", "VLESS=vless", "tuic=", " vless=", "="})
            QCOMPARE(protocolKindFromApiValue(pair.section('=', 0, 0)),
                     protocolKindFromRawValue(pair.section('=', 1)).value_or(ProtocolKind::unknown));
        QCOMPARE(protocolKindFromApiValue(std::nullopt), ProtocolKind::unknown);
        for (const QString pair : {"online=在线", "active=在线", "healthy=在线", "available=在线", "Online=离线",
                                   "down=离线", "=离线", "maintenance=检查中", "retrying=检查中"})
            QCOMPARE(rawValue(nodeStatusFromApiValue(pair.section('=', 0, 0))), pair.section('=', 1));
    }

    // ---- Speed sampling.
    void samplerCountsLiveInterfacesOnly()
    {
        const QDateTime time = QDateTime::currentDateTime();
        const InterfaceCounters ipEntry{"en0", true, false, true, false, false, 0, 0}; // no link layer, no statistics
        const InterfaceCounters noStats{"utun3", true, false, true, true, false, 9, 9};
        const InterfaceCounters noAddress{"en5", true, false, false, true, true, 9, 9};
        const auto s = NetworkSpeedSampler::sum({link("lo0", 500, 500, true, true), link("en1", 700, 800, false),
                                                 link("en0", 100, 10), ipEntry, link("en2", 5, 1), noStats, noAddress},
                                                time);
        QVERIFY(s.receivedBytes == 105 && s.sentBytes == 11 && s.date == time);
        // Each interface wraps at 4 GiB on its own; their sum is 64-bit.
        QCOMPARE(NetworkSpeedSampler::sum({link("en0", 0xFFFFFFFFu, 0), link("en1", 0xFFFFFFFFu, 0)}, {}).receivedBytes,
                 quint64(0xFFFFFFFFu) * 2);
        NetworkSpeedSampler failing([] { return std::optional<QList<InterfaceCounters>>(); });
        QVERIFY(failing.sample().receivedBytes == 0 && failing.sample().date.isValid());
        const auto platform = NetworkSpeedSampler::readPlatformInterfaces();
        for (const InterfaceCounters &entry : platform.value())
            QVERIFY(entry.name != QStringLiteral("lo") || entry.loopback);
    }

    void speedMonitorTurnsCountersIntoRates()
    {
        TestHome home;
        quint32 received = 0;
        quint32 sent = 0;
        AppState state({.speedSampler = NetworkSpeedSampler([&]() -> std::optional<QList<InterfaceCounters>> {
                            return QList<InterfaceCounters>{link("en0", received, sent)};
                        })});
        state.speedMonitor().update();
        received = 100000;
        QTRY_VERIFY_WITH_TIMEOUT(state.downloadSpeedBps() > 0, 3000); // the monitor's own timer
        state.speedMonitor().stop();
        state.speedMonitor().update();
        received = 104096;
        sent = 512;
        QTest::qWait(1100);
        state.speedMonitor().update();
        QVERIFY(state.downloadSpeedBps() > 0 && state.downloadSpeedBps() <= 4096 / 0.5 && state.uploadSpeedBps() > 0);
        // A counter that went down (wrapped, interface gone) shows 0, never a negative or huge rate.
        received = 10;
        state.speedMonitor().update();
        QCOMPARE(state.downloadSpeedBps(), 0.0);
        // Two samples a moment apart divide by at least half a second.
        sent = 512 + 1000;
        state.speedMonitor().update();
        QVERIFY(state.uploadSpeedBps() <= 2000.0);
    }

    // ---- The real executable starts offscreen and its activity log says it is ready.
    void clientStartsAndLogsReady()
    {
        TestHome home;
        QProcess client;
        client.start(qEnvironmentVariable("TOVREN_BUILD_DIR") + "/src/app/tovren", {"--print-log"});
        QVERIFY(client.waitForStarted(5000));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += client.readAllStandardOutput()).contains("客户端已就绪。"), 10000);
        client.terminate();
        QVERIFY(client.waitForFinished(15000));
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_state.moc"
