#pragma once

#include "Application.h"
#include "HeaderText.h"
#include "MessageIdentity.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// What the dialogue waits for.
enum class Pop3State {
    Connecting,
    AwaitGreeting,
    AwaitUserReply,
    AwaitPassReply,
    AwaitCapaReply,
    ReadCapaList,
    AwaitStatReply,
    AwaitUidlReply,
    ReadUidlList,
    AwaitTopReply,
    ReadTopHeaders,
    SkipTopReply,   // after a failure: a reply to a TOP sent ahead, to pass over
    SkipTopHeaders, // after a failure: the header block of such a reply
    AwaitQuitReply,
    AwaitStlsReply,
    SecuringConnection, // the TLS handshake after STLS runs; lines are not read
};

// TOP commands kept outstanding when the server takes commands ahead.
inline constexpr std::uint32_t PipelineWindow = 32;
// The most messages one check takes in; a larger STAT count ends the check as a server error.
inline constexpr std::uint32_t MaxMessages = 1'000'000;
// Listing entries accepted beyond the count STAT announced.
inline constexpr std::uint32_t ListingSlack = 16;
// The longest wait for the reply to CAPA; a server that never answers it gets one command at a time.
inline constexpr std::chrono::milliseconds CapaTimeLimit{10'000};

// How the dialogue reaches its session: the socket session in the program, a
// recorder in tests.
struct Pop3Outlet {
    std::function<void(std::string_view bytes)> sendCommand;
    std::function<bool()> canSend; // false while the outgoing bytes are at their bound
    std::function<void(StatusCode code)> postStatus;
    std::function<void(CheckResults&& results)> publishResults; // the dialogue needs them no more
    std::function<void()> signalStop;
    std::function<void()> startTls; // the server agreed to STLS: secure the connection
    // The next reply is awaited at most this long (but never longer than the session's limit).
    std::function<void(std::chrono::milliseconds limit)> limitWait;
};

// The dialogue variables of one session, with the session's inputs. Only the
// functions below change them.
struct Pop3Dialogue {
    std::string user;
    std::string password;
    DigestSet seenDigests;    // known when the check started
    bool mayPipeline = false; // ask CAPA and send TOP ahead when the server allows it
    bool startTls = false;    // send STLS after the greeting and log in only once secured
    Pop3State state = Pop3State::Connecting;
    bool ended = false;       // nothing more to send or to wait for
    std::int32_t messageCount = 0;
    std::uint32_t window = 1;        // TOP commands that may be outstanding
    std::uint32_t listed = 0;        // listing entries taken in
    std::uint32_t currentMessage = 0; // whose TOP reply is being read
    std::uint32_t nextToRequest = 0;  // the next message to send TOP for
    std::uint32_t repliesToSkip = 0;  // replies still due to TOPs sent ahead of a failure
    CheckResults results;
    HeaderText headerText; // the header block of the message being read
    std::string blockFrom;    // the From and Subject read from it so far
    std::string blockSubject;
    Pop3Outlet outlet;
};

// Acts on one complete line (without its CR LF) in the dialogue's current state. This
// and the three events below do nothing once the dialogue has ended.
void HandleLine(Pop3Dialogue& dialogue, std::string_view line);
// The connection to the server is made: the greeting is awaited.
void OnConnected(Pop3Dialogue& dialogue);
// The connection could not be made, or the server closed it.
void OnConnectionLost(Pop3Dialogue& dialogue);
// Nothing came from the server within the time limit.
void OnTimeLimit(Pop3Dialogue& dialogue);
// The session cannot go on (a line past its bound, no memory left).
void OnSessionBroken(Pop3Dialogue& dialogue);
// The TLS handshake after STLS succeeded and the server's certificate is verified.
void OnSecured(Pop3Dialogue& dialogue);
// The TLS handshake failed, or the certificate was refused, for the reason code.
void OnSecureConnectionFailed(Pop3Dialogue& dialogue, StatusCode code);

bool IsPositiveReply(std::string_view line);

// True when text can follow a command word as typed: a CR, LF or NUL would end the command
// early and let the rest pass for a command of its own ("pw\r\nDELE 1").
bool IsSendableArgument(std::string_view text);
std::string UserCommand(std::string_view user);
std::string PassCommand(std::string_view password);
std::string TopCommand(std::uint32_t number);
inline constexpr std::string_view CapaCommand = "CAPA\r\n";
inline constexpr std::string_view StatCommand = "STAT\r\n";
inline constexpr std::string_view UidlCommand = "UIDL\r\n";
inline constexpr std::string_view QuitCommand = "QUIT\r\n";
inline constexpr std::string_view StlsCommand = "STLS\r\n";

// The message count of a positive STAT reply; none when it is not a number or does not
// fit in 32 bits, which no check may take for an empty mailbox.
std::optional<std::uint32_t> ParseStatCount(std::string_view line);

struct ListingEntry {
    std::uint32_t number = 0;
    std::string_view uniqueId; // at most 70 bytes, may be empty
};
enum class ListingLine {
    Entry,     // entry is set
    Ignored,   // the message number 0
    Malformed, // no message number, or one past 32 bits
};
ListingLine ParseListingEntry(std::string_view line, ListingEntry& entry);

// True for the capability line that offers pipelining (names are case-insensitive).
bool OffersPipelining(std::string_view capabilityLine);
