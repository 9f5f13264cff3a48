#include "LineEngine.h"

#include "AutoResetEvent.h"

#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

void FlushOutgoing(LineEngine& e)
{
    if (e.outgoing.empty())
        return;
    const ssize_t sent = WriteSocket(e, e.outgoing.data(), e.outgoing.size());
    // On a failure the bytes wait for the next writability.
    if (sent > 0)
        e.outgoing.erase(0, static_cast<std::size_t>(sent));
}

// True when bytes arrived (or the connection ended), which starts the time limit again.
bool Receive(LineEngine& e, const LineSink& sink)
{
    const ssize_t got = ReadSocket(e, e.receiveArea.get(), ReceiveAreaSize);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (got <= 0) {
        sink.event(LineEvent::Closed);
        return true;
    }
    e.input.Feed(std::string_view(e.receiveArea.get(), static_cast<std::size_t>(got)), sink.line);
    if (e.input.pending.size() > MaxPendingInput)
        sink.event(LineEvent::LineTooLong);
    return true;
}

// Completes the connect; false when it failed.
bool FinishConnect(LineEngine& e)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(e.socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    return error == 0;
}

// True when the connection made progress that starts the time limit again.
bool ServeSocket(LineEngine& e, short revents, const LineSink& sink)
{
    bool progress = false;
    if (e.connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
            return false;
        if (!FinishConnect(e)) {
            sink.event(LineEvent::ConnectFailed);
            return true;
        }
        e.connecting = false;
        sink.event(LineEvent::Connected);
        progress = true;
    }
    if ((revents & POLLOUT) != 0)
        FlushOutgoing(e);
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        progress = Receive(e, sink) || progress;
    return progress;
}

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left < 3'600'000 ? left : 3'600'000);
}

} // namespace

void QueueBytes(LineEngine& engine, std::string_view bytes)
{
    engine.outgoing.append(bytes);
    if (!engine.connecting)
        FlushOutgoing(engine);
}

bool HasRoomToSend(const LineEngine& engine) { return engine.outgoing.size() < MaxOutgoing; }

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size)
{
    const ssize_t got = recv(engine.socket, area, size, MSG_DONTWAIT);
    // Linux drops quick-ack mode again on its own, so it is asked for after every receive:
    // a server that writes a reply in pieces with Nagle on holds each later piece until
    // this side acknowledges, and a delayed acknowledgement costs up to 40 ms each time.
    if (got > 0) {
        const int on = 1;
        setsockopt(engine.socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return got;
}

ssize_t WriteSocket(LineEngine& engine, const char* bytes, std::size_t size)
{
    return send(engine.socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

short PollInterest(const LineEngine& engine)
{
    // Ask for writability only when something waits for it, so the wait never spins.
    const bool wantWrite = engine.connecting || !engine.outgoing.empty();
    return static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
}

LoopEnd RunLineEngine(LineEngine& engine, int stopFd, const LineSink& sink)
{
    Clock::time_point deadline = Clock::now() + engine.timeLimit;
    for (;;) {
        if (sink.finished())
            return LoopEnd::Finished;
        pollfd fds[2] = {{engine.socket, PollInterest(engine), 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return LoopEnd::Failed;
        if (ready == 0 && Clock::now() >= deadline) {
            sink.event(LineEvent::TimedOut);
            continue;
        }
        if (fds[0].revents != 0 && ServeSocket(engine, fds[0].revents, sink))
            deadline = Clock::now() + engine.timeLimit;
        // The stop is served after the socket but in the same turn, so that a server
        // that never pauses cannot hold it off.
        if (fds[1].revents != 0) {
            AutoResetEvent::TryConsumeFd(stopFd);
            return LoopEnd::Stopped;
        }
    }
}
