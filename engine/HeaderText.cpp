#include "HeaderText.h"

#include "Utf8Text.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (g_ascii_tolower(a[i]) != g_ascii_tolower(b[i]))
            return false;
    return true;
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

HeaderField FieldNamed(std::string_view name)
{
    name = TrimBlanks(name); // "Subject :" is read as well
    if (EqualsIgnoringCase(name, "From"))
        return HeaderField::From;
    if (EqualsIgnoringCase(name, "Subject"))
        return HeaderField::Subject;
    return HeaderField::None;
}

// A bare line feed inside a line ends the value there.
std::string_view BeforeLineFeed(std::string_view text) { return text.substr(0, text.find('\n')); }

void AppendBounded(std::string& raw, std::string_view more)
{
    raw.append(more.substr(0, RawHeaderLimit - std::min(raw.size(), RawHeaderLimit)));
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

std::string DecodeEncodedWords(const std::string& piece)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { g_mime_init(); });
    const std::unique_ptr<char, decltype(&g_free)> decoded(g_mime_utils_header_decode_text(nullptr, piece.c_str()),
                                                           &g_free);
    return decoded ? std::string(decoded.get()) : piece;
}

std::string Decode(const std::string& raw)
{
    // GMime would guess the charset of raw 8-bit text from the locale; Latin-1 is the
    // rule here, whatever the locale.
    const std::string utf8 =
        g_utf8_validate(raw.data(), static_cast<gssize>(raw.size()), nullptr) ? raw : Latin1ToUtf8(raw);
    if (utf8.find("=?") == std::string::npos)
        return CutUtf8(utf8, HeaderValueLimit);
    // GMime reads C strings: the pieces between NUL bytes are decoded one by one.
    std::string decoded;
    for (std::size_t start = 0;;) {
        const std::size_t nul = utf8.find('\0', start);
        decoded += DecodeEncodedWords(utf8.substr(start, nul - start));
        if (nul == std::string::npos)
            break;
        decoded += '\0';
        start = nul + 1;
    }
    return CutUtf8(decoded, HeaderValueLimit);
}

std::optional<DecodedHeader> Close(HeaderText& text)
{
    if (text.open == HeaderField::None)
        return std::nullopt;
    DecodedHeader header{text.open, Decode(text.raw)};
    text.open = HeaderField::None;
    text.raw.clear();
    return header;
}

} // namespace

std::optional<DecodedHeader> FeedHeaderLine(HeaderText& text, std::string_view line)
{
    if (!line.empty() && IsBlank(line.front())) {
        // A folded line: its leading white space stands for one space.
        if (text.open != HeaderField::None) {
            AppendBounded(text.raw, " ");
            AppendBounded(text.raw, TrimBlanks(BeforeLineFeed(line)));
        }
        return std::nullopt;
    }
    std::optional<DecodedHeader> closed = Close(text);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return closed;
    text.open = FieldNamed(line.substr(0, colon));
    if (text.open != HeaderField::None)
        AppendBounded(text.raw, TrimBlanks(BeforeLineFeed(line.substr(colon + 1))));
    return closed;
}

std::optional<DecodedHeader> FinishHeaderBlock(HeaderText& text)
{
    return Close(text);
}
