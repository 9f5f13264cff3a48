#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Waits for events on fd until the deadline; false on time-out.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::uint16_t BoundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

} // namespace

void ScriptConnection::Send(std::string_view bytes)
{
    if (!failure.empty())
        return;
    const auto deadline = Clock::now() + ScriptPatience;
    while (!bytes.empty()) {
        if (!WaitFor(fd, POLLOUT, deadline)) {
            failure = "the client did not take the bytes in time";
            return;
        }
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (sent <= 0) {
            failure = "send failed";
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

void ScriptConnection::SendByteByByte(std::string_view bytes)
{
    for (char c : bytes) {
        if (!failure.empty())
            return;
        Send(std::string_view(&c, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ScriptConnection::Expect(std::string_view bytes)
{
    if (!failure.empty())
        return;
    const auto deadline = Clock::now() + ScriptPatience;
    std::string got;
    while (got.size() < bytes.size()) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            failure = "expected \"" + std::string(bytes) + "\", got \"" + got + "\" before the time-out";
            return;
        }
        char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, bytes.size() - got.size());
        const ssize_t n = recv(fd, buffer, want, 0);
        if (n <= 0) {
            failure = "expected \"" + std::string(bytes) + "\", got \"" + got + "\" and then the end";
            return;
        }
        got.append(buffer, static_cast<std::size_t>(n));
        received.append(buffer, static_cast<std::size_t>(n));
    }
    if (got != bytes)
        failure = "expected \"" + std::string(bytes) + "\", got \"" + got + "\"";
}

void ScriptConnection::ExpectClosed()
{
    if (!failure.empty())
        return;
    const auto deadline = Clock::now() + ScriptPatience;
    std::string extra;
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline)) {
            failure = "the client did not close the connection";
            return;
        }
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        extra.append(buffer, static_cast<std::size_t>(n));
        received.append(buffer, static_cast<std::size_t>(n));
    }
    if (!extra.empty())
        failure = "unexpected bytes before the close: \"" + extra + "\"";
}

std::size_t ScriptConnection::Flood(std::size_t limit)
{
    const std::string filler(65536, 'x');
    const auto deadline = Clock::now() + ScriptPatience;
    std::size_t total = 0;
    while (total < limit) {
        if (!WaitFor(fd, POLLOUT, deadline))
            break;
        const ssize_t sent = send(fd, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (sent <= 0)
            break;
        total += static_cast<std::size_t>(sent);
    }
    return total;
}

void ScriptConnection::Close()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

ScriptedServer::ScriptedServer()
{
    listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(0);
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || listen(listenFd, 4) != 0)
        failure = "cannot listen on 127.0.0.1";
    else
        port = BoundPort(listenFd);
}

ScriptedServer::~ScriptedServer()
{
    Finish();
    if (listenFd >= 0)
        close(listenFd);
}

void ScriptedServer::Start(std::function<void(ScriptConnection&)> script)
{
    thread = std::thread([this, script = std::move(script)] {
        ScriptConnection connection;
        if (WaitFor(listenFd, POLLIN, Clock::now() + ScriptPatience))
            connection.fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection.fd < 0) {
            connection.failure = "no client connected";
        } else {
            const int one = 1;
            setsockopt(connection.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            script(connection);
            connection.Close();
        }
        std::lock_guard lock(mutex);
        received = connection.received;
        if (failure.empty())
            failure = connection.failure;
        done = true;
    });
}

bool ScriptedServer::Finish()
{
    // Every step of a script is bounded, so the join is too.
    if (thread.joinable())
        thread.join();
    std::lock_guard lock(mutex);
    return done;
}

std::uint16_t ClosedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const std::uint16_t port = BoundPort(fd);
    close(fd);
    return port;
}
