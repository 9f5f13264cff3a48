#pragma once

#include "Application.h"
#include "CheckScheduling.h"
#include "CheckSession.h"
#include "WorkerThread.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>

// Polls pred every millisecond for at most timeoutMs; true as soon as it holds.
template <typename Pred> bool WaitUntil(Pred pred, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

// A one-shot gate a test opens to let a worker routine go on.
struct Latch {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;

    void Open()
    {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    bool Wait(int timeoutMs)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return open; });
    }
};

inline MessageInfo Message(std::uint32_t number, std::string from, std::string subject)
{
    return {DigestFromBytes(std::string(16, static_cast<char>(number))), number, std::move(from), std::move(subject)};
}

inline long long MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}
