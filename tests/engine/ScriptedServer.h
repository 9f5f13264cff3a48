#pragma once

// A one-connection POP3 server on 127.0.0.1 that plays a script of exact bytes both ways,
// and the reader of the transcript files that hold such scripts with what a test expects.
// It records where the client left the script; judging the client is the test's job.

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using Steps = std::vector<std::string>;
inline constexpr int PatienceMs = 20'000; // every wait of the script and of a session is bounded by it

inline bool WaitFor(int fd, short events)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, PatienceMs) > 0;
}

inline Steps Split(const std::string& text, const std::string& separator)
{
    Steps parts;
    for (std::size_t from = 0, at = 0; at != std::string::npos; from = at + separator.size())
        parts.push_back(text.substr(from, (at = text.find(separator, from)) - from));
    return parts;
}

// text with every `from` replaced by `to` (std::regex trips GCC 12's warnings under ASan).
inline std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// "key rest" of a step or a transcript line.
inline std::pair<std::string, std::string> KeyAndRest(const std::string& line)
{
    const std::size_t space = line.find(' ');
    return {line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)};
}

// Steps: "S: a|b" (lines in one write), "raw: bytes", "C: a|b" (the client's next lines exactly;
// "C: a => b" then sends b), "close", "expect-close" (nothing more before it closes),
// "expect-open", "stop" (raises the stop event), "hello" (the client's first bytes, unread).
inline const std::map<std::string, Steps> Shorthands = {
    {"login", {"S: +OK", "C: USER jo => +OK", "C: PASS pw => +OK"}},
    {"capa-pipelining", {"C: CAPA => +OK|PIPELINING|."}},
    {"capa-refused", {"C: CAPA => -ERR"}},
    {"quit", {"C: QUIT => +OK", "expect-close"}},
};

// Plays the steps on one connection; without steps connecting is refused. split: a byte a write.
struct Server {
    int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), fd = -1;
    std::uint16_t port = 0;
    bool split;
    std::function<void()> stop; // raises the session's stop event
    std::string failure;        // the first way the client left the script
    std::thread thread;

    explicit Server(const Steps& steps, bool split = false, std::function<void()> stop = {}) : split(split), stop(stop)
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(listenFd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (!steps.empty() && listen(listenFd, 4) == 0)
            thread = std::thread([this, steps] {
                const int one = 1;
                fd = WaitFor(listenFd, POLLIN) ? accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
                if (fd < 0)
                    return Fail("no client connected");
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                Play(steps);
                close(fd);
            });
    }
    ~Server()
    {
        Finish();
        close(listenFd);
    }
    const std::string& Finish()
    {
        if (thread.joinable())
            thread.join();
        return failure;
    }
    void Fail(const std::string& why) { failure = failure.empty() ? why : failure; }
    void Send(const std::string& bytes)
    {
        for (std::size_t at = 0; at < bytes.size() && failure.empty();) {
            const ssize_t sent = WaitFor(fd, POLLOUT)
                ? send(fd, bytes.data() + at, split ? 1 : bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
            if (sent <= 0 && errno != EAGAIN)
                Fail("the client did not take the bytes");
            at += sent > 0 ? sent : 0;
            if (split)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Reads until `want` came or stopped matching (a client off its script fails at once), or until it closes.
    std::string Read(const std::string& want)
    {
        std::string got;
        char buffer[4096];
        for (ssize_t n = 1; failure.empty() && n > 0 && (want.empty() || (got.size() < want.size() && want.starts_with(got)));) {
            const std::size_t room = want.empty() ? sizeof buffer : std::min(sizeof buffer, want.size() - got.size());
            n = WaitFor(fd, POLLIN) ? recv(fd, buffer, room, 0) : -1;
            if (n < 0 || (n == 0 && !want.empty()))
                Fail(n < 0 ? "the client neither sent nor closed" : "the client closed early");
            got.append(buffer, n > 0 ? n : 0);
        }
        return got;
    }
    void Play(const Steps& steps)
    {
        const auto lines = [](const std::string& text) { return Replaced(text, "|", "\r\n") + "\r\n"; };
        for (const std::string& step : steps) {
            const auto [key, rest] = KeyAndRest(step);
            const std::size_t reply = rest.find(" => ");
            char buffer[4096];
            if (Shorthands.count(key))
                Play(Shorthands.at(key));
            else if (key == "S:" || key == "raw:")
                Send(key == "S:" ? lines(rest) : rest);
            else if (key == "C:") {
                const std::string want = lines(rest.substr(0, reply)), got = Read(want);
                if (got != want)
                    Fail("expected \"" + want + "\", got \"" + got + "\"");
                else if (reply != std::string::npos)
                    Send(lines(rest.substr(reply + 4)));
            } else if (key == "close")
                close(std::exchange(fd, -1));
            else if (key == "expect-close" && !Read("").empty())
                Fail("the client sent more before it closed");
            else if (key == "stop")
                stop();
            else if (key == "hello" && (!WaitFor(fd, POLLIN) || recv(fd, buffer, sizeof buffer, 0) <= 0))
                Fail("no hello came"); // a TLS client's first bytes, taken unread
            else if (key == "expect-open") {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (recv(fd, buffer, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                    Fail("the client closed too early");
            }
        }
    }
};

// A case: "=== name", then steps and keywords "; " apart; "repeat A..B STEP" plays STEP for {i}
// from A to B. Options: split (once more byte by byte), password, seen, one-at-a-time, time-limit,
// starttls, tls. Results: status (a failure), messages, "message N UID|FROM|SUBJECT" (UID "-":
// none), new-mail, digests ("" for the empty unique-id).
struct Transcript {
    std::string name;
    Steps steps;                              // the steps and keywords in order
    std::map<std::string, std::string> lines; // the last value of each keyword
};

inline std::vector<Transcript> LoadTranscripts(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Transcript> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("=== ", 0) == 0)
            cases.emplace_back().name = line.substr(4);
        for (const std::string& clause : line.empty() || line[0] == '#' || line[0] == '=' ? Steps{} : Split(line, "; ")) {
            auto [key, rest] = KeyAndRest(clause);
            if (key != "repeat") {
                cases.back().steps.push_back(clause);
                cases.back().lines[key] = rest;
            } else
                for (int i = std::stoi(rest); i <= std::stoi(rest.substr(rest.find("..") + 2)); ++i)
                    cases.back().steps.push_back(Replaced(KeyAndRest(rest).second, "{i}", std::to_string(i)));
        }
    }
    return cases; // none when the file cannot be read
}
