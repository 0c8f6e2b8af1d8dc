#include "NetworkSpeedSampler.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_var.h>
#include <sys/socket.h>

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
        entry.linkLayer = it->ifa_addr && it->ifa_addr->sa_family == AF_LINK;
        if (entry.linkLayer && it->ifa_data) {
            const auto *data = static_cast<const struct if_data *>(it->ifa_data);
            entry.hasStatistics = true;
            entry.receivedBytes = data->ifi_ibytes;
            entry.sentBytes = data->ifi_obytes;
        }
        result.append(entry);
    }
    ::freeifaddrs(list);
    return result;
}
