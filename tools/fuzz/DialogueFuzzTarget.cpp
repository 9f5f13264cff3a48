// libFuzzer target: arbitrary server bytes through the line assembler and the POP3 dialogue.
//
// The first input byte picks whether the dialogue may pipeline (its high bit), whether it asks
// for STLS after the greeting (the next bit) and the read size the bytes arrive in (1 to 64), so
// that lines are split at every place a socket could split them; the rest is what the server
// sends. After a reply to STLS the rest stands for what TLS decrypts, if the reply came alone
// and after STLS went out, as the line engine has it. The outgoing bytes are bounded as in the session, and taken by the
// "socket" whenever a read comes in. An input of odd length ends in the time limit, one of even
// length in the server closing the connection.
// The harness holds the dialogue to what the session relies on: nothing is said or sent
// once it has ended, nothing but STLS or QUIT goes out in clear when STLS was asked for,
// statuses are known ones, results are published at most once and only with the "checked"
// status, and the commands it sends stay bounded by the input. Every line also goes through
// the header reader on its own, whose every value must be UTF-8 of at most 255 bytes with no
// control or bidirectional formatting character.

#include "HeaderText.h"
#include "LineEngine.h"
#include "Pop3Dialogue.h"
#include "StatusCodes.h"
#include "StatusText.h"
#include "Utf8Text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string_view>

namespace {

// The session's bounds, kept small so that the fuzzer reaches them.
constexpr std::size_t MaxPending = 4096;
constexpr std::size_t MaxQueued = 256;

struct Observed {
    bool ended = false; // stop signalled or dialogue ended
    bool secureRequested = false;
    bool secured = false;
    int publications = 0;
    StatusCode lastStatus = Status::None;
    std::size_t sentBytes = 0;
    std::size_t queued = 0; // sent since the last read
};

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void Wire(Pop3Dialogue& d, Observed& seen)
{
    d.user = "user";
    d.password = "secret";
    d.seenDigests = {MakeUidDigest("1")};
    d.outlet.sendCommand = [&seen, &d](std::string_view bytes) {
        Require(!seen.ended);
        Require(!d.startTls || seen.secured || bytes == StlsCommand || bytes == QuitCommand);
        seen.sentBytes += bytes.size();
        seen.queued += bytes.size();
    };
    d.outlet.canSend = [&seen] { return seen.queued < MaxQueued; };
    d.outlet.postStatus = [&seen](StatusCode code) {
        Require(!StatusText(code).empty());
        seen.lastStatus = code;
    };
    d.outlet.publishResults = [&seen](CheckResults&& results) {
        ++seen.publications;
        Require(seen.publications == 1);
        // One entry per number in ascending order, each digest once in order: what lookups rely on.
        const auto& entries = results.messages.entries;
        Require(std::adjacent_find(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
                    return a.number >= b.number;
                }) == entries.end());
        Require(std::adjacent_find(results.digests.begin(), results.digests.end(), std::greater_equal<>())
                == results.digests.end());
        CheckResults dropped = std::move(results);
    };
    d.outlet.signalStop = [&seen] { seen.ended = true; };
    d.outlet.startTls = [&seen] { seen.secureRequested = true; };
    d.outlet.limitWait = [](std::chrono::milliseconds) {};
}

void CheckShownValue(const std::optional<DecodedHeader>& header)
{
    if (!header)
        return;
    const std::string& value = header->value;
    Require(value.size() <= HeaderValueLimit && IsValidUtf8(value));
    char32_t c = 0;
    for (std::size_t at = 0; at < value.size(); at += Utf8CharAt(value, at, c))
        Require(Utf8CharAt(value, at, c) > 0 && !IsUnsafeToDisplay(c));
}

// What the line engine does once the reply to STLS is handled: TLS, when nothing came with
// the reply; the rest of the input is then the decrypted stream.
void SecureWhenAsked(Pop3Dialogue& d, Observed& seen, LineAssembler& input)
{
    if (!seen.secureRequested || seen.ended || d.ended)
        return;
    seen.secureRequested = false;
    if (!input.pending.empty() || seen.queued > 0) // more came with the reply, or STLS was not sent yet
        return OnSecureConnectionFailed(d, Status::SecureConnectionFailed);
    seen.secured = true;
    OnSecured(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t chunk = std::size_t{data[0] & 0x3fu} + 1;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    Pop3Dialogue d;
    Observed seen;
    Wire(d, seen);
    d.mayPipeline = (data[0] & 0x80u) != 0;
    d.startTls = (data[0] & 0x40u) != 0;
    OnConnected(d);
    HeaderText headers; // every line read as a header, as if each stood in a TOP reply
    LineAssembler input;
    input.limit = MaxPending;
    while (!bytes.empty() && !seen.ended && !d.ended) {
        const std::string_view piece = bytes.substr(0, chunk);
        bytes.remove_prefix(piece.size());
        seen.queued = 0;
        const bool fits = input.Feed(piece, [&](std::string_view line) {
            CheckShownValue(line == "." ? FinishHeaderBlock(headers) : FeedHeaderLine(headers, line));
            if (!seen.ended && !d.ended)
                HandleLine(d, line);
        });
        SecureWhenAsked(d, seen, input);
        if (!fits && !d.ended && !seen.ended)
            OnSessionBroken(d);
    }
    if (!seen.ended && !d.ended)
        (size % 2 == 1) ? OnTimeLimit(d) : OnConnectionLost(d);
    // A few dozen bytes per input line (TOP n 0, QUIT, the login), a window's TOPs at once.
    Require(seen.sentBytes <= 1024 + 64 * size);
    if (seen.publications == 1)
        Require(seen.lastStatus == Status::Checked);
    return 0;
}
