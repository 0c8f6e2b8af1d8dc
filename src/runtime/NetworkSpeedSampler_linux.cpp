#include "NetworkSpeedSampler.h"

#include <ifaddrs.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <netpacket/packet.h>

std::optional<QList<InterfaceCounters>> NetworkSpeedSampler::readPlatformInterfaces()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    QList<InterfaceCounters> result;
    for (ifaddrs *it = list; it; it = it->ifa_next) {
        InterfaceCounters entry;
        entry.name = QString::fromLocal8Bit(it->ifa_name);
        entry.up = it->ifa_flags & IFF_UP;
        entry.loopback = it->ifa_flags & IFF_LOOPBACK;
        entry.hasAddress = it->ifa_addr != nullptr;
        entry.linkLayer = it->ifa_addr && it->ifa_addr->sa_family == AF_PACKET;
        // For AF_PACKET entries the kernel attaches the link statistics with 32-bit counters.
        if (entry.linkLayer && it->ifa_data) {
            const auto *stats = static_cast<const rtnl_link_stats *>(it->ifa_data);
            entry.hasStatistics = true;
            entry.receivedBytes = stats->rx_bytes;
            entry.sentBytes = stats->tx_bytes;
        }
        result.append(entry);
    }
    ::freeifaddrs(list);
    return result;
}
