#pragma once

// A one-connection POP3 server on 127.0.0.1 that plays a script of exact bytes both ways, in
// clear or inside TLS with certificates it makes itself, and the reader of the transcript
// files that hold such scripts with what a test expects. It records where the client left
// the script; judging the client is the test's job.

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/tcp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
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

// Certificates made for the test, all on one key: an authority, whose PEM file the client
// trusts, and for each "secure" step one that names "DNS:name" or "IP:address" as its subject
// alternative name and common name, or "CN:name" as its common name alone.
inline X509* MakeCertificate(const std::string& spec, EVP_PKEY* key, X509* issuer)
{
    static std::atomic<long> serial = 1;
    X509* made = X509_new();
    const std::string name = spec.substr(spec.find(':') + 1), extension = issuer ? spec : "critical,CA:TRUE";
    X509_set_version(made, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(made), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(made), -3600);
    X509_gmtime_adj(X509_getm_notAfter(made), 3600);
    X509_set_pubkey(made, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(made), "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(made, X509_get_subject_name(issuer ? issuer : made));
    const int nid = !issuer ? NID_basic_constraints : spec.starts_with("CN:") ? NID_undef : NID_subject_alt_name;
    if (X509_EXTENSION* added = nid == NID_undef ? nullptr : X509V3_EXT_conf_nid(nullptr, nullptr, nid, extension.c_str()))
        X509_add_ext(made, added, -1), X509_EXTENSION_free(added);
    X509_sign(made, key, EVP_sha256());
    return made;
}

struct TestAuthority {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = MakeCertificate("CN:Postbell test authority", key, nullptr);
    std::string file = "/tmp/postbell-test-ca." + std::to_string(getpid()) + ".pem";
    TestAuthority() { FILE* pem = std::fopen(file.c_str(), "w"); PEM_write_X509(pem, certificate); std::fclose(pem); }
    ~TestAuthority() { std::remove(file.c_str()); }
};
inline TestAuthority& Authority() { static TestAuthority authority; return authority; }

// Steps: "S: a|b" (lines in one write), "raw: bytes", "C: a|b" (the client's next lines exactly;
// "C: a => b" then sends b), "close", "expect-close" (nothing more before it closes),
// "expect-open", "stop" (raises the stop event), "hello" (the client's first bytes, unread),
// "secure CERTIFICATE" (TLS from here on, the server showing that certificate).
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
    SSL_CTX* tls = nullptr;     // once a "secure" step has made the connection secure
    SSL* ssl = nullptr;
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
                sigset_t pipe; // a write after the client left fails here instead of ending the test
                sigemptyset(&pipe), sigaddset(&pipe, SIGPIPE), pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
                const int one = 1;
                fd = WaitFor(listenFd, POLLIN) ? accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
                if (fd < 0)
                    return Fail("no client connected");
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                const timeval patience{PatienceMs / 1000, 0}; // bounds TLS's blocking reads and writes
                for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO})
                    setsockopt(fd, SOL_SOCKET, option, &patience, sizeof patience);
                Play(steps);
                close(fd);
                SSL_free(ssl);
                SSL_CTX_free(tls);
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
            const std::size_t size = split ? 1 : bytes.size() - at;
            const ssize_t sent = ssl ? SSL_write(ssl, bytes.data() + at, int(size))
                : WaitFor(fd, POLLOUT) ? send(fd, bytes.data() + at, size, MSG_NOSIGNAL | MSG_DONTWAIT) : -1;
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
            n = ssl ? SSL_read(ssl, buffer, int(room)) : WaitFor(fd, POLLIN) ? recv(fd, buffer, room, 0) : -1;
            if (ssl && n <= 0) // a time-out, or the end of the connection
                n = SSL_get_error(ssl, int(n)) == SSL_ERROR_WANT_READ ? -1 : 0;
            if (n < 0 || (n == 0 && !want.empty()))
                Fail(n < 0 ? "the client neither sent nor closed" : "the client closed early");
            got.append(buffer, n > 0 ? n : 0);
        }
        return got;
    }
    void Secure(const std::string& certificate)
    {
        X509* shown = MakeCertificate(certificate, Authority().key, Authority().certificate);
        tls = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(tls, shown);
        SSL_CTX_use_PrivateKey(tls, Authority().key);
        X509_free(shown);
        SSL_set_fd(ssl = SSL_new(tls), fd);
        if (SSL_accept(ssl) != 1)
            Fail("no TLS handshake");
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
            else if (key == "secure")
                Secure(rest);
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
// starttls, tls, host (a name that leads to the server). Results: status (a failure), messages,
// "message N UID|FROM|SUBJECT" (UID "-": none), new-mail, digests ("" for the empty unique-id).
struct Transcript {
    std::string name, id;                     // id: the file and the name, as a test's name
    Steps steps;                              // the steps and keywords in order
    std::map<std::string, std::string> lines; // the last value of each keyword
    std::string error;                        // why the file was refused here; empty: read
};

// Each keyword with what may follow it: nothing (-), any text (*), a number (#), yes or no (?),
// or a message's number and three fields (|).
inline const std::string Keywords = " S:* raw:* C:* secure* close- expect-close- expect-open- stop- hello- login- "
    "capa-pipelining- capa-refused- quit- split- password* seen* one-at-a-time- time-limit# starttls- tls- host* "
    "status# messages# new-mail? digests* message| ";

inline bool IsNumber(const std::string& text) { return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos; }

// Empty for a well-formed clause, else why it is not.
inline std::string Malformed(const std::string& clause)
{
    const auto [key, rest] = KeyAndRest(clause);
    const std::size_t dots = rest.find("..");
    if (key == "repeat")
        return dots != std::string::npos && IsNumber(rest.substr(0, dots)) && IsNumber(KeyAndRest(rest.substr(dots + 2)).first)
            ? Malformed(KeyAndRest(rest).second) : "a malformed repeat: " + clause;
    char kind = 'x';
    for (const char candidate : std::string("-*#?|"))
        kind = Keywords.find(" " + key + candidate + " ") != std::string::npos ? candidate : kind;
    const bool fits = kind == '*' || (kind == '-' && rest.empty()) || (kind == '#' && IsNumber(rest))
        || (kind == '?' && (rest == "yes" || rest == "no"))
        || (kind == '|' && IsNumber(KeyAndRest(rest).first) && Split(KeyAndRest(rest).second, "|").size() == 3);
    return fits ? "" : (kind == 'x' ? "an unknown keyword: " : "a malformed clause: ") + clause;
}

// file's cases; a line the reader cannot take refuses the case it is in (a case of its own
// when it stands before the first), and an unreadable file gives one refused case.
inline std::vector<Transcript> LoadTranscripts(const std::string& path, const std::string& file)
{
    std::ifstream in(path);
    std::vector<Transcript> cases;
    const auto refuse = [&](const std::string& why) {
        if (cases.empty())
            cases.push_back({file, file + "_refused", {}, {}, {}});
        cases.back().error = cases.back().error.empty() ? why : cases.back().error;
    };
    if (!in)
        refuse("cannot read " + path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("=== ", 0) == 0) {
            std::string id = file + "_";
            for (const char c : line.substr(4))
                id += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : id.back() == '_' ? "" : "_";
            cases.push_back({line.substr(4), id.substr(0, id.find_last_not_of('_') + 1), {}, {}, {}});
            continue;
        }
        for (const std::string& clause : line.empty() || line[0] == '#' ? Steps{} : Split(line, "; ")) {
            const std::string why = Malformed(clause);
            if (!why.empty() || cases.empty()) {
                refuse(why.empty() ? "a line outside any case: " + line : why);
                continue;
            }
            auto [key, rest] = KeyAndRest(clause);
            if (key != "repeat") {
                cases.back().steps.push_back(clause);
                cases.back().lines[key] = rest;
            } else
                for (int i = std::stoi(rest); i <= std::stoi(rest.substr(rest.find("..") + 2)); ++i)
                    cases.back().steps.push_back(Replaced(KeyAndRest(rest).second, "{i}", std::to_string(i)));
        }
    }
    return cases;
}
