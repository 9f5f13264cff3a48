#include "CheckSession.h"

#include "LineAssembler.h"
#include "Pop3Dialogue.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::size_t ReceiveAreaSize = 2048;
// A partial line longer than this is not POP3; it would only grow without bound.
constexpr std::size_t MaxPendingInput = std::size_t{1} << 20;

struct Session {
    std::shared_ptr<WorkerLink> link;
    int stopFd = -1;
    int socket = -1;
    std::string outgoing;
    LineAssembler input;
    Pop3Dialogue dialogue;
    // Set by the dialogue's own stop; kept locally so that a session whose link
    // was cut still ends.
    bool stopRequested = false;
    bool serverGone = false; // the connection ended under the dialogue
};

// ---- name resolution -------------------------------------------------------

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

enum class Resolution { Found, NotFound, Stopped };

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

Resolution ResolveServer(const std::string& host, const HostResolver& resolver, int stopFd,
                         std::uint32_t& address)
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

// ---- socket input and output ------------------------------------------------

void FlushOutgoing(Session& s)
{
    if (s.outgoing.empty())
        return;
    const ssize_t sent = send(s.socket, s.outgoing.data(), s.outgoing.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // On a failure the bytes wait for the next writability.
    if (sent > 0)
        s.outgoing.erase(0, static_cast<std::size_t>(sent));
}

void SendCommand(Session& s, std::string_view bytes)
{
    s.outgoing.append(bytes);
    FlushOutgoing(s);
}

void RequestStop(Session& s)
{
    s.stopRequested = true;
    s.link->SignalStop();
}

// The connection ended, or became useless, before the dialogue did. Status::None: no status.
void EndUnderDialogue(Session& s, StatusCode code)
{
    if (code != Status::None)
        s.link->PostStatus(code);
    s.serverGone = true;
}

StatusCode StatusForLostServer(Pop3State state)
{
    switch (state) {
    case Pop3State::Connecting:
    case Pop3State::AwaitGreeting:
        return Status::CannotConnect;
    case Pop3State::AwaitQuitReply:
        return Status::None; // the outcome is already reported
    default:
        return Status::ServerError;
    }
}

void Receive(Session& s)
{
    char area[ReceiveAreaSize];
    const ssize_t got = recv(s.socket, area, sizeof area, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0)
        return EndUnderDialogue(s, StatusForLostServer(s.dialogue.state));
    s.input.Feed(std::string_view(area, static_cast<std::size_t>(got)),
                 [&s](std::string_view line) { HandleLine(s.dialogue, line); });
    if (s.input.pending.size() > MaxPendingInput) {
        const bool reported = s.dialogue.state == Pop3State::AwaitQuitReply;
        EndUnderDialogue(s, reported ? Status::None : Status::ServerError);
    }
}

// Completes the connect; false when it failed.
bool FinishConnect(Session& s)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s.socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0)
        return false;
    s.dialogue.state = Pop3State::AwaitGreeting;
    return true;
}

void ServeSocket(Session& s, short revents)
{
    if (s.dialogue.state == Pop3State::Connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0)
            return;
        if (!FinishConnect(s)) {
            s.link->PostStatus(Status::CannotConnect);
            return RequestStop(s);
        }
    }
    if ((revents & POLLOUT) != 0)
        FlushOutgoing(s);
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        Receive(s);
}

short SocketEvents(const Session& s)
{
    // Ask for writability only when something waits for it, so the wait never spins.
    const bool wantWrite = s.dialogue.state == Pop3State::Connecting || !s.outgoing.empty();
    return static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
}

void RunEventLoop(Session& s)
{
    for (;;) {
        if (s.stopRequested) {
            // The session's own stop: consume it as the wait would have.
            AutoResetEvent::TryConsumeFd(s.stopFd);
            return;
        }
        if (s.serverGone)
            return;
        pollfd fds[2] = {{s.socket, SocketEvents(s), 0}, {s.stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return;
        if (fds[0].revents != 0)
            ServeSocket(s, fds[0].revents);
        // The stop is served after the socket but in the same turn, so that a server
        // that never pauses cannot hold it off.
        if (fds[1].revents != 0) {
            AutoResetEvent::TryConsumeFd(s.stopFd);
            return;
        }
    }
}

void ConnectDialogue(Session& s, CheckRequest& request)
{
    Pop3Dialogue& d = s.dialogue;
    d.user = std::move(request.connection.user);
    d.password = std::move(request.connection.password);
    d.seenDigests = std::move(request.seenDigests);
    d.outlet.sendCommand = [&s](std::string_view bytes) { SendCommand(s, bytes); };
    d.outlet.postStatus = [&s](StatusCode code) { s.link->PostStatus(code); };
    d.outlet.publishResults = [&s](CheckResults&& results) { s.link->PublishResults(std::move(results)); };
    d.outlet.signalStop = [&s] { RequestStop(s); };
}

// Opens the non-blocking connection; -1 (status 16 posted) when that failed at once.
int OpenConnection(WorkerLink& link, std::uint32_t address, std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        link.PostStatus(Status::CannotConnect);
        return -1;
    }
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
    session->socket = fd;
    ConnectDialogue(*session, request);
    try {
        RunEventLoop(*session);
    } catch (const std::exception&) {
        // Out of memory, in practice: end this check as a failed one.
        if (session->dialogue.state != Pop3State::AwaitQuitReply)
            link->PostStatus(Status::ServerError);
    }

    shutdown(fd, SHUT_RDWR);
    close(fd);
    // Released before the user interface hears of the end, so that what it does then
    // (giving freed memory back) finds the session's containers gone.
    session.reset();
    link->SignalFinished();
    return 0;
}
