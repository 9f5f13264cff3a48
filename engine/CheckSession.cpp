#include "CheckSession.h"

#include "HostLookup.h"
#include "LineEngine.h"
#include "Pop3Dialogue.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

struct Session {
    std::shared_ptr<WorkerLink> link;
    int stopFd = -1;
    LineEngine lines;
    Pop3Dialogue dialogue;
    // Set when the dialogue raised the stop event itself: the loop consumes it, as
    // the wait would have.
    bool stopSignalled = false;
};

void SignalStop(Session& s)
{
    s.stopSignalled = true;
    s.link->SignalStop();
}

// A certificate refused only for its issuer is offered to the user to trust.
void SecureConnectionFailed(Session& s)
{
    const TlsChannel* tls = s.lines.tls.get();
    if (tls && TlsFailureMayBeTrusted(*tls))
        s.link->OfferCertificate(tls->peer);
    OnSecureConnectionFailed(s.dialogue, tls ? tls->failure : Status::SecureConnectionFailed);
}

// What the line engine reports goes to the dialogue, which decides what it means.
void OnLineEvent(Session& s, LineEvent event)
{
    Pop3Dialogue& d = s.dialogue;
    switch (event) {
    case LineEvent::Secured:
        return OnSecured(d);
    case LineEvent::SecureFailed:
        return SecureConnectionFailed(s);
    case LineEvent::Connected:
        return OnConnected(d);
    case LineEvent::ConnectFailed:
    case LineEvent::Closed:
        return OnConnectionLost(d);
    case LineEvent::LineTooLong:
        return OnSessionBroken(d);
    case LineEvent::TimedOut:
        return OnTimeLimit(d);
    }
}

void RunEventLoop(Session& s)
{
    Pop3Dialogue& d = s.dialogue;
    const LineSink sink{
        [&d](std::string_view line) { HandleLine(d, line); },
        [&s](LineEvent event) { OnLineEvent(s, event); },
        [&d] { return d.ended; },
    };
    const LoopEnd end = RunLineEngine(s.lines, s.stopFd, sink);
    if (end == LoopEnd::Finished && s.stopSignalled)
        AutoResetEvent::TryConsumeFd(s.stopFd);
}

void ConnectDialogue(Session& s, CheckRequest& request)
{
    Pop3Dialogue& d = s.dialogue;
    d.user = std::move(request.connection.user);
    d.password = std::move(request.connection.password);
    d.seenDigests = std::move(request.seenDigests);
    d.mayPipeline = request.pipelining;
    s.lines.timeLimit = request.replyTimeLimit;
    d.outlet.sendCommand = [&s](std::string_view bytes) { QueueBytes(s.lines, bytes); };
    d.outlet.canSend = [&s] { return HasRoomToSend(s.lines); };
    d.outlet.postStatus = [&s](StatusCode code) { s.link->PostStatus(code); };
    d.outlet.publishResults = [&s](CheckResults&& results) { s.link->PublishResults(std::move(results)); };
    d.outlet.signalStop = [&s] { SignalStop(s); };
    d.outlet.startTls = [&s] { StartTls(s.lines); };
    d.outlet.limitWait = [&s, normal = request.replyTimeLimit](std::chrono::milliseconds limit) {
        s.lines.timeLimit = std::min(limit, normal);
    };
    d.startTls = request.secure.security == Security::StartTls;
    s.lines.secureFromStart = request.secure.security == Security::Tls;
    s.lines.trust = {request.connection.host, request.secure.caFile, request.secure.trustedFingerprint};
}

// Opens the non-blocking connection; -1 (status 16 posted) when that failed at once.
int OpenConnection(WorkerLink& link, std::uint32_t address, std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        link.PostStatus(Status::CannotConnect);
        return -1;
    }
    // A turn's commands already leave in one write; Nagle would hold that write back for the
    // acknowledgement of the previous one, a round trip lost at every turn of a pipelined check.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = address;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 && errno != EINPROGRESS
        && errno != EINTR) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        link.PostStatus(Status::CannotConnect);
        return -1;
    }
    return fd;
}

} // namespace

std::uint32_t CheckSessionThread(std::shared_ptr<WorkerLink> link, CheckRequest request)
{
    // request.stopFd belongs to the worker thread, which closes it after this returns.
    if (!IsSendableArgument(request.connection.user) || !IsSendableArgument(request.connection.password)) {
        link->PostStatus(Status::CredentialsNotSendable);
        return 1;
    }
    link->PostStatus(Status::Connecting);
    std::uint32_t address = 0;
    const Resolution resolution = ResolveServer(request.connection.host, request.resolveHost, request.stopFd, address);
    // Stopped while looking up: as if the thread had been ended there, nothing more is said.
    if (resolution == Resolution::Stopped)
        return 1;
    if (resolution == Resolution::NotFound || address == INADDR_NONE) {
        link->PostStatus(Status::CannotConnect);
        return 1;
    }
    const int fd = OpenConnection(*link, address, request.connection.port);
    if (fd < 0)
        return 1;

    auto session = std::make_unique<Session>();
    session->link = link;
    session->stopFd = request.stopFd;
    session->lines.socket = fd;
    ConnectDialogue(*session, request);
    try {
        RunEventLoop(*session);
    } catch (const std::exception&) {
        // Out of memory, in practice: end this check as a failed one.
        OnSessionBroken(session->dialogue);
    }

    shutdown(fd, SHUT_RDWR);
    close(fd);
    // Released before the user interface hears of the end, so that what it does then
    // (giving freed memory back) finds the session's containers gone.
    session.reset();
    link->SignalFinished();
    return 0;
}
