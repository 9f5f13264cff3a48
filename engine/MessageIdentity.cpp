#include "MessageIdentity.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

bool UnsignedBytesLess::operator()(const std::string& a, const std::string& b) const
{
    // std::string's compare goes through char_traits<char>, which compares as unsigned char.
    return a.compare(b) < 0;
}

UidDigest MakeUidDigest(std::string_view uniqueId)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1
        || EVP_DigestUpdate(context.get(), uniqueId.data(), uniqueId.size()) != 1
        || EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != 16)
        throw std::runtime_error("MD5 is not available");
    return UidDigest(reinterpret_cast<const char*>(digest), length);
}

void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId)
{
    UidDigest digest = MakeUidDigest(uniqueId);
    MessageInfo info;
    info.uidDigest = digest;
    info.number = number;
    results.messages[number] = std::move(info);
    if (!seenDigests.contains(digest))
        results.newMail = true;
    results.digests.insert(std::move(digest));
}

void RecordHeader(CheckResults& results, std::uint32_t number, std::string_view name,
                  std::string_view value)
{
    auto [entry, created] = results.messages.try_emplace(number);
    if (created)
        entry->second.number = number;
    if (name == "From")
        entry->second.from = value;
    else if (name == "Subject")
        entry->second.subject = value;
}
