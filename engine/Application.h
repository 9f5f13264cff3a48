#pragma once

#include "AutoResetEvent.h"
#include "MessageIdentity.h"
#include "StatusCodes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>


struct Settings {
    std::uint32_t delay = 5; // minutes, 1 to 60 once loaded or confirmed
    std::string user;
    std::string password; // plain text, as stored
    std::string host;
    std::uint16_t port = 110;
    bool waitForDialup = false;
    bool runAtStartup = false;
};

// The four values a check connects with. Each worker gets its own copy when it
// starts, so a settings change can never land half-way into a running check.
struct ConnectionSettings {
    std::string host;
    std::uint16_t port = 110;
    std::string user;
    std::string password;
};

struct WorkerThread; // engine/WorkerThread.h
struct WorkerLink;   // engine/CheckSession.h
struct CheckRequest; // engine/CheckSession.h
struct Desktop;      // the desktop program's windows and icons (app/), absent in the engine's tools

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
    Settings settings;
    std::unique_ptr<WorkerThread> workerThread; // null when no worker is kept
    AutoResetEvent stopEvent;
    AutoResetEvent finishedEvent;
    AutoResetEvent statusEvent;
    bool newMail = false;
    bool firstRun = false;
    bool trayShowsNewMail = false;
    bool balloonCapable = false;
    MessageTable messages;
    DigestSet seenDigests;
    // Orders the worker's hand-over of messages, seenDigests and newMail against
    // every read of them on the user interface thread.
    std::mutex resultsMutex;
    Desktop* desktop = nullptr; // set by the desktop program for the life of its windows
    bool pipelining = true;     // false: one command at a time even where the server could take more
    CheckRoutine checkRoutine;  // empty: CheckSessionThread
    HostResolver resolveHost;   // empty: getaddrinfo

    // Worker thread only: store the code, then wake the user interface.
    void PostStatus(StatusCode code);
    ConnectionSettings Connection() const;
};
