#pragma once

// A one-connection server on 127.0.0.1 that plays a script of exact bytes, for
// driving the check engine through real sockets. Every wait is bounded.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

inline constexpr std::chrono::seconds ScriptPatience{20};

// The accepted connection, as the script sees it.
struct ScriptConnection {
    int fd = -1;
    std::string received; // every byte the client sent, in order
    std::string failure;  // the first thing that went against the script

    void Send(std::string_view bytes);
    // Sends one byte at a time, pausing between them, so that the client meets
    // the text split at every position.
    void SendByteByByte(std::string_view bytes);
    // Reads until exactly these bytes have come; records a failure otherwise.
    void Expect(std::string_view bytes);
    // Reads until the client closes; records a failure for bytes that came before.
    void ExpectClosed();
    // Sends filler without line ends until the client goes away or limit bytes
    // are out; returns how many bytes were accepted by the connection.
    std::size_t Flood(std::size_t limit);
    void Close();
};

struct ScriptedServer {
    int listenFd = -1;
    std::uint16_t port = 0;
    std::thread thread;
    std::mutex mutex;
    std::string received;
    std::string failure;
    bool done = false;

    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Accepts one connection and runs the script on it, on a thread of its own.
    void Start(std::function<void(ScriptConnection&)> script);
    // Waits for the script to end; false when it did not end in time.
    bool Finish();
};

// A port on 127.0.0.1 with nothing listening on it.
std::uint16_t ClosedPort();
