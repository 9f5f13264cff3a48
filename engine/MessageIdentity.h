#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The 16 raw bytes of MD5 over a message's unique-id, never turned into hex. Held by
// value: a mailbox's worth of digests costs no allocation each.
struct UidDigest {
    static constexpr std::size_t Size = 16;
    std::array<unsigned char, Size> bytes{};

    // Ordered as unsigned bytes, first byte first, as the stored list always was.
    std::strong_ordering operator<=>(const UidDigest& other) const;
    bool operator==(const UidDigest&) const = default;
    std::string_view View() const { return {reinterpret_cast<const char*>(bytes.data()), Size}; }
};

// Digests in ascending order, each once: the seen ones, and those a check listed.
using DigestSet = std::vector<UidDigest>;

// One message of a check. Its From and Subject are kept in the table's text.
struct MessageInfo {
    UidDigest uidDigest;
    std::uint32_t number = 0;
    std::uint32_t textAt = 0;     // where From, then Subject, begin in the table's text
    std::uint8_t fromLength = 0;
    std::uint8_t subjectLength = 0;
    bool isNew = false; // its digest was not among the seen ones when the check started
};

// The longest From or Subject a message keeps.
inline constexpr std::size_t MaxRecordedValue = 255;

// The messages of a check in ascending order of their numbers, one per number, and the text
// of all their senders and subjects in blocks of a fixed size, so that a large mailbox costs a
// few bytes a message beyond its text, and its text is never copied while it grows.
struct MessageTable {
    static constexpr std::size_t TextBlockSize = 64 * 1024;
    std::vector<MessageInfo> entries;
    std::vector<std::string> textBlocks;
};

std::string_view MessageFrom(const MessageTable& table, const MessageInfo& message);
std::string_view MessageSubject(const MessageTable& table, const MessageInfo& message);
// Keeps a message's From and Subject (each cut to MaxRecordedValue) in the table's text.
void SetMessageText(MessageTable& table, MessageInfo& message, std::string_view from, std::string_view subject);
// The message with this number, or null.
const MessageInfo* FindMessage(const MessageTable& table, std::uint32_t number);

struct CheckResults {
    MessageTable messages;
    DigestSet digests;
    bool newMail = false;
};

UidDigest MakeUidDigest(std::string_view uniqueId);
// The first 16 bytes of bytes, which must hold at least 16.
UidDigest DigestFromBytes(std::string_view bytes);

bool ContainsDigest(const DigestSet& digests, const UidDigest& digest);
// Sorts the digests and drops repeated ones.
void MakeDigestSet(DigestSet& digests);
// Adds the digests of more that digests does not hold yet.
void MergeDigests(DigestSet& digests, const DigestSet& more);

// The stored form of a digest list: 16 raw bytes each, back to back, in order.
std::string PackDigests(const DigestSet& digests);
// The reverse; a final piece shorter than 16 bytes is ignored.
DigestSet UnpackDigests(std::string_view bytes);

// The listing is about to be read; expected is the count the server announced.
void ExpectListing(CheckResults& results, std::uint32_t expected);
// seenDigests are the digests known when the check started.
void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId);
// The listing has ended: the table in order of numbers (the later of two entries for one
// number wins), the digests in order.
void FinishListing(CheckResults& results);
// The From and Subject of one message's header block (empty when it has none), kept only for
// a message that the listing named.
void RecordHeaders(CheckResults& results, std::uint32_t number, std::string_view from, std::string_view subject);
