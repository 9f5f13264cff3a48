#include "AutoResetEvent.h"

#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

AutoResetEvent::AutoResetEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

AutoResetEvent::~AutoResetEvent()
{
    if (fd_ >= 0)
        close(fd_);
}

void AutoResetEvent::SetFd(int fd)
{
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool AutoResetEvent::TryConsumeFd(int fd)
{
    std::uint64_t count = 0;
    ssize_t got;
    while ((got = read(fd, &count, sizeof count)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof count);
}

void AutoResetEvent::Set() const { SetFd(fd_); }

void AutoResetEvent::Reset() const { TryConsumeFd(fd_); }

bool AutoResetEvent::TryConsume() const { return TryConsumeFd(fd_); }
