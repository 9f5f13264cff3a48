#include "HeaderText.h"

#include "EncodedWords.h"
#include "Utf8Text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
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

// Raw 8-bit text that is not UTF-8 is read as Latin-1, whatever the locale.
std::string Decode(const std::string& raw)
{
    const std::string utf8 = IsValidUtf8(raw) ? raw : Latin1ToUtf8(raw);
    return CutUtf8(SafeDisplayText(DecodeEncodedWords(utf8)), HeaderValueLimit);
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
