#include "MessageIdentity.h"

// The low-level MD5 of libcrypto, deprecated since OpenSSL 3 but kept: it needs no provider,
// no configuration and no context on the heap, where the EVP route brings all three into a
// plain check, for a digest of a few dozen bytes.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Eight bytes of the digest as a number that orders as the bytes do.
std::uint64_t OrderedWord(const UidDigest& digest, std::size_t at)
{
    std::uint64_t word = 0;
    std::memcpy(&word, digest.bytes.data() + at, sizeof word);
    if constexpr (std::endian::native == std::endian::little)
        word = __builtin_bswap64(word);
    return word;
}

// textAt holds the block and the place in it.
constexpr std::size_t MaxTextBlocks = (std::size_t{UINT32_MAX} + 1) / MessageTable::TextBlockSize;
static_assert(2 * MaxRecordedValue <= MessageTable::TextBlockSize);

// The entry with this number in entries kept in order, or null.
template <typename Entries> auto EntryNumbered(Entries& entries, std::uint32_t number) -> decltype(&entries[0])
{
    // Numbers mostly run 1, 2, 3, ... without a gap: the entry of n is then at n - 1.
    if (number >= 1 && number <= entries.size() && entries[number - 1].number == number)
        return &entries[number - 1];
    const auto found = std::lower_bound(entries.begin(), entries.end(), number,
                                        [](const MessageInfo& message, std::uint32_t n) { return message.number < n; });
    return found != entries.end() && found->number == number ? &*found : nullptr;
}

// Of several entries with one number, the one listed last stays.
void KeepLastOfEachNumber(std::vector<MessageInfo>& entries)
{
    std::stable_sort(entries.begin(), entries.end(),
                     [](const MessageInfo& a, const MessageInfo& b) { return a.number < b.number; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (kept > 0 && entries[kept - 1].number == entries[i].number)
            entries[kept - 1] = entries[i];
        else
            entries[kept++] = entries[i];
    }
    entries.resize(kept);
}

// A server that announced far more than it listed leaves no reservation behind.
template <typename Item> void ReleaseUnused(std::vector<Item>& items)
{
    if (items.capacity() / 2 > items.size())
        items.shrink_to_fit();
}

// A message's From and Subject, back to back.
std::string_view TextOf(const MessageTable& table, const MessageInfo& message)
{
    const std::size_t length = std::size_t{message.fromLength} + message.subjectLength;
    if (length == 0)
        return {};
    const std::string& block = table.textBlocks[message.textAt / MessageTable::TextBlockSize];
    return std::string_view(block).substr(message.textAt % MessageTable::TextBlockSize, length);
}

} // namespace

std::strong_ordering UidDigest::operator<=>(const UidDigest& other) const
{
    const std::uint64_t first = OrderedWord(*this, 0), otherFirst = OrderedWord(other, 0);
    if (first != otherFirst)
        return first <=> otherFirst;
    return OrderedWord(*this, 8) <=> OrderedWord(other, 8);
}

UidDigest MakeUidDigest(std::string_view uniqueId)
{
    UidDigest digest;
    MD5(reinterpret_cast<const unsigned char*>(uniqueId.data()), uniqueId.size(), digest.bytes.data());
    return digest;
}

UidDigest DigestFromBytes(std::string_view bytes)
{
    UidDigest digest;
    std::memcpy(digest.bytes.data(), bytes.data(), UidDigest::Size);
    return digest;
}

bool ContainsDigest(const DigestSet& digests, const UidDigest& digest)
{
    return std::binary_search(digests.begin(), digests.end(), digest);
}

void MakeDigestSet(DigestSet& digests)
{
    std::sort(digests.begin(), digests.end());
    digests.erase(std::unique(digests.begin(), digests.end()), digests.end());
}

