#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

// Small pieces shared by the benchmarks: figures, verdicts, the machine's load and an event-loop stall probe.
namespace Bench {

// Points the test fixtures at this build and source tree when the runner did not.
void useBuildTree();

// The positive whole number after `name` in the arguments, else `fallback`.
int option(const QStringList &arguments, const QString &name, int fallback);

double median(QList<double> values);
double maximum(const QList<double> &values);

QString seconds(double milliseconds);      // "1.31 s"
QString milliseconds(double milliseconds); // "12.4 ms"
QString verdict(bool pass);                // "PASS" or "MISS"

// The one-minute load average and the number of processors, e.g. "load 0.42 on 2 cores".
QString loadText();

// Prints one line on standard output, flushed at once so that a runner shows progress.
void say(const QString &line);

// A 1 ms timer on the event loop it is created on; the longest gap between two ticks is how long that loop
// was kept from turning. The thread's own CPU time within each gap tells a loop busy with work of its own from
// one whose thread merely waited for a processor on a loaded machine.
class StallProbe final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StallProbe)

public:
    explicit StallProbe(QObject *parent = nullptr);

    // Forgets what was seen so far; the next gap counts from now.
    void reset();
    double longestGapMs() const { return m_longestNs / 1e6; }
    // When the longest gap ended, in milliseconds since the last reset.
    double longestGapEndMs() const { return m_longestEndNs / 1e6; }
    // The most CPU time the thread spent within one gap: the longest stretch of work of its own.
    double longestBusyMs() const { return m_longestBusyNs / 1e6; }
    double longestBusyEndMs() const { return m_longestBusyEndNs / 1e6; }

private:
    void tick();

    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
    qint64 m_longestEndNs = 0;
    qint64 m_lastCpuNs = 0;
    qint64 m_longestBusyNs = 0;
    qint64 m_longestBusyEndNs = 0;
};

} // namespace Bench
