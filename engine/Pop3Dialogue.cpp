#include "Pop3Dialogue.h"

#include "NumberText.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace {

constexpr std::size_t MaxUniqueId = 70;
static_assert(HeaderValueLimit <= MaxRecordedValue, "a decoded header must fit its record");

bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view SkipWhiteSpace(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i]))
        ++i;
    return text.substr(i);
}

bool IsFullStop(std::string_view line) { return line == "."; }

void PostStatus(Pop3Dialogue& d, StatusCode code) { d.outlet.postStatus(code); }

// The one place the state changes.
void SetState(Pop3Dialogue& d, Pop3State state) { d.state = state; }

// Sends one command and names the reply it awaits.
void SendAndAwait(Pop3Dialogue& d, std::string_view command, Pop3State awaited)
{
    SetState(d, awaited);
    d.outlet.sendCommand(command);
}

// The session ends here, without another word to the server.
void End(Pop3Dialogue& d) { d.ended = true; }

// The messages the TOP loop asks for: STAT's count, which OnStatReply has held to the bound.
std::uint32_t MessagesToRead(const Pop3Dialogue& d) { return static_cast<std::uint32_t>(d.messageCount); }

// TOP commands sent after the one whose reply is being read.
std::uint32_t RepliesAfterCurrent(const Pop3Dialogue& d)
{
    return d.nextToRequest > d.currentMessage + 1 ? d.nextToRequest - d.currentMessage - 1 : 0;
}

// A failure before QUIT: log out and say why. Replies to TOP commands sent ahead
// still come before QUIT's, and are passed over.
void Fail(Pop3Dialogue& d, StatusCode code)
{
    d.repliesToSkip = RepliesAfterCurrent(d);
    SendAndAwait(d, QuitCommand, d.repliesToSkip > 0 ? Pop3State::SkipTopReply : Pop3State::AwaitQuitReply);
    PostStatus(d, code);
}

void Succeed(Pop3Dialogue& d)
{
    d.outlet.publishResults(std::move(d.results));
    PostStatus(d, Status::Checked);
    SendAndAwait(d, QuitCommand, Pop3State::AwaitQuitReply);
}

void RequestCount(Pop3Dialogue& d) { SendAndAwait(d, StatCommand, Pop3State::AwaitStatReply); }

// Sends TOP for the next messages while the window and the outgoing bound allow;
// the replies come back in the order asked.
void RequestHeaders(Pop3Dialogue& d)
{
    const std::uint32_t last = MessagesToRead(d);
    while (d.nextToRequest <= last && d.nextToRequest - d.currentMessage < d.window && d.outlet.canSend())
        SendAndAwait(d, TopCommand(d.nextToRequest++), Pop3State::AwaitTopReply);
}

void LogIn(Pop3Dialogue& d)
{
    SendAndAwait(d, UserCommand(d.user), Pop3State::AwaitUserReply);
    PostStatus(d, Status::LoggingIn);
}

void OnGreeting(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::CannotConnect);
    if (d.startTls)
        return SendAndAwait(d, StlsCommand, Pop3State::AwaitStlsReply);
    LogIn(d);
}

// Never falls back to plain text: a refusal ends the check before the user name is sent.
void OnStlsReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::StlsNotSupported);
    SetState(d, Pop3State::SecuringConnection);
    d.outlet.startTls();
}

void OnUserReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::LoginRejected);
    SendAndAwait(d, PassCommand(d.password), Pop3State::AwaitPassReply);
}

void OnPassReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::LoginRejected);
    if (d.mayPipeline) {
        SendAndAwait(d, CapaCommand, Pop3State::AwaitCapaReply);
        d.outlet.limitWait(CapaTimeLimit);
    } else
        RequestCount(d);
    PostStatus(d, Status::Checking);
}

// A refused CAPA only means one command at a time.
void OnCapaReply(Pop3Dialogue& d, std::string_view line)
{
    d.outlet.limitWait(std::chrono::milliseconds::max());
    if (!IsPositiveReply(line))
        return RequestCount(d);
    SetState(d, Pop3State::ReadCapaList);
}

void OnCapabilityLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line))
        return RequestCount(d);
    if (OffersPipelining(line))
        d.window = PipelineWindow;
}

void OnStatReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::ServerError);
    // A count that cannot be read is never an empty mailbox, which would forget every seen
    // message; more messages than one check keeps cannot be listed whole: a clear failure,
    // never a cut list reported as a complete check.
    const std::optional<std::uint32_t> count = ParseStatCount(line);
    if (!count || *count > MaxMessages)
        return Fail(d, Status::ServerError);
    d.messageCount = static_cast<std::int32_t>(*count);
    if (d.messageCount == 0)
        return Succeed(d);
    SendAndAwait(d, UidlCommand, Pop3State::AwaitUidlReply);
}

void OnUidlReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::ServerError);
    ExpectListing(d.results, MessagesToRead(d));
    SetState(d, Pop3State::ReadUidlList);
}

void OnListingLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line)) {
        FinishListing(d.results);
        d.currentMessage = 1;
        d.nextToRequest = 1;
        SetState(d, Pop3State::AwaitTopReply);
        return RequestHeaders(d);
    }
    ListingEntry entry;
    const ListingLine parsed = ParseListingEntry(line, entry);
    if (parsed == ListingLine::Malformed)
        return Fail(d, Status::ServerError);
    if (parsed == ListingLine::Ignored)
        return;
    // More entries than announced is a server that would fill memory without end.
    if (++d.listed > MessagesToRead(d) + ListingSlack)
        return Fail(d, Status::ServerError);
    RecordListing(d.results, d.seenDigests, entry.number, entry.uniqueId);
}

void OnTopReply(Pop3Dialogue& d, std::string_view line)
{
    // A reply to a TOP not yet sent answers what the server cannot have read.
    if (!IsPositiveReply(line) || d.currentMessage >= d.nextToRequest)
        return Fail(d, Status::ServerError);
    SetState(d, Pop3State::ReadTopHeaders);
}

// A later header of the same name replaces an earlier one.
void RecordDecodedHeader(Pop3Dialogue& d, const std::optional<DecodedHeader>& header)
{
    if (header)
        (header->field == HeaderField::From ? d.blockFrom : d.blockSubject) = header->value;
}

void OnHeaderLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line)) {
        RecordDecodedHeader(d, FinishHeaderBlock(d.headerText));
        RecordHeaders(d.results, d.currentMessage, d.blockFrom, d.blockSubject);
        d.blockFrom.clear();
        d.blockSubject.clear();
        d.currentMessage += 1;
        if (d.currentMessage > MessagesToRead(d))
            return Succeed(d);
        SetState(d, Pop3State::AwaitTopReply);
        return RequestHeaders(d);
    }
    RecordDecodedHeader(d, FeedHeaderLine(d.headerText, line));
}

void OnSkippedReplyDone(Pop3Dialogue& d)
{
    d.repliesToSkip -= 1;
    SetState(d, d.repliesToSkip > 0 ? Pop3State::SkipTopReply : Pop3State::AwaitQuitReply);
}

void OnSkippedReply(Pop3Dialogue& d, std::string_view line)
{
    if (IsPositiveReply(line))
        return SetState(d, Pop3State::SkipTopHeaders);
    OnSkippedReplyDone(d);
}

void OnSkippedHeaderLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line))
        OnSkippedReplyDone(d);
}

// The outcome is already reported either way. A refused QUIT ends the session too:
// waiting on would leave the check hanging with nothing more to learn.
void OnQuitReply(Pop3Dialogue& d, std::string_view line)
{
    if (IsPositiveReply(line))
        d.outlet.signalStop();
    End(d);
}

// After QUIT was sent the outcome is already reported, whatever happens next.
bool OutcomeReported(Pop3State state)
{
    return state == Pop3State::SkipTopReply || state == Pop3State::SkipTopHeaders
        || state == Pop3State::AwaitQuitReply;
}

// The status for a connection that ends under the dialogue, by what was awaited.
StatusCode StatusForLostServer(Pop3State state)
{
    if (OutcomeReported(state))
        return Status::None;
    if (state == Pop3State::Connecting || state == Pop3State::AwaitGreeting)
        return Status::CannotConnect;
    if (state == Pop3State::AwaitStlsReply)
        return Status::StlsNotSupported; // no answer to STLS is a refusal
    if (state == Pop3State::SecuringConnection)
        return Status::SecureConnectionFailed;
    return Status::ServerError;
}

void PostUnlessReported(Pop3Dialogue& d, StatusCode code)
{
    if (code != Status::None)
        PostStatus(d, code);
}

} // namespace

