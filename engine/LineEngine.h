#pragma once

#include "TlsChannel.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

// The transport's line engine: one non-blocking TCP connection cut into CR LF lines.
// It owns the buffers, the cutting, the time limit and the poll loop, and knows
// nothing of what the lines mean.
//
// Every byte read from and written to the socket passes through ReadSocket and
// WriteSocket, and the poll interest comes from PollInterest alone, so that a layer
// put under the lines (TLS) needs to replace only those three.

// Cuts received bytes into CR LF terminated lines. The work is linear in the bytes
// received: each byte is searched once, and the consumed lines are dropped from the
// front once per call, not once per line.
struct LineAssembler {
    std::string pending;      // bytes of a line not yet complete
    std::size_t searched = 0; // the prefix of pending that holds no CR LF

    // Appends bytes and calls onLine(line) for every complete line, in order, with
    // the line's bytes without CR LF.
    template <typename OnLine>
    void Feed(std::string_view bytes, OnLine&& onLine)
    {
        pending.append(bytes);
        std::size_t lineStart = 0;
        for (;;) {
            const std::size_t end = pending.find("\r\n", searched);
            if (end == std::string::npos)
                break;
            onLine(std::string_view(pending).substr(lineStart, end - lineStart));
            lineStart = end + 2;
            searched = lineStart;
        }
        pending.erase(0, lineStart);
        // A CR at the very end may pair with the LF of the next read.
        searched = pending.empty() ? 0 : pending.size() - 1;
    }
};

// What the line engine tells its owner besides the lines themselves.
enum class LineEvent {
    Connected,     // the connection is made
    ConnectFailed, // the connection could not be made
    Closed,        // the peer closed the connection, or it broke
    LineTooLong,   // a partial line passed its bound
    Secured,       // the handshake asked for by StartTls succeeded and is verified
    SecureFailed,  // a handshake failed or its certificate was refused (see tls->failure)
};

struct LineSink {
    std::function<void(std::string_view line)> line;
    std::function<void(LineEvent event)> event;
    std::function<bool()> finished; // true ends the loop
};

struct LineEngine {
    int socket = -1;
    bool connecting = true; // the non-blocking connect has not completed yet
    std::string outgoing;   // bytes queued, not yet taken by the socket
    LineAssembler input;

    // TLS under the lines. With secureFromStart the handshake follows the connect and
    // Connected is reported only once it is verified; else StartTls begins it.
    TlsTrust trust;
    bool secureFromStart = false;
    bool secureRequested = false; // StartTls was called; begins once the input is handled
    std::unique_ptr<TlsChannel> tls;
    bool handshaking = false;
    TlsStep tlsWaitsFor = TlsStep::Done; // what the last TLS call needs from the socket
    bool tlsBroken = false;
    std::chrono::steady_clock::time_point handshakeDeadline;
};

// How long a TLS handshake may take.
inline constexpr std::chrono::seconds HandshakeTimeLimit{30};

// Secures the connection once the lines received so far are handled; what was received
// in clear after them is dropped.
void StartTls(LineEngine& engine);

// Queues bytes to send and hands the socket what it takes at once.
void QueueBytes(LineEngine& engine, std::string_view bytes);

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size);
ssize_t WriteSocket(LineEngine& engine, const char* bytes, std::size_t size);
short PollInterest(const LineEngine& engine);

enum class LoopEnd { Finished, Stopped, Failed };

// Serves the connection until sink.finished() is true (Finished), stopFd becomes
// readable (Stopped; the stop is consumed) or waiting itself fails (Failed).
LoopEnd RunLineEngine(LineEngine& engine, int stopFd, const LineSink& sink);
