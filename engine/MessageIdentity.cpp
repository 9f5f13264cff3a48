#include "MessageIdentity.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

namespace {

// MD5, fetched once for the life of the process: EVP_md5() would look the algorithm up
// again at every digest. The system's OpenSSL configuration is not read; it can only add
// providers this program does not use, at a cost in start-up time and memory.
const EVP_MD* Md5()
{
    static const EVP_MD* const md5 = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
        return EVP_MD_fetch(nullptr, "MD5", nullptr);
    }();
    return md5;
}

} // namespace

UidDigest MakeUidDigest(std::string_view uniqueId)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const EVP_MD* md5 = Md5();
    if (md5 == nullptr || EVP_Digest(uniqueId.data(), uniqueId.size(), digest, &length, md5, nullptr) != 1
        || length != 16)
        throw std::runtime_error("MD5 is not available");
    UidDigest result;
    std::memcpy(result.bytes.data(), digest, UidDigest::Size);
    return result;
}

UidDigest DigestFromBytes(std::string_view bytes)
{
    UidDigest digest;
    std::memcpy(digest.bytes.data(), bytes.data(), UidDigest::Size);
    return digest;
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
    // The input is in order when this program wrote it: each insert then lands at the end.
    for (std::size_t at = 0; bytes.size() - at >= UidDigest::Size; at += UidDigest::Size)
        digests.insert(digests.end(), DigestFromBytes(bytes.substr(at, UidDigest::Size)));
    return digests;
}

void RecordListing(CheckResults& results, const DigestSet& seenDigests, std::uint32_t number,
                   std::string_view uniqueId)
{
    const UidDigest digest = MakeUidDigest(uniqueId);
    MessageInfo info;
    info.uidDigest = digest;
    info.number = number;
    results.messages[number] = std::move(info);
    if (!seenDigests.contains(digest))
        results.newMail = true;
    results.digests.insert(digest);
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
