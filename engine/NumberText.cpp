#include "NumberText.h"

bool ReadDecimal(std::string_view& text, std::uint64_t limit, std::uint64_t& value)
{
    std::size_t i = 0;
    value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > limit)
            return false;
        ++i;
    }
    text.remove_prefix(i);
    return i > 0;
}

bool ParseDecimal(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& value)
{
    return ReadDecimal(text, max, value) && text.empty() && value >= min;
}

void AppendHex(std::string& out, const unsigned char* bytes, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xf];
    }
}
