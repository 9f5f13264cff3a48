#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

// The 16 raw bytes of MD5 over a message's unique-id, never turned into hex.
using UidDigest = std::string;

struct MessageInfo {
    std::string uidDigest; // empty in a record that only a header created
    std::uint32_t number = 0;
    std::string from;
    std::string subject;
    bool isNew = false; // its digest was not among the seen ones when the check started
};

using MessageTable = std::map<std::uint32_t, MessageInfo>;

// Orders digests as unsigned bytes, first byte first, a prefix before its extensions.
struct UnsignedBytesLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using DigestSet = std::set<UidDigest, UnsignedBytesLess>;

struct CheckResults {
    MessageTable messages;
    DigestSet digests;
    bool newMail = false;
};

UidDigest MakeUidDigest(std::string_view uniqueId);

// seenDigests are the digests known when the check started.
void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId);
void RecordHeader(CheckResults& results, std::uint32_t number, std::string_view name,
                  std::string_view value);
