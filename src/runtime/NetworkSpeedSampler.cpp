#include "NetworkSpeedSampler.h"

NetworkSpeedSampler::NetworkSpeedSampler() : m_reader(&NetworkSpeedSampler::readPlatformInterfaces) {}

NetworkSpeedSampler::NetworkSpeedSampler(Reader reader) : m_reader(std::move(reader)) {}

NetworkTrafficSample NetworkSpeedSampler::sample() const
{
    const auto interfaces = m_reader ? m_reader() : std::nullopt;
    if (!interfaces || interfaces->isEmpty())
        return NetworkTrafficSample{0, 0, QDateTime::currentDateTime()};
    return sum(*interfaces, QDateTime::currentDateTime());
}

NetworkTrafficSample NetworkSpeedSampler::sum(const QList<InterfaceCounters> &interfaces, const QDateTime &date)
{
    NetworkTrafficSample result{0, 0, date};
    for (const InterfaceCounters &entry : interfaces) {
        if (!entry.up || entry.loopback || !entry.hasAddress || !entry.linkLayer || !entry.hasStatistics)
            continue;
        result.receivedBytes += entry.receivedBytes;
        result.sentBytes += entry.sentBytes;
    }
    return result;
}
