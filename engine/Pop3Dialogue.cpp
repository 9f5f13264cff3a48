#include "Pop3Dialogue.h"

#include <cstddef>
#include <limits>
#include <utility>

namespace {

constexpr std::size_t MaxUniqueId = 70;

bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view SkipWhiteSpace(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i]))
        ++i;
    return text.substr(i);
}

// Reads the decimal digits at the start of text; false when there are none or the
// value exceeds limit. On success text is left after the digits.
bool ReadDecimal(std::string_view& text, std::uint64_t limit, std::uint64_t& value)
{
    std::size_t i = 0;
    value = 0;
    while (i < text.size() && IsDigit(text[i])) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > limit)
            return false;
        ++i;
    }
    text.remove_prefix(i);
    return i > 0;
}

bool IsFullStop(std::string_view line) { return line == "."; }

void SendCommand(Pop3Dialogue& d, std::string_view bytes) { d.outlet.sendCommand(bytes); }

void PostStatus(Pop3Dialogue& d, StatusCode code) { d.outlet.postStatus(code); }

// A negative reply before QUIT: log out and say why.
void Fail(Pop3Dialogue& d, StatusCode code)
{
    d.state = Pop3State::AwaitQuitReply;
    SendCommand(d, QuitCommand);
    PostStatus(d, code);
}

void Succeed(Pop3Dialogue& d)
{
    d.state = Pop3State::AwaitQuitReply;
    d.outlet.publishResults(std::move(d.results));
    PostStatus(d, Status::Checked);
    SendCommand(d, QuitCommand);
}

void RequestHeaders(Pop3Dialogue& d)
{
    d.state = Pop3State::AwaitTopReply;
    SendCommand(d, TopCommand(d.currentMessage));
}

void OnGreeting(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::CannotConnect);
    d.state = Pop3State::AwaitUserReply;
    SendCommand(d, UserCommand(d.user));
    PostStatus(d, Status::LoggingIn);
}

void OnUserReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::LoginRejected);
    d.state = Pop3State::AwaitPassReply;
    SendCommand(d, PassCommand(d.password));
}

void OnPassReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::LoginRejected);
    d.state = Pop3State::AwaitStatReply;
    SendCommand(d, StatCommand);
    PostStatus(d, Status::Checking);
}

void OnStatReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::ServerError);
    d.messageCount = ParseStatCount(line);
    if (d.messageCount == 0)
        return Succeed(d);
    d.state = Pop3State::AwaitUidlReply;
    SendCommand(d, UidlCommand);
}

void OnUidlReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::ServerError);
    d.state = Pop3State::ReadUidlList;
}

void OnListingLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line)) {
        d.currentMessage = 1;
        return RequestHeaders(d);
    }
    ListingEntry entry;
    if (ParseListingEntry(line, entry))
        RecordListing(d.results, d.seenDigests, entry.number, entry.uniqueId);
}

void OnTopReply(Pop3Dialogue& d, std::string_view line)
{
    if (!IsPositiveReply(line))
        return Fail(d, Status::ServerError);
    d.state = Pop3State::ReadTopHeaders;
}

void RecordDecodedHeader(Pop3Dialogue& d, const std::optional<DecodedHeader>& header)
{
    if (header)
        RecordHeader(d.results, d.currentMessage, header->field == HeaderField::From ? "From" : "Subject", header->value);
}

void OnHeaderLine(Pop3Dialogue& d, std::string_view line)
{
    if (IsFullStop(line)) {
        RecordDecodedHeader(d, FinishHeaderBlock(d.headerText));
        d.currentMessage += 1;
        // A negative count read from STAT compares as a huge unsigned value.
        if (d.currentMessage > static_cast<std::uint32_t>(d.messageCount))
            return Succeed(d);
        return RequestHeaders(d);
    }
    RecordDecodedHeader(d, FeedHeaderLine(d.headerText, line));
}

void OnQuitReply(Pop3Dialogue& d, std::string_view line)
{
    if (IsPositiveReply(line))
        d.outlet.signalStop();
}

} // namespace

bool IsPositiveReply(std::string_view line)
{
    return line == "+OK" || line.starts_with("+OK ");
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

std::int32_t ParseStatCount(std::string_view line)
{
    std::string_view rest = SkipWhiteSpace(line.substr(line.size() < 4 ? line.size() : 4));
    bool negative = false;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
        negative = rest.front() == '-';
        rest.remove_prefix(1);
    }
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : std::numeric_limits<std::int32_t>::max();
    std::uint64_t magnitude = 0;
    if (!ReadDecimal(rest, limit, magnitude))
        return 0;
    return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                    : static_cast<std::int32_t>(magnitude);
}

bool ParseListingEntry(std::string_view line, ListingEntry& entry)
{
    std::string_view rest = SkipWhiteSpace(line);
    std::uint64_t number = 0;
    if (!ReadDecimal(rest, std::numeric_limits<std::uint32_t>::max(), number) || number == 0)
        return false;
    if (!rest.empty())
        rest.remove_prefix(1); // the separator, whatever it is
    std::string_view uniqueId = rest.substr(0, rest.find(' '));
    entry.number = static_cast<std::uint32_t>(number);
    entry.uniqueId = uniqueId.substr(0, MaxUniqueId);
    return true;
}

void HandleLine(Pop3Dialogue& dialogue, std::string_view line)
{
    switch (dialogue.state) {
    case Pop3State::Connecting:
        return;
    case Pop3State::AwaitGreeting:
        return OnGreeting(dialogue, line);
    case Pop3State::AwaitUserReply:
        return OnUserReply(dialogue, line);
    case Pop3State::AwaitPassReply:
        return OnPassReply(dialogue, line);
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
    case Pop3State::AwaitQuitReply:
        return OnQuitReply(dialogue, line);
    }
}
