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

// A line longer than this is not a protocol line; it would only grow without bound.
inline constexpr std::size_t MaxLineLength = std::size_t{1} << 20;

// Cuts received bytes into CR LF terminated lines. The work is linear in the bytes
// received: each byte is searched once, and the consumed lines are dropped from the
// front once per call, not once per line.
struct LineAssembler {
    std::string pending;      // bytes of a line not yet complete
    std::size_t searched = 0; // the prefix of pending that holds no CR LF
    std::size_t limit = MaxLineLength;

    // Appends bytes and calls onLine(line) for every complete line, in order, with
    // the line's bytes without CR LF. False, and no more lines, once a line, complete or
    // not, is longer than limit bytes, however the reads fell.
    template <typename OnLine>
    bool Feed(std::string_view bytes, OnLine&& onLine)
    {
        pending.append(bytes);
        std::size_t lineStart = 0;
        for (;;) {
            const std::size_t end = pending.find("\r\n", searched);
            if (end == std::string::npos)
                break;
            if (end - lineStart > limit)
                return false;
            onLine(std::string_view(pending).substr(lineStart, end - lineStart));
            lineStart = end + 2;
            searched = lineStart;
        }
        pending.erase(0, lineStart);
        // A CR at the very end may pair with the LF of the next read.
        searched = pending.empty() ? 0 : pending.size() - 1;
        return pending.size() - (pending.ends_with('\r') ? 1 : 0) <= limit;
    }
};

// What the line engine tells its owner besides the lines themselves.
enum class LineEvent {
    Connected,     // the connection is made
    ConnectFailed, // the connection could not be made
    Closed,        // the peer closed the connection, or it broke
    LineTooLong,   // a line passed its bound
    TimedOut,      // nothing arrived within the time limit
    Secured,       // the handshake asked for by StartTls succeeded and is verified
    SecureFailed,  // a handshake failed, timed out or its certificate was refused (see tls->failure)
};

struct LineSink {
    std::function<void(std::string_view line)> line;
    std::function<void(LineEvent event)> event;
    std::function<bool()> finished; // true ends the loop
};

// Bytes queued for sending beyond which the owner is to queue no more.
inline constexpr std::size_t MaxOutgoing = 64 * 1024;
// One read takes up to this much: room for a whole window of replies at once.
inline constexpr std::size_t ReceiveAreaSize = 64 * 1024;

struct LineEngine {
    int socket = -1;
    bool connecting = true; // the non-blocking connect has not completed yet
    std::string outgoing;   // bytes queued, not yet taken by the socket
    LineAssembler input;
    std::unique_ptr<char[]> receiveArea = std::make_unique<char[]>(ReceiveAreaSize);
    // The longest wait for the connection and, after it, for the next received bytes.
    std::chrono::milliseconds timeLimit{60'000};

    // TLS under the lines. With secureFromStart the handshake follows the connect and
    // Connected is reported only once it is verified; else StartTls begins it.
    TlsTrust trust;
    bool secureFromStart = false;
    bool secureRequested = false; // StartTls was called; begins once the input is handled
    std::unique_ptr<TlsChannel> tls;
    bool handshaking = false;
    TlsStep tlsWaitsFor = TlsStep::Done; // what the last TLS call needs from the socket
    bool tlsBroken = false;
};

// Secures the connection once the lines received so far are handled, if the line that asked
// for it came alone: with anything received after it, or still to be sent, the reply was out
// of turn, and SecureFailed follows instead.
void StartTls(LineEngine& engine);

// Queues bytes to send and hands the socket what it takes at once.
void QueueBytes(LineEngine& engine, std::string_view bytes);
// False while the queued bytes are at their bound; reading goes on meanwhile.
bool HasRoomToSend(const LineEngine& engine);

ssize_t ReadSocket(LineEngine& engine, char* area, std::size_t size);
ssize_t WriteSocket(LineEngine& engine, const char* bytes, std::size_t size);
short PollInterest(const LineEngine& engine);

enum class LoopEnd { Finished, Stopped, Failed };

// Serves the connection until sink.finished() is true (Finished), stopFd becomes
// readable (Stopped; the stop is consumed) or waiting itself fails (Failed). Every
// wait is bounded by the time limit, which starts again whenever bytes arrive.
LoopEnd RunLineEngine(LineEngine& engine, int stopFd, const LineSink& sink);