bool OffersPipelining(std::string_view capabilityLine)
{
    constexpr std::string_view name = "PIPELINING";
    const std::string_view first = capabilityLine.substr(0, capabilityLine.find(' '));
    if (first.size() != name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((first[i] & ~0x20) != name[i])
            return false;
    return true;
}

bool IsPositiveReply(std::string_view line)
{
    return line == "+OK" || line.starts_with("+OK ");
}

bool IsSendableArgument(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string UserCommand(std::string_view user)
{
    std::string command = "USER ";
    command += user;
    command += "\r\n";
    return command;
}

std::string PassCommand(std::string_view password)
{
    std::string command = "PASS ";
    command += password;
    command += "\r\n";
    return command;
}

std::string TopCommand(std::uint32_t number)
{
    return "TOP " + std::to_string(number) + " 0\r\n";
}

std::optional<std::uint32_t> ParseStatCount(std::string_view line)
{
    std::string_view rest = SkipWhiteSpace(line.substr(line.size() < 4 ? line.size() : 4));
    std::uint64_t count = 0;
    if (!ReadDecimal(rest, std::numeric_limits<std::uint32_t>::max(), count))
        return std::nullopt;
    return static_cast<std::uint32_t>(count);
}

ListingLine ParseListingEntry(std::string_view line, ListingEntry& entry)
{
    std::string_view rest = SkipWhiteSpace(line);
    std::uint64_t number = 0;
    if (!ReadDecimal(rest, std::numeric_limits<std::uint32_t>::max(), number))
        return ListingLine::Malformed;
    if (number == 0)
        return ListingLine::Ignored;
    if (!rest.empty())
        rest.remove_prefix(1); // the separator, whatever it is
    std::string_view uniqueId = rest.substr(0, rest.find(' '));
    entry.number = static_cast<std::uint32_t>(number);
    entry.uniqueId = uniqueId.substr(0, MaxUniqueId);
    return ListingLine::Entry;
}

void HandleLine(Pop3Dialogue& dialogue, std::string_view line)
{
    // Lines that came in the same read as the end mean nothing any more.
    if (dialogue.ended)
        return;
    switch (dialogue.state) {
    case Pop3State::Connecting:
        return;
    case Pop3State::AwaitGreeting:
        return OnGreeting(dialogue, line);
    case Pop3State::AwaitUserReply:
        return OnUserReply(dialogue, line);
    case Pop3State::AwaitPassReply:
        return OnPassReply(dialogue, line);
    case Pop3State::AwaitCapaReply:
        return OnCapaReply(dialogue, line);
    case Pop3State::ReadCapaList:
        return OnCapabilityLine(dialogue, line);
    case Pop3State::AwaitStatReply:
        return OnStatReply(dialogue, line);
    case Pop3State::AwaitUidlReply:
        return OnUidlReply(dialogue, line);
    case Pop3State::ReadUidlList:
        return OnListingLine(dialogue, line);
    case Pop3State::AwaitTopReply:
        return OnTopReply(dialogue, line);
    case Pop3State::ReadTopHeaders:
        return OnHeaderLine(dialogue, line);
    case Pop3State::SkipTopReply:
        return OnSkippedReply(dialogue, line);
    case Pop3State::SkipTopHeaders:
        return OnSkippedHeaderLine(dialogue, line);
    case Pop3State::AwaitQuitReply:
        return OnQuitReply(dialogue, line);
    case Pop3State::AwaitStlsReply:
        return OnStlsReply(dialogue, line);
    case Pop3State::SecuringConnection: // sent in clear with the reply to STLS: out of turn, possibly injected
        return OnSecureConnectionFailed(dialogue, Status::SecureConnectionFailed);
    }
}

void OnConnected(Pop3Dialogue& dialogue) { SetState(dialogue, Pop3State::AwaitGreeting); }

void OnConnectionLost(Pop3Dialogue& dialogue)
{
    if (dialogue.ended)
        return;
    const StatusCode code = StatusForLostServer(dialogue.state);
    PostUnlessReported(dialogue, code);
    // A connect that failed raises the stop, as a finished session does.
    if (dialogue.state == Pop3State::Connecting)
        dialogue.outlet.signalStop();
    End(dialogue);
}

void OnTimeLimit(Pop3Dialogue& dialogue)
{
    if (dialogue.ended)
        return;
    // A server that ignores CAPA may still answer every command it needs.
    if (dialogue.state == Pop3State::AwaitCapaReply) {
        dialogue.outlet.limitWait(std::chrono::milliseconds::max());
        return RequestCount(dialogue);
    }
    PostUnlessReported(dialogue, StatusForLostServer(dialogue.state));
    End(dialogue);
}

void OnSessionBroken(Pop3Dialogue& dialogue)
{
    if (dialogue.ended)
        return;
    PostUnlessReported(dialogue, OutcomeReported(dialogue.state) ? Status::None : Status::ServerError);
    End(dialogue);
}

void OnSecured(Pop3Dialogue& dialogue)
{
    if (dialogue.state == Pop3State::SecuringConnection)
        LogIn(dialogue);
}

void OnSecureConnectionFailed(Pop3Dialogue& dialogue, StatusCode code)
{
    if (dialogue.ended)
        return;
    PostStatus(dialogue, code);
    End(dialogue);
}
