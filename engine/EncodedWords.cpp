#include "EncodedWords.h"

#include "Utf8Text.h"

#include <cstdint>
#include <iconv.h>
#include <optional>
#include <utility>
#include <vector>

namespace {

// A piece of the value: plain text, or an encoded word with its decoded bytes.
struct Piece {
    Piece() = default;
    explicit Piece(std::string_view plain) : received(plain) {}

    std::string_view received;
    bool isWord = false;
    std::string_view charset; // without an RFC 2231 language
    std::string bytes;
    std::optional<std::string> utf8; // set once the word has been decoded
};

constexpr std::size_t MaxCharsetName = 40;

// Names some mailers use that the C library does not know, and what they mean.
constexpr std::pair<std::string_view, const char*> CharsetAliases[] = {
    {"KS_C_5601-1987", "CP949"},
    {"ISO-8859-8-I", "ISO-8859-8"},
    {"GB2312", "GB18030"}, // mail labelled GB2312 is often GBK, which GB18030 includes
};

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// Letters, digits and the punctuation of registered charset names; nothing that iconv
// would read as an option ("//IGNORE").
bool IsCharsetName(std::string_view name)
{
    if (name.empty() || name.size() > MaxCharsetName)
        return false;
    for (const char c : name) {
        const bool letterOrDigit = (Upper(c) >= 'A' && Upper(c) <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && std::string_view("-_.:()+").find(c) == std::string_view::npos)
            return false;
    }
    return true;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Padding is optional, but nothing may follow it.
bool DecodeBase64(std::string_view text, std::string& bytes)
{
    std::uint32_t bits = 0;
    int bitCount = 0;
    std::size_t digits = 0, padding = 0;
    for (const char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0)
            return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        bitCount += 6;
        ++digits;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes += static_cast<char>((bits >> bitCount) & 0xFF);
        }
    }
    return digits % 4 != 1 && padding <= 2 && (padding == 0 || (digits + padding) % 4 == 0);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return Upper(c) >= 'A' && Upper(c) <= 'F' ? Upper(c) - 'A' + 10 : -1;
}

bool DecodeQ(std::string_view text, std::string& bytes)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_') {
            bytes += ' ';
        } else if (text[i] != '=') {
            bytes += text[i];
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; }

// The encoded word that starts at text[at] ("=?"), decoded to bytes; false when none does.
bool ReadEncodedWord(std::string_view text, std::size_t at, Piece& word)
{
    const std::size_t charsetEnd = text.find('?', at + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?')
        return false;
    const std::size_t payloadStart = charsetEnd + 3;
    const std::size_t payloadEnd = text.find('?', payloadStart);
    if (payloadEnd == std::string_view::npos || payloadEnd + 1 >= text.size() || text[payloadEnd + 1] != '=')
        return false;
    const std::string_view charset = text.substr(at + 2, charsetEnd - at - 2);
    const std::string_view payload = text.substr(payloadStart, payloadEnd - payloadStart);
    for (const char c : payload)
        if (IsBlankOrControl(c))
            return false;
    word.isWord = true;
    word.received = text.substr(at, payloadEnd + 2 - at);
    word.charset = charset.substr(0, charset.find('*'));
    const char encoding = Upper(text[charsetEnd + 1]);
    if (encoding == 'B')
        return DecodeBase64(payload, word.bytes);
    return encoding == 'Q' && DecodeQ(payload, word.bytes);
}

// The value cut into plain text and encoded words.
std::vector<Piece> Pieces(std::string_view text)
{
    std::vector<Piece> pieces;
    std::size_t plainStart = 0;
    for (std::size_t at = text.find("=?"); at != std::string_view::npos; at = text.find("=?", at + 1)) {
        Piece word;
        if (!ReadEncodedWord(text, at, word))
            continue;
        if (at > plainStart)
            pieces.emplace_back(text.substr(plainStart, at - plainStart));
        plainStart = at + word.received.size();
        pieces.push_back(std::move(word));
        at = plainStart - 1;
    }
    if (plainStart < text.size())
        pieces.emplace_back(text.substr(plainStart));
    return pieces;
}

bool ConvertWithIconv(const char* charset, const std::string& bytes, std::string& utf8)
{
    const iconv_t converter = iconv_open("UTF-8", charset);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string out(bytes.size() * 16 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* next = out.data();
    std::size_t outLeft = out.size();
    // No charset gives near 16 bytes of UTF-8 for a byte it reads, so a stop is a byte sequence
    // that is not of the charset; were the room ever short, the word would stay as received.
    const bool converted = iconv(converter, &in, &inLeft, &next, &outLeft) != static_cast<std::size_t>(-1)
        && iconv(converter, nullptr, nullptr, &next, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    if (!converted)
        return false;
    out.resize(out.size() - outLeft);
    utf8 = std::move(out);
    return IsValidUtf8(utf8);
}

bool ToUtf8(std::string_view charset, const std::string& bytes, std::string& utf8)
{
    if (!IsCharsetName(charset))
        return false;
    if (SameName(charset, "UTF-8")) {
        utf8 = bytes;
        return IsValidUtf8(bytes);
    }
    if (SameName(charset, "ISO-8859-1")) {
        utf8 = Latin1ToUtf8(bytes);
        return true;
    }
    std::string name(charset);
    for (const auto& [alias, meaning] : CharsetAliases)
        if (SameName(charset, alias))
            name = meaning;
    return ConvertWithIconv(name.c_str(), bytes, utf8);
}

bool IsBlank(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

// Index of the next word after pieces[i] when only white space stands between them.
std::size_t NextAdjacentWord(const std::vector<Piece>& pieces, std::size_t i)
{
    std::size_t next = i + 1;
    if (next < pieces.size() && !pieces[next].isWord && IsBlank(pieces[next].received))
        ++next;
    return next < pieces.size() && pieces[next].isWord ? next : pieces.size();
}

// Decodes the run of adjacent words of one charset that starts at pieces[first]; a run that
// will not convert as a whole is tried word by word. Returns the index after the run.
std::size_t DecodeRun(std::vector<Piece>& pieces, std::size_t first)
{
    std::vector<std::size_t> run = {first};
    std::string joined = pieces[first].bytes;
    for (std::size_t next = NextAdjacentWord(pieces, first);
         next < pieces.size() && SameName(pieces[next].charset, pieces[first].charset);
         next = NextAdjacentWord(pieces, next)) {
        run.push_back(next);
        joined += pieces[next].bytes;
    }
    std::string utf8;
    if (ToUtf8(pieces[first].charset, joined, utf8)) {
        for (const std::size_t i : run)
            pieces[i].utf8 = std::string();
        pieces[first].utf8 = std::move(utf8);
    } else {
        for (const std::size_t i : run)
            if (ToUtf8(pieces[i].charset, pieces[i].bytes, utf8))
                pieces[i].utf8 = std::move(utf8);
    }
    return run.back() + 1;
}

} // namespace

std::string DecodeEncodedWords(std::string_view text)
{
    if (text.find("=?") == std::string_view::npos)
        return std::string(text);
    std::vector<Piece> pieces = Pieces(text);
    for (std::size_t i = 0; i < pieces.size();)
        i = pieces[i].isWord ? DecodeRun(pieces, i) : i + 1;
    std::string decoded;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const bool betweenDecoded = i > 0 && i + 1 < pieces.size() && pieces[i - 1].utf8 && pieces[i + 1].utf8;
        if (piece.utf8)
            decoded += *piece.utf8;
        else if (piece.isWord || !(betweenDecoded && IsBlank(piece.received)))
            decoded += piece.received;
    }
    return decoded;
}
