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

bool Receive(LineEngine& e, const LineSink& sink);

void StepHandshake(LineEngine& e, const LineSink& sink)
{
    const TlsStep step = TlsHandshake(*e.tls);
    e.tlsWaitsFor = step;
    if (step == TlsStep::WantRead || step == TlsStep::WantWrite)
        return;
    e.handshaking = false;
    if (step != TlsStep::Done)
        return sink.event(LineEvent::SecureFailed);
    sink.event(e.secureFromStart ? LineEvent::Connected : LineEvent::Secured);
    // The server's first lines may have come with the handshake's last bytes.
    if (TlsHasBufferedInput(*e.tls))
        Receive(e, sink);
}

// Bytes from the peer that wait in the socket, unread.
bool BytesWaiting(int socket)
{
    char byte = 0;
    return recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void BeginHandshake(LineEngine& e, const LineSink& sink)
{
    e.secureRequested = false;
    // A reply to a command not yet sent, or one with more behind it, answers something else:
    // TLS then would send the queued bytes inside it and pair every later reply wrongly.
    if (!e.secureFromStart && (!e.input.pending.empty() || !e.outgoing.empty() || BytesWaiting(e.socket)))
        return sink.event(LineEvent::SecureFailed);
    e.input = LineAssembler{};
    e.tls = std::make_unique<TlsChannel>();
    e.handshaking = true;
    if (!OpenTlsChannel(*e.tls, e.socket, e.trust)) {
        e.handshaking = false;
        return sink.event(LineEvent::SecureFailed);
    }
    StepHandshake(e, sink);
}

// True when bytes arrived (or the connection ended), which starts the time limit again.
bool Receive(LineEngine& e, const LineSink& sink)
{
    bool progress = false;
    // TLS may hold decrypted bytes that no readiness of the socket announces.
    do {
        const ssize_t got = ReadSocket(e, e.receiveArea.get(), ReceiveAreaSize);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return progress;
        if (got <= 0) {
            sink.event(LineEvent::Closed);
            return true;
        }
        progress = true;
        if (!e.input.Feed(std::string_view(e.receiveArea.get(), static_cast<std::size_t>(got)), sink.line)) {
            sink.event(LineEvent::LineTooLong);
            return true;
        }
        if (e.secureRequested) {
            if (!sink.finished())
                BeginHandshake(e, sink);
            return true;
        }
    } while (e.tls && TlsHasBufferedInput(*e.tls) && !sink.finished());
    return progress;
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

bool ServeTls(LineEngine& e, const LineSink& sink)
{
    if (e.handshaking) {
        StepHandshake(e, sink);
        return true;
    }
    const bool progress = !e.tlsBroken && Receive(e, sink);
    if (!e.tlsBroken)
        return progress;
    sink.event(LineEvent::Closed);
    return true;
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
        if (e.secureFromStart) {
            BeginHandshake(e, sink);
            return true;
        }
        sink.event(LineEvent::Connected);
        progress = true;
    }
    if (e.tls)
        return ServeTls(e, sink) || progress;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        progress = Receive(e, sink) || progress;
    return progress;
}

int MillisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left < 3'600'000 ? left : 3'600'000);
}

// A handshake that stalls is a failed secure connection, not a silent server.
void ReportTimeLimit(LineEngine& e, const LineSink& sink)
{
    if (!e.handshaking)
        return sink.event(LineEvent::TimedOut);
    e.handshaking = false;
    e.tls->failure = Status::SecureConnectionFailed;
    sink.event(LineEvent::SecureFailed);
}

// A TLS step's outcome in the terms of recv and send.
ssize_t SocketResult(LineEngine& engine, TlsStep step, std::size_t moved)
{
    engine.tlsWaitsFor = step;
    switch (step) {
    case TlsStep::Done:
        return static_cast<ssize_t>(moved);
    case TlsStep::WantRead:
    case TlsStep::WantWrite:
        errno = EAGAIN;
        return -1;
    case TlsStep::Closed:
        return 0;
    case TlsStep::Failed:
        break;
    }
    engine.tlsBroken = true;
    errno = EIO;
    return -1;
}

ssize_t ReceiveBytes(LineEngine& engine, char* area, std::size_t size)
{
    if (!engine.tls)
        return recv(engine.socket, area, size, MSG_DONTWAIT);
    std::size_t got = 0;
    const TlsStep step = TlsRead(*engine.tls, area, size, got);
    return SocketResult(engine, step, got);
}

} // namespace

void QueueBytes(LineEngine& engine, std::string_view bytes)
{
    // The commands of one turn go out together before the next wait: one segment (over TLS
    // one record) for a window's worth of TOP commands instead of one per command.
    engine.outgoing.append(bytes);
}

bool HasRoomToSend(const LineEngine& engine) { return engine.outgoing.size() < MaxOutgoing; }

void StartTls(LineEngine& engine) { engine.secureRequested = true; }

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size)
{
    const ssize_t got = ReceiveBytes(engine, area, size);
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
    if (!engine.tls)
        return send(engine.socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    std::size_t written = 0;
    const TlsStep step = TlsWrite(*engine.tls, bytes, size, written);
    return SocketResult(engine, step, written);
}

short PollInterest(const LineEngine& engine)
{
    if (engine.handshaking)
        return engine.tlsWaitsFor == TlsStep::WantWrite ? POLLOUT : POLLIN;
    // Ask for writability only when something waits for it, so the wait never spins.
    const bool wantWrite = engine.connecting || !engine.outgoing.empty() || engine.tlsWaitsFor == TlsStep::WantWrite;
    return static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
}

LoopEnd RunLineEngine(LineEngine& engine, int stopFd, const LineSink& sink)
{
    Clock::time_point deadline = Clock::now() + engine.timeLimit;
    for (;;) {
        // The one place queued bytes go out, over TLS too (a write that wants the socket
        // readable is tried again here after the wait that follows).
        if (!engine.connecting && !engine.handshaking)
            FlushOutgoing(engine);
        // What the last turn queued (QUIT) has gone to the socket before the loop ends.
        if (sink.finished())
            return LoopEnd::Finished;
        pollfd fds[2] = {{engine.socket, PollInterest(engine), 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return LoopEnd::Failed;
        if (ready == 0 && Clock::now() >= deadline) {
            ReportTimeLimit(engine, sink);
            deadline = Clock::now() + engine.timeLimit;
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
