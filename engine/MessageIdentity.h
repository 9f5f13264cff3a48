#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

// The 16 raw bytes of MD5 over a message's unique-id, never turned into hex. Held by
// value: a mailbox's worth of digests costs no allocation each.
struct UidDigest {
    static constexpr std::size_t Size = 16;
    std::array<unsigned char, Size> bytes{};

    // Ordered as unsigned bytes, first byte first, as the stored list always was.
    auto operator<=>(const UidDigest&) const = default;
    std::string_view View() const { return {reinterpret_cast<const char*>(bytes.data()), Size}; }
};

struct MessageInfo {
    std::optional<UidDigest> uidDigest; // absent in a record that only a header created
    std::uint32_t number = 0;
    std::string from;
    std::string subject;
};

using MessageTable = std::map<std::uint32_t, MessageInfo>;
using DigestSet = std::set<UidDigest>;

struct CheckResults {
    MessageTable messages;
    DigestSet digests;
    bool newMail = false;
};

UidDigest MakeUidDigest(std::string_view uniqueId);
// The first 16 bytes of bytes, which must hold at least 16.
UidDigest DigestFromBytes(std::string_view bytes);

// The stored form of a digest list: 16 raw bytes each, back to back, in order.
std::string PackDigests(const DigestSet& digests);
// The reverse; a final piece shorter than 16 bytes is ignored.
DigestSet UnpackDigests(std::string_view bytes);

// seenDigests are the digests known when the check started.
void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId);
void RecordHeader(CheckResults& results, std::uint32_t number, std::string_view name,
                  std::string_view value);
