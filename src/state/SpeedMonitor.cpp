#include "SpeedMonitor.h"

SpeedMonitor::SpeedMonitor(AppStateDependencies &dependencies, QObject *parent)
    : QObject(parent), m_model(*dependencies.model), m_sampler(dependencies.speedSampler)
{
}

void SpeedMonitor::start()
{
    m_lastSample = m_sampler.sample();
    auto *timer = new QTimer(this); // owned by the monitor: it stops when the monitor goes
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &SpeedMonitor::update);
    timer->start();
    m_timer = timer;
}

void SpeedMonitor::stop()
{
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
    }
    m_timer = nullptr;
}

void SpeedMonitor::update()
{
    const NetworkTrafficSample next = m_sampler.sample();
    if (m_lastSample) {
        const double seconds = std::max(0.5, m_lastSample->date.msecsTo(next.date) / 1000.0);
        const auto rise = [](quint64 now, quint64 before) {
            return now >= before ? static_cast<double>(now - before) : 0.0;
        };
        m_model.setDownloadSpeedBps(rise(next.receivedBytes, m_lastSample->receivedBytes) / seconds);
        m_model.setUploadSpeedBps(rise(next.sentBytes, m_lastSample->sentBytes) / seconds);
    }
    m_lastSample = next;
}
