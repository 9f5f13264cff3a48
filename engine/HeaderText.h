#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Reads From and Subject out of a header block that arrives one line at a time.
// A header stays open until the next header line starts (folded lines are joined to
// it) or the block ends; then its value is decoded to UTF-8 (RFC 2047 encoded words in
// any charset, raw 8-bit text that is not UTF-8 as Latin-1) and made safe to show.

enum class HeaderField { None, From, Subject };

struct DecodedHeader {
    HeaderField field = HeaderField::None;
    // UTF-8 of at most HeaderValueLimit bytes, cut on a character boundary, with no control
    // or bidirectional formatting character (SafeDisplayText).
    std::string value;
};

struct HeaderText {
    HeaderField open = HeaderField::None;
    std::string raw; // the open header's value as received, folds joined, bounded
};

constexpr std::size_t HeaderValueLimit = 255;
// Enough raw text for HeaderValueLimit decoded bytes in any encoding.
constexpr std::size_t RawHeaderLimit = 4096;

// One line of the block (no CR LF). Returns the header that this line closes, if any.
std::optional<DecodedHeader> FeedHeaderLine(HeaderText& text, std::string_view line);
// The end of the block: returns the header still open, if any, and resets text.
std::optional<DecodedHeader> FinishHeaderBlock(HeaderText& text);
