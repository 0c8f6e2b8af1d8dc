#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>

struct NetworkTrafficSample
{
    quint64 receivedBytes = 0;
    quint64 sentBytes = 0;
    QDateTime date;
};

// One entry of the interface list as the platform reports it.
struct InterfaceCounters
{
    QString name;
    bool up = false;
    bool loopback = false;
    bool hasAddress = false;
    bool linkLayer = false; // AF_LINK on macOS, AF_PACKET on Linux
    bool hasStatistics = false;
    quint32 receivedBytes = 0; // the platform keeps 32-bit counters, wrapping at 4 GiB
    quint32 sentBytes = 0;
};

// Reads the machine's total network byte counters. Never fails.
class NetworkSpeedSampler final
{
public:
    using Reader = std::function<std::optional<QList<InterfaceCounters>>()>;

    NetworkSpeedSampler();
    // Tests replace the platform's interface list.
    explicit NetworkSpeedSampler(Reader reader);

    NetworkTrafficSample sample() const;

    // Counts every entry that is up and not loopback, has an address, is a link-layer entry and carries
    // statistics: one entry per link, however many IP addresses it has.
    static NetworkTrafficSample sum(const QList<InterfaceCounters> &interfaces, const QDateTime &date);

    // The platform's list; nullopt when it cannot be read.
    static std::optional<QList<InterfaceCounters>> readPlatformInterfaces();

private:
    Reader m_reader;
};
