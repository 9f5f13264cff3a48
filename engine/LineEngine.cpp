#include "LineEngine.h"

#include "AutoResetEvent.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr std::size_t ReceiveAreaSize = 2048;
// A partial line longer than this is not POP3; it would only grow without bound.
constexpr std::size_t MaxPendingInput = std::size_t{1} << 20;

void FlushOutgoing(LineEngine& e)
{
    if (e.outgoing.empty())
        return;
    const ssize_t sent = WriteSocket(e, e.outgoing.data(), e.outgoing.size());
    // On a failure the bytes wait for the next writability.
    if (sent > 0)
        e.outgoing.erase(0, static_cast<std::size_t>(sent));
}

void Receive(LineEngine& e, const LineSink& sink)
{
    char area[ReceiveAreaSize];
    const ssize_t got = ReadSocket(e, area, sizeof area);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0)
        return sink.event(LineEvent::Closed);
    e.input.Feed(std::string_view(area, static_cast<std::size_t>(got)), sink.line);
    if (e.input.pending.size() > MaxPendingInput)
        sink.event(LineEvent::LineTooLong);
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

void ServeSocket(LineEngine& e, short revents, const LineSink& sink)
{
    if (e.connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
            return;
        if (!FinishConnect(e))
            return sink.event(LineEvent::ConnectFailed);
        e.connecting = false;
        sink.event(LineEvent::Connected);
    }
    if ((revents & POLLOUT) != 0)
        FlushOutgoing(e);
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        Receive(e, sink);
}

} // namespace

void QueueBytes(LineEngine& engine, std::string_view bytes)
{
    engine.outgoing.append(bytes);
    if (!engine.connecting)
        FlushOutgoing(engine);
}

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size)
{
    return recv(engine.socket, area, size, MSG_DONTWAIT);
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
    for (;;) {
        if (sink.finished())
            return LoopEnd::Finished;
        pollfd fds[2] = {{engine.socket, PollInterest(engine), 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return LoopEnd::Failed;
        if (fds[0].revents != 0)
            ServeSocket(engine, fds[0].revents, sink);
        // The stop is served after the socket but in the same turn, so that a server
        // that never pauses cannot hold it off.
        if (fds[1].revents != 0) {
            AutoResetEvent::TryConsumeFd(stopFd);
            return LoopEnd::Stopped;
        }
    }
}
