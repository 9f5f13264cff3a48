#pragma once

#include "AutoResetEvent.h"
#include "MessageIdentity.h"
#include "StatusCodes.h"
#include "TlsChannel.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// How a check protects its connection; the numbers are the stored `Security` values.
enum class Security : std::uint32_t {
    None = 0,     // plain POP3
    StartTls = 1, // plain connection, STLS after the greeting
    Tls = 2,      // TLS from the first byte
};

// The four values a check connects with. Each worker gets its own copy when it
// starts, so a settings change can never land half-way into a running check.
struct ConnectionSettings {
    std::string host;
    std::uint16_t port = 110;
    std::string user;
    std::string password;
};

// How a check protects its connection.
struct SecureConnection {
    Security security = Security::None;
    std::string caFile; // postbell-check's --cafile; the desktop program has none
    std::string trustedFingerprint; // SHA-256 hex of the one certificate trusted for host; empty: none
};

struct WorkerThread; // engine/WorkerThread.h
struct WorkerLink;   // engine/CheckSession.h
struct CheckRequest; // engine/CheckSession.h

// Blocking name lookup of an IPv4 address (network byte order); a seam for tests.
using HostResolver = std::function<bool(const std::string& host, std::uint32_t& address)>;
// What a worker thread runs; CheckSessionThread unless a test replaces it.
using CheckRoutine = std::function<std::uint32_t(std::shared_ptr<WorkerLink>, CheckRequest)>;

// The one object that the user interface thread and the worker share.
struct Application {
    Application();
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    std::atomic<StatusCode> status{Status::Ready};
    // What the next check connects with, set by whoever starts it.
    ConnectionSettings connection;
    SecureConnection secure;
    std::unique_ptr<WorkerThread> workerThread; // null when no worker is kept
    AutoResetEvent stopEvent;
    AutoResetEvent finishedEvent;
    AutoResetEvent statusEvent;
    bool newMail = false;
    MessageTable messages;
    DigestSet seenDigests;
    // The certificate of the last check, when it failed only for an unknown issuer or a
    // self-signed certificate; the user may trust it. Cleared when a check starts.
    std::optional<CertificateDetails> offeredCertificate;
    // Orders the worker's hand-over of messages, seenDigests and newMail against
    // every read of them on the user interface thread.
    std::mutex resultsMutex;
    bool pipelining = true;     // false: one command at a time even where the server could take more
    CheckRoutine checkRoutine;  // empty: CheckSessionThread
    HostResolver resolveHost;   // empty: getaddrinfo

    // Worker thread only: store the code, then wake the user interface.
    void PostStatus(StatusCode code);
};
