#include "LineEngine.h"

#include "AutoResetEvent.h"

#include <algorithm>
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
    // Bytes queued meanwhile wait for the secured connection.
    FlushOutgoing(e);
}

void BeginHandshake(LineEngine& e, const LineSink& sink)
{
    e.secureRequested = false;
    e.input = LineAssembler{};
    e.tls = std::make_unique<TlsChannel>();
    e.handshaking = true;
    e.handshakeDeadline = std::chrono::steady_clock::now() + HandshakeTimeLimit;
    if (!OpenTlsChannel(*e.tls, e.socket, e.trust)) {
        e.handshaking = false;
        return sink.event(LineEvent::SecureFailed);
    }
    StepHandshake(e, sink);
}

void Receive(LineEngine& e, const LineSink& sink)
{
    char area[ReceiveAreaSize];
    // TLS may hold decrypted bytes that no readiness of the socket announces.
    do {
        const ssize_t got = ReadSocket(e, area, sizeof area);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (got <= 0)
            return sink.event(LineEvent::Closed);
        e.input.Feed(std::string_view(area, static_cast<std::size_t>(got)), sink.line);
        if (e.input.pending.size() > MaxPendingInput)
            return sink.event(LineEvent::LineTooLong);
        if (e.secureRequested)
            return BeginHandshake(e, sink);
    } while (e.tls && TlsHasBufferedInput(*e.tls) && !sink.finished());
}

void ServeTls(LineEngine& e, short revents, const LineSink& sink)
{
    if (e.handshaking)
        return StepHandshake(e, sink);
    // A TLS read may need the socket writable, and a write readable: try both.
    if ((revents & POLLOUT) != 0 || e.tlsWaitsFor == TlsStep::WantWrite)
        FlushOutgoing(e);
    if (!e.tlsBroken)
        Receive(e, sink);
    if (e.tlsBroken)
        sink.event(LineEvent::Closed);
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
        if (e.secureFromStart)
            return BeginHandshake(e, sink);
        sink.event(LineEvent::Connected);
    }
    if (e.tls)
        return ServeTls(e, revents, sink);
    if ((revents & POLLOUT) != 0)
        FlushOutgoing(e);
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        Receive(e, sink);
}

} // namespace

void QueueBytes(LineEngine& engine, std::string_view bytes)
{
    engine.outgoing.append(bytes);
    if (!engine.connecting && !engine.handshaking)
        FlushOutgoing(engine);
}

void StartTls(LineEngine& engine) { engine.secureRequested = true; }

namespace {

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

} // namespace

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size)
{
    if (!engine.tls)
        return recv(engine.socket, area, size, MSG_DONTWAIT);
    std::size_t got = 0;
    const TlsStep step = TlsRead(*engine.tls, area, size, got);
    return SocketResult(engine, step, got);
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

namespace {

// The wait's limit in milliseconds: none but the handshake's for now.
int WaitLimit(const LineEngine& engine)
{
    if (!engine.handshaking)
        return -1;
    const auto left = engine.handshakeDeadline - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(
        0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

} // namespace

LoopEnd RunLineEngine(LineEngine& engine, int stopFd, const LineSink& sink)
{
    for (;;) {
        if (sink.finished())
            return LoopEnd::Finished;
        pollfd fds[2] = {{engine.socket, PollInterest(engine), 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, WaitLimit(engine));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return LoopEnd::Failed;
        if (ready == 0 && engine.handshaking) {
            engine.handshaking = false;
            engine.tls->failure = Status::SecureConnectionFailed;
            sink.event(LineEvent::SecureFailed);
            continue;
        }
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
