#pragma once

// A one-connection POP3 server on 127.0.0.1 that plays a script of exact bytes both ways,
// and the reader of the transcript files that hold such scripts with what a test expects.
// It records where the client left the script; judging the client is the test's job.

#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
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

inline Steps Split(const std::string& text, char separator)
{
    Steps parts(1);
    for (char c : text)
        if (c == separator)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    return parts;
}

// One accepted connection as the script sees it.
struct Script {
    int fd = -1;
    std::string received, failure;
    std::function<void()> stop; // raises the session's stop event

    void Fail(const std::string& why)
    {
        if (failure.empty())
            failure = why;
    }
    // split: one byte a write, so that the client meets the text cut at every position.
    void Send(const std::string& bytes, bool split)
    {
        for (std::size_t at = 0; at < bytes.size() && failure.empty();) {
            const ssize_t sent = WaitFor(fd, POLLOUT)
                ? send(fd, bytes.data() + at, split ? 1 : bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
            if (sent > 0)
                at += static_cast<std::size_t>(sent);
            else if (errno != EAGAIN)
                Fail("the client did not take the bytes");
            if (split)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Reads until `want` bytes came or, with want 0, until the client closes.
    std::string Read(std::size_t want)
    {
        std::string got;
        char buffer[4096];
        while (failure.empty() && (want == 0 || got.size() < want)) {
            const std::size_t room = want ? std::min(sizeof buffer, want - got.size()) : sizeof buffer;
            const ssize_t n = WaitFor(fd, POLLIN) ? recv(fd, buffer, room, 0) : -1;
            if (n <= 0) {
                if (n < 0 || want)
                    Fail(n < 0 ? "the client neither sent nor closed" : "the client closed early");
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        received += got;
        return got;
    }
    void Expect(const std::string& bytes)
    {
        const std::string got = Read(bytes.size());
        if (failure.empty() && got != bytes)
            Fail("expected \"" + bytes + "\", got \"" + got + "\"");
    }
};

// Steps: "S: a|b" (lines sent in one write, with CR LF), "raw: bytes" (no CR LF), "C: a|b" (the
// client must send exactly these lines next; "C: a => b" then sends b), "close", "expect-close" (the client closes with
// nothing more sent), "expect-open" (it has not closed yet), "flood" (an endless line), "stop"
// (the session is told to stop), "hello" (the client's first bytes, unread), and
// the shorthands "login" (USER jo, PASS pw accepted), "capa-pipelining", "capa-refused", "quit".
inline void Play(Script& s, const Steps& steps, bool split)
{
    static const std::map<std::string, Steps> shorthands = {
        {"login", {"S: +OK", "C: USER jo => +OK", "C: PASS pw => +OK"}},
        {"capa-pipelining", {"C: CAPA => +OK|PIPELINING|."}},
        {"capa-refused", {"C: CAPA => -ERR"}},
        {"quit", {"C: QUIT => +OK", "expect-close"}},
    };
    const auto lines = [](const std::string& text) {
        std::string bytes;
        for (const std::string& line : Split(text, '|'))
            bytes += line + "\r\n";
        return bytes;
    };
    for (const std::string& step : steps) {
        const std::string key = step.substr(0, step.find(' ')), rest = step.substr(std::min(step.size(), key.size() + 1));
        const std::size_t reply = rest.find(" => ");
        if (shorthands.count(key))
            Play(s, shorthands.at(key), split);
        else if (key == "S:" || key == "raw:")
            s.Send(key == "S:" ? lines(rest) : rest, split);
        else if (key == "C:" && reply != std::string::npos) {
            s.Expect(lines(rest.substr(0, reply)));
            s.Send(lines(rest.substr(reply + 4)), split);
        } else if (key == "C:")
            s.Expect(lines(rest));
        else if (key == "close")
            close(std::exchange(s.fd, -1));
        else if (key == "expect-close" && !s.Read(0).empty())
            s.Fail("the client sent more before it closed");
        else if (key == "flood" && s.failure.empty()) {
            for (int i = 0; i < 1024 && s.failure.empty(); ++i)
                s.Send(std::string(65536, 'x'), false);
            s.failure.clear(); // the client is expected to give up on the line
        }
        else if (key == "stop")
            s.stop();
        else if (key == "hello") { // a TLS client's first bytes, taken unread
            char hello[4096];
            if (!WaitFor(s.fd, POLLIN) || recv(s.fd, hello, sizeof hello, 0) <= 0)
                s.Fail("no hello came");
        } else if (key == "expect-open") {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            char byte;
            if (recv(s.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                s.Fail("the client closed too early");
        }
    }
}

// A socket bound on 127.0.0.1 that accepts one connection and plays the steps on it;
// without steps it does not listen, and connecting is refused.
struct Server {
    int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;
    Script script;
    std::thread thread;

    explicit Server(const Steps& steps, bool split = false, std::function<void()> stop = {})
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        bind(listenFd, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (steps.empty() || listen(listenFd, 4) != 0)
            return;
        thread = std::thread([this, steps, split, stop] {
            script.fd = WaitFor(listenFd, POLLIN) ? accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (script.fd < 0)
                return script.Fail("no client connected");
            const int one = 1;
            setsockopt(script.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            script.stop = stop;
            Play(script, steps, split);
            if (script.fd >= 0)
                close(script.fd);
        });
    }
    // "" when the client went as the script says.
    std::string Finish()
    {
        if (thread.joinable())
            thread.join();
        return script.failure;
    }
    ~Server()
    {
        Finish();
        close(listenFd);
    }
};

// A transcript case starts with "=== name", then its steps (above) and its lines:
// options "split" (played once more byte by byte), "password P", "seen UID...",
// "one-at-a-time", "time-limit MS", "starttls", "tls", "repeat A..B" ... "end" around
// steps with {i} for the number; expected "status N", "exit N", "published" (else the
// earlier results stay), "messages N", "message N UID|FROM|SUBJECT" (UID "-": none),
// "new-mail yes|no", "digests UID..." ("" for the empty unique-id).
struct Transcript {
    std::string name;
    Steps steps;
    std::map<std::string, std::string> lines; // the other lines, by keyword
    Steps messages;
};

inline const std::set<std::string> StepKeys = {"S:", "C:", "raw:", "close", "expect-close", "expect-open", "flood",
                                        "login", "quit", "capa-pipelining", "capa-refused", "stop", "hello"};

inline std::vector<Transcript> LoadTranscripts(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Transcript> cases;
    Steps block;
    int from = 0, to = -1;
    for (std::string line; std::getline(in, line);) {
        const std::string key = line.substr(0, line.find(' ')), rest = line.substr(std::min(line.size(), key.size() + 1));
        if (line.empty() || line[0] == '#')
            continue;
        if (key == "===") {
            cases.emplace_back().name = rest;
        } else if (key == "repeat") {
            from = std::stoi(rest);
            to = std::stoi(rest.substr(rest.find("..") + 2));
        } else if (key == "end") {
            for (int i = from; i <= to; ++i)
                for (std::string step : block) {
                    for (std::size_t at; (at = step.find("{i}")) != std::string::npos;)
                        step.replace(at, 3, std::to_string(i));
                    cases.back().steps.push_back(step);
                }
            block.clear();
            to = -1;
        } else if (to >= 0) {
            block.push_back(line);
        } else if (StepKeys.count(key)) {
            cases.back().steps.push_back(line);
        } else if (key == "message") {
            cases.back().messages.push_back(rest);
        } else {
            cases.back().lines[key] = rest;
        }
    }
    return cases; // none when the file cannot be read
}

