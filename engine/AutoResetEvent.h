#pragma once

// An auto-reset event over a Linux eventfd: Set wakes one waiter, a wait that
// returns it consumes it, Reset drains it. Its descriptor can be polled together
// with a socket or watched by the user interface's event loop.
class AutoResetEvent {
public:
    AutoResetEvent();
    ~AutoResetEvent();
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set() const;
    void Reset() const;
    // Consumes the signal if there is one; true when there was.
    bool TryConsume() const;
    int Fd() const { return fd_; }

    // The same operations on a descriptor that refers to an event (for example a dup of Fd()).
    static void SetFd(int fd);
    static bool TryConsumeFd(int fd);

private:
    int fd_;
};
