#include "runtime/NetworkSpeedSampler.h"

#include <QTest>

namespace {
InterfaceCounters link(const QString &name, quint32 rx, quint32 tx, bool up = true, bool loopback = false)
{
    return InterfaceCounters{name, up, loopback, true, true, true, rx, tx};
}
InterfaceCounters ipEntry(const QString &name)
{
    // An IP address entry of the same interface: no link layer, no statistics.
    return InterfaceCounters{name, true, false, true, false, false, 0, 0};
}
} // namespace

class TestSpeed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void countingRules()
    {
        const QDateTime now = QDateTime::currentDateTime();
        auto s = NetworkSpeedSampler::sum({link("lo0", 500, 500, true, true)}, now);
        QCOMPARE(s.receivedBytes, 0u);
        QCOMPARE(s.sentBytes, 0u);

        s = NetworkSpeedSampler::sum({link("en1", 700, 800, false)}, now);
        QCOMPARE(s.receivedBytes, 0u);

        s = NetworkSpeedSampler::sum({link("en0", 100, 10), ipEntry("en0"), ipEntry("en0"), link("en2", 5, 1)}, now);
        QCOMPARE(s.receivedBytes, 105u);
        QCOMPARE(s.sentBytes, 11u);
        QCOMPARE(s.date, now);

        InterfaceCounters noStats = link("utun3", 9, 9);
        noStats.hasStatistics = false;
        InterfaceCounters noAddress = link("en5", 9, 9);
        noAddress.hasAddress = false;
        QCOMPARE(NetworkSpeedSampler::sum({noStats, noAddress}, now).receivedBytes, 0u);
    }

    void sumsDoNotWrapAcrossInterfaces()
    {
        // Each interface wraps at 4 GiB on its own; their sum is 64-bit.
        const auto s = NetworkSpeedSampler::sum({link("en0", 0xFFFFFFFFu, 0), link("en1", 0xFFFFFFFFu, 0)}, {});
        QCOMPARE(s.receivedBytes, quint64(0xFFFFFFFFu) * 2);
    }

    void unreadableOrEmptyListSamplesZero()
    {
        NetworkSpeedSampler failing([] { return std::optional<QList<InterfaceCounters>>(); });
        const auto a = failing.sample();
        QCOMPARE(a.receivedBytes, 0u);
        QVERIFY(a.date.isValid());
        NetworkSpeedSampler empty([] { return std::optional<QList<InterfaceCounters>>(QList<InterfaceCounters>{}); });
        QCOMPARE(empty.sample().sentBytes, 0u);
    }

    void thePlatformListReadsWithoutLoopback()
    {
        const auto list = NetworkSpeedSampler::readPlatformInterfaces();
        QVERIFY(list.has_value());
        for (const InterfaceCounters &entry : *list) {
            if (entry.name == QStringLiteral("lo"))
                QVERIFY(entry.loopback);
        }
        NetworkSpeedSampler real;
        QVERIFY(real.sample().date.isValid());
    }
};

QTEST_GUILESS_MAIN(TestSpeed)
#include "test_speed.moc"
