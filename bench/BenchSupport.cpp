#include "BenchSupport.h"

#include <QFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <ctime>

namespace {

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

namespace Bench {

void useBuildTree()
{
    if (qEnvironmentVariableIsEmpty("TOVREN_BUILD_DIR"))
        qputenv("TOVREN_BUILD_DIR", TOVREN_BENCH_BUILD_DIR);
    if (qEnvironmentVariableIsEmpty("TOVREN_SOURCE_DIR"))
        qputenv("TOVREN_SOURCE_DIR", TOVREN_BENCH_SOURCE_DIR);
}

int option(const QStringList &arguments, const QString &name, int fallback)
{
    const qsizetype at = arguments.indexOf(name);
    bool ok = false;
    const int value = at >= 0 ? arguments.value(at + 1).toInt(&ok) : 0;
    return ok && value > 0 ? value : fallback;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double maximum(const QList<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.cbegin(), values.cend());
}

QString seconds(double milliseconds)
{
    return QString::number(milliseconds / 1000, 'f', 2) + QStringLiteral(" s");
}

QString milliseconds(double milliseconds)
{
    return QString::number(milliseconds, 'f', 1) + QStringLiteral(" ms");
}

QString verdict(bool pass)
{
    return pass ? QStringLiteral("PASS") : QStringLiteral("MISS");
}

QString loadText()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    QString load = QStringLiteral("?");
    if (file.open(QIODevice::ReadOnly))
        load = QString::fromLatin1(file.readAll()).section(u' ', 0, 0);
    return QStringLiteral("load %1 on %2 cores").arg(load).arg(QThread::idealThreadCount());
}

void say(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

StallProbe::StallProbe(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    connect(&m_timer, &QTimer::timeout, this, &StallProbe::tick);
    reset();
    m_timer.start();
}

void StallProbe::reset()
{
    m_since.start();
    m_lastNs = 0;
    m_longestNs = 0;
    m_longestEndNs = 0;
    m_lastCpuNs = threadCpuNs();
    m_longestBusyNs = 0;
    m_longestBusyEndNs = 0;
}

void StallProbe::tick()
{
    const qint64 now = m_since.nsecsElapsed();
    if (now - m_lastNs > m_longestNs) {
        m_longestNs = now - m_lastNs;
        m_longestEndNs = now;
    }
    m_lastNs = now;
    const qint64 cpu = threadCpuNs();
    if (cpu - m_lastCpuNs > m_longestBusyNs) {
        m_longestBusyNs = cpu - m_lastCpuNs;
        m_longestBusyEndNs = now;
    }
    m_lastCpuNs = cpu;
}

} // namespace Bench
