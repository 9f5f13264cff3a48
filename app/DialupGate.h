#pragma once

#include <string>
#include <vector>

struct NetworkInterface {
    std::string name;
    unsigned flags = 0; // IFF_* as getifaddrs reports them
};

// True when a point-to-point interface other than loopback is up and running.
bool DialupGateOpen(const std::vector<NetworkInterface>& interfaces);
// The machine's interfaces, read with getifaddrs.
std::vector<NetworkInterface> ReadNetworkInterfaces();
bool IsDialupConnected();
