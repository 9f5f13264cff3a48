#include "EntryRules.h"

#include "NumberText.h"
#include "Pop3Dialogue.h"

#include <arpa/inet.h>
#include <cctype>
#include <limits>
#include <unistd.h>

bool ParseUnsignedDecimal(const std::string& text, std::uint32_t& number)
{
    const std::size_t at = text.find_first_not_of(' ');
    std::uint64_t value = 0;
    if (at == std::string::npos ||
        !ParseDecimal(std::string_view(text).substr(at), 0, std::numeric_limits<std::uint32_t>::max(), value))
        return false;
    number = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseInterval(const std::string& text, std::uint32_t& minutes)
{
    std::uint32_t number = 0;
    if (!ParseUnsignedDecimal(text, number) || number < ShortestInterval || number > LongestInterval)
        return false;
    minutes = number;
    return true;
}

std::uint16_t PortFromEntry(const std::string& text, bool tls)
{
    std::uint32_t number = 0;
    if (!ParseUnsignedDecimal(text, number) || number == 0 || number > std::numeric_limits<std::uint16_t>::max())
        return tls ? DefaultTlsPort : DefaultPort;
    return static_cast<std::uint16_t>(number);
}

std::string IntervalWarningText()
{
    return "You may check for new messages every " + std::to_string(ShortestInterval) + " to " +
           std::to_string(LongestInterval) + " minutes only.";
}

bool CredentialsAreSendable(const std::string& user, const std::string& password)
{
    return IsSendableArgument(user) && IsSendableArgument(password);
}

std::string CredentialsWarningText() { return "The account name and password may not contain line breaks."; }

std::string PortEntryForSecurity(const std::string& entry, bool tls)
{
    const std::string from = std::to_string(tls ? DefaultPort : DefaultTlsPort);
    return entry == from ? std::to_string(tls ? DefaultTlsPort : DefaultPort) : entry;
}

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

bool IsOnThisComputer(const std::string& host)
{
    std::string name = Lower(host);
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name == "localhost" || name.ends_with(".localhost") || name == "::1")
        return true;
    in_addr address{};
    if (inet_pton(AF_INET, name.c_str(), &address) == 1)
        return (ntohl(address.s_addr) >> 24) == 127;
    char own[256] = {};
    return gethostname(own, sizeof own - 1) == 0 && own[0] != '\0' && name == Lower(own);
}
