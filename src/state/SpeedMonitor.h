#pragma once

#include "AppStateDependencies.h"

#include <QPointer>
#include <QTimer>

// Turns the interface counters into the published download and upload speeds, once a second.
class SpeedMonitor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpeedMonitor)

public:
    explicit SpeedMonitor(AppStateDependencies &dependencies, QObject *parent = nullptr);

    void start();
    void stop();
    bool isRunning() const { return m_timer != nullptr; }
    // One sample against the previous one.
    void update();

private:
    StateModel &m_model;
    NetworkSpeedSampler m_sampler;
    QPointer<QTimer> m_timer;
    std::optional<NetworkTrafficSample> m_lastSample;
};
