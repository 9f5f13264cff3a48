#include "Utf8Text.h"

namespace {

constexpr std::string_view ReplacementCharacter = "\xEF\xBF\xBD";

bool IsBidiFormatting(char32_t c)
{
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F
        || c == 0x061C;
}

bool IsLineBreaking(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

} // namespace

std::string CutUtf8(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the character that
    // the cut would split, so that character goes whole; a character has at most three.
    for (int step = 0; step < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step)
        --end;
    return text.substr(0, end);
}

std::size_t Utf8CharAt(std::string_view text, std::size_t at, char32_t& c)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    // The lead byte says the length and the smallest code point that needs it.
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (lead < 0xC2 || lead > 0xF4 || text.size() - at < length)
        return 0;
    c = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

bool IsValidUtf8(std::string_view text)
{
    char32_t c = 0;
    for (std::size_t at = 0, length = 0; at < text.size(); at += length)
        if ((length = Utf8CharAt(text, at, c)) == 0)
            return false;
    return true;
}

std::string Latin1ToUtf8(std::string_view text)
{
    std::string utf8;
    utf8.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

bool IsUnsafeToDisplay(char32_t c) { return IsBidiFormatting(c) || IsLineBreaking(c); }

std::string SafeDisplayText(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    bool spaced = false; // the last character written stands for a run of line-breaking ones
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        const std::size_t length = Utf8CharAt(text, at, c);
        if (length == 0) {
            shown += ReplacementCharacter;
            spaced = false;
            ++at;
            continue;
        }
        if (IsLineBreaking(c)) {
            if (!spaced)
                shown += ' ';
            spaced = true;
        } else if (!IsBidiFormatting(c)) {
            shown.append(text.substr(at, length));
            spaced = false;
        }
        at += length;
    }
    return shown;
}
