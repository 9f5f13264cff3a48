#include "HostLookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

bool LookUpHost(const std::string& host, std::uint32_t& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);
    return true;
}

// One lookup on a helper thread. The helper keeps it alive, so the worker may
// walk away from a lookup that has not answered; that late answer is dropped.
struct Lookup {
    std::mutex mutex;
    bool found = false;
    std::uint32_t address = 0;
    int doneFd = -1;
    ~Lookup()
    {
        if (doneFd >= 0)
            close(doneFd);
    }
};

// Waits for the lookup's answer or a stop, whichever comes first.
Resolution AwaitLookup(Lookup& lookup, int stopFd, std::uint32_t& address)
{
    pollfd fds[2] = {{lookup.doneFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Resolution::NotFound;
        if (fds[1].revents != 0) {
            AutoResetEvent::TryConsumeFd(stopFd);
            return Resolution::Stopped;
        }
        if (fds[0].revents != 0)
            break;
    }
    std::lock_guard lock(lookup.mutex);
    address = lookup.address;
    return lookup.found ? Resolution::Found : Resolution::NotFound;
}

} // namespace

Resolution ResolveServer(const std::string& host, const HostResolver& resolver, int stopFd, std::uint32_t& address)
{
    in_addr dotted{};
    if (inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
        address = dotted.s_addr;
        return Resolution::Found;
    }
    auto lookup = std::make_shared<Lookup>();
    lookup->doneFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (lookup->doneFd < 0)
        return Resolution::NotFound;
    try {
        std::thread([lookup, host, resolver] {
            std::uint32_t found = 0;
            const bool ok = resolver ? resolver(host, found) : LookUpHost(host, found);
            {
                std::lock_guard lock(lookup->mutex);
                lookup->found = ok;
                lookup->address = found;
            }
            AutoResetEvent::SetFd(lookup->doneFd);
        }).detach();
    } catch (const std::system_error&) {
        return Resolution::NotFound;
    }
    return AwaitLookup(*lookup, stopFd, address);
}
