#include "EntryRules.h"

#include <limits>

bool ParseUnsignedDecimal(const std::string& text, std::uint32_t& number)
{
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos)
        return false;
    std::uint64_t result = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
        if (result > std::numeric_limits<std::uint32_t>::max())
            return false;
    }
    number = static_cast<std::uint32_t>(result);
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

std::uint16_t PortFromEntry(const std::string& text)
{
    std::uint32_t number = 0;
    if (!ParseUnsignedDecimal(text, number) || number == 0 || number > std::numeric_limits<std::uint16_t>::max())
        return DefaultPort;
    return static_cast<std::uint16_t>(number);
}

std::string IntervalWarningText()
{
    return "You may check for new messages every " + std::to_string(ShortestInterval) + " to " +
           std::to_string(LongestInterval) + " minutes only.";
}
