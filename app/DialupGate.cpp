#include "DialupGate.h"

#include <ifaddrs.h>
#include <net/if.h>

bool DialupGateOpen(const std::vector<NetworkInterface>& interfaces)
{
    constexpr unsigned wanted = IFF_POINTOPOINT | IFF_UP | IFF_RUNNING;
    for (const NetworkInterface& nic : interfaces) {
        if ((nic.flags & wanted) == wanted && !(nic.flags & IFF_LOOPBACK))
            return true;
    }
    return false;
}

// getifaddrs lists an interface once per address family; every entry carries the
// interface's flags, so the duplicates do not change the gate's decision.
std::vector<NetworkInterface> ReadNetworkInterfaces()
{
    std::vector<NetworkInterface> interfaces;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return interfaces;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next)
        interfaces.push_back({entry->ifa_name ? entry->ifa_name : "", entry->ifa_flags});
    freeifaddrs(list);
    return interfaces;
}

bool IsDialupConnected() { return DialupGateOpen(ReadNetworkInterfaces()); }