void MergeDigests(DigestSet& digests, const DigestSet& more)
{
    const std::size_t before = digests.size();
    digests.insert(digests.end(), more.begin(), more.end());
    std::inplace_merge(digests.begin(), digests.begin() + static_cast<std::ptrdiff_t>(before), digests.end());
    digests.erase(std::unique(digests.begin(), digests.end()), digests.end());
}

std::string PackDigests(const DigestSet& digests)
{
    std::string bytes;
    bytes.reserve(digests.size() * UidDigest::Size);
    for (const UidDigest& digest : digests)
        bytes += digest.View();
    return bytes;
}

DigestSet UnpackDigests(std::string_view bytes)
{
    DigestSet digests;
    digests.reserve(bytes.size() / UidDigest::Size);
    for (std::size_t at = 0; bytes.size() - at >= UidDigest::Size; at += UidDigest::Size)
        digests.push_back(DigestFromBytes(bytes.substr(at, UidDigest::Size)));
    // In order already when this program wrote them; a list seeded by hand may not be.
    if (std::adjacent_find(digests.begin(), digests.end(), std::greater_equal<>()) != digests.end())
        MakeDigestSet(digests);
    return digests;
}

std::string_view MessageFrom(const MessageTable& table, const MessageInfo& message)
{
    return TextOf(table, message).substr(0, message.fromLength);
}

std::string_view MessageSubject(const MessageTable& table, const MessageInfo& message)
{
    return TextOf(table, message).substr(message.fromLength);
}

void SetMessageText(MessageTable& table, MessageInfo& message, std::string_view from, std::string_view subject)
{
    from = from.substr(0, MaxRecordedValue);
    subject = subject.substr(0, MaxRecordedValue);
    message.fromLength = 0;
    message.subjectLength = 0;
    const std::size_t size = from.size() + subject.size();
    if (size == 0)
        return;
    if (table.textBlocks.empty() || table.textBlocks.back().size() + size > MessageTable::TextBlockSize) {
        if (table.textBlocks.size() == MaxTextBlocks)
            return; // more text than any bounded check holds
        table.textBlocks.emplace_back().reserve(MessageTable::TextBlockSize);
    }
    std::string& block = table.textBlocks.back();
    message.textAt = static_cast<std::uint32_t>((table.textBlocks.size() - 1) * MessageTable::TextBlockSize + block.size());
    message.fromLength = static_cast<std::uint8_t>(from.size());
    message.subjectLength = static_cast<std::uint8_t>(subject.size());
    block += from;
    block += subject;
}

const MessageInfo* FindMessage(const MessageTable& table, std::uint32_t number)
{
    return EntryNumbered(table.entries, number);
}

void ExpectListing(CheckResults& results, std::uint32_t expected)
{
    results.messages.entries.reserve(expected);
    results.digests.reserve(expected);
}

void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId)
{
    MessageInfo message;
    message.uidDigest = MakeUidDigest(uniqueId);
    message.number = number;
    message.isNew = !ContainsDigest(seenDigests, message.uidDigest);
    results.newMail = results.newMail || message.isNew;
    results.messages.entries.push_back(message);
    // Every entry's digest counts, that of an entry a later one replaces too.
    results.digests.push_back(message.uidDigest);
}

void FinishListing(CheckResults& results)
{
    std::vector<MessageInfo>& entries = results.messages.entries;
    const auto outOfOrder = [](const MessageInfo& a, const MessageInfo& b) { return a.number >= b.number; };
    if (std::adjacent_find(entries.begin(), entries.end(), outOfOrder) != entries.end())
        KeepLastOfEachNumber(entries);
    MakeDigestSet(results.digests);
    ReleaseUnused(entries);
    ReleaseUnused(results.digests);
}

void RecordHeaders(CheckResults& results, std::uint32_t number, std::string_view from, std::string_view subject)
{
    // A message the listing did not name has no place: a server that announces many and lists
    // few cannot make the table grow by the headers of the rest.
    if (MessageInfo* entry = EntryNumbered(results.messages.entries, number))
        SetMessageText(results.messages, *entry, from, subject);
}
