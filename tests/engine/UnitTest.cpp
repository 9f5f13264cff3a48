// The readers of replies, listings, lines and headers, and postbell-check's command line:
// tables of cases that no server is needed for.

#include "CheckCommand.h"
#include "HeaderText.h"
#include "LineEngine.h"
#include "Pop3Dialogue.h"
#include "Utf8Text.h"

#include <gtest/gtest.h>


using namespace std::string_literals;

TEST(Pop3ParsingTest, RepliesCountsAndListingEntries)
{
    for (const auto& [line, positive] : std::map<std::string, bool>{
             {"+OK", true}, {"+OK POP3 server ready", true}, {"+OKAY", false}, {"+OK\tready", false},
             {"+ok ready", false}, {"-ERR no", false}, {" +OK", false}, {"", false}})
        EXPECT_EQ(IsPositiveReply(line), positive) << line;
    // A count that is not a number or does not fit in 32 bits is none (-1).
    for (const auto& [line, count] : std::map<std::string, std::int64_t>{
             {"+OK 2 320", 2}, {"+OK \t 5 1", 5}, {"+OK 12abc", 12}, {"+OK 4294967295", 4294967295}, {"+OK -3 0", -1},
             {"+OK +3 0", -1}, {"+OK", -1}, {"+OK mailbox has 3", -1}, {"+OK 4294967296", -1}, {"+OK 99999999999999999999999", -1}})
        EXPECT_EQ(ParseStatCount(line) ? std::int64_t(*ParseStatCount(line)) : -1, count) << line;
    // Exactly one separator is skipped, whatever it is; only a space ends the unique-id;
    // the number 0 is ignored ("-"), no number or one past 32 bits is malformed ("!").
    for (const auto& [line, expected] : std::map<std::string, std::string>{
             {"3 abc more", "3 abc"}, {"  \t12 xyz", "12 xyz"}, {"4  abc", "4 "}, {"5\tabc", "5 abc"},
             {"6abc", "6 bc"}, {"7", "7 "}, {"9 a\tb\0c d"s, "9 a\tb\0c"s}, {"4294967295 max", "4294967295 max"},
             {"1 " + std::string(80, 'u'), "1 " + std::string(70, 'u')}, {"0 abc", "-"}, {"abc 1", "!"},
             {"-1 abc", "!"}, {"+1 abc", "!"}, {"4294967296 abc", "!"}, {"..", "!"}, {"", "!"}}) {
        ListingEntry entry;
        const ListingLine parsed = ParseListingEntry(line, entry);
        EXPECT_EQ(parsed == ListingLine::Entry ? std::to_string(entry.number) + " " + std::string(entry.uniqueId)
                  : parsed == ListingLine::Ignored ? "-" : "!", expected) << line;
    }
}

// A stream, the line limit, the lines it gives, and false when a line passes the limit.
TEST(Pop3ParsingTest, EverySplitGivesTheSameLinesAndTheSameEnd)
{
    for (const auto& [stream, limit, expected, fits] : std::vector<std::tuple<std::string, std::size_t, std::vector<std::string>, bool>>{
             {"+OK hi\r\n1 a\rb\nc\r\n\r\n\0x\r\n.\r\na\r\rb\n\n\rpartial"s, MaxLineLength,
              {"+OK hi", "1 a\rb\nc", "", "\0x"s, "."}, true},
             {"12345678\r\n12345678\r", 8, {"12345678"}, true}, {"1234567\r\n123456789\r\nnext\r\n", 8, {"1234567"}, false},
             {"12345678\r\n123456789", 8, {"12345678"}, false}}) {
        // One cut at every place; the byte-by-byte transcripts cut at all places at once.
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            LineAssembler assembler;
            assembler.limit = limit;
            std::vector<std::string> lines;
            const auto onLine = [&](std::string_view line) { lines.emplace_back(line); };
            const bool fitted = assembler.Feed(std::string_view(stream).substr(0, cut), onLine)
                && assembler.Feed(std::string_view(stream).substr(cut), onLine);
            ASSERT_EQ(lines, expected) << "cut at " << cut;
            ASSERT_EQ(fitted, fits) << "cut at " << cut;
            ASSERT_TRUE(!fits || assembler.pending == stream.substr(stream.rfind("\r\n") + 2)) << "cut at " << cut;
        }
    }
}

TEST(HeaderTextTest, ReadsFromAndSubjectOfEachBlock)
{
    // The lines of a header block, then the From and Subject read from it ("-": none).
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"From: Ann <ann@example.org>", "Subject: Hello"}, "Ann <ann@example.org>|Hello"},
        {{"FROM : Bob", "subject:\t  Hi there  "}, "Bob|Hi there"},
        {{"Subject: A long", "   subject line", "\tcontinued", "From: c"}, "c|A long subject line continued"},
        {{"Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?= !"}, "-|Café crème !"},
        {{"Subject: =?iso-8859-1?q?Gr=FC=DFe?=", " =?utf-8?b?5pel?= aus Köln"}, "-|Grüße日 aus Köln"},
        {{"Subject: Caf\xE9 au lait", "From: M\xFCller"}, "Müller|Café au lait"},
        {{"Subject: " + std::string(254, 'a') + "é"}, "-|" + std::string(254, 'a')},
        {{"Subject: =?UTF-8?Q?" + std::string(252, 'a') + "=E6=97=A5=E6=97=A5?="}, "-|" + std::string(252, 'a') + "日"},
        {{"Subject: x", " "s.append(5000, 'y'), " z"}, "-|x "s.append(253, 'y')},
        {{"From: first", "From: second", "X-From: no", "Fromage: no", "Received: from a", " Subject: no", "Subject"},
         "second|-"},
        {{"Subject: 50% =?off", "From:"}, "|50% =?off"},
        // Split, padded and folded words read whole; a character split between words too.
        {{"Subject: =?UTF-8?B?0KHRh9GR0YIg0LfQsA==?=", " =?UTF-8?B?INC40Y7QvdGMIOKAlA==?= =?UTF-8?B?INC+0L/Qu9Cw0YLQuA==?=",
          "\t=?UTF-8?B?0YLRjCDQtNC+INC/?= =?UTF-8?B?0Y/RgtC90LjRhtGL?="}, "-|Счёт за июнь — оплатить до пятницы"},
        {{"Subject: =?utf-8?b?ww?= =?UTF-8?B?qQ==?= =?windows-1252?q?=80_5?= =?koi8-r?b?8NLJ18XU?= =?UTF-8*en?Q?!?="},
         "-|é€ 5Привет!"},
        // What cannot be decoded stays as it came, with its blanks.
        {{"Subject: =?x-unknown?q?a?= =?utf-8?b?w!==?= =?utf-8?b?w6=k?= =?utf-8?q?b=?= =?utf-8?q?c=C3?= =?utf-8//IGNORE?q?d?= =?utf-8?q?ok?= ="},
         "-|=?x-unknown?q?a?= =?utf-8?b?w!==?= =?utf-8?b?w6=k?= =?utf-8?q?b=?= =?utf-8?q?c=C3?= =?utf-8//IGNORE?q?d?= ok ="},
        // No control or bidirectional formatting character survives, encoded or raw.
        {{"Subject: =?UTF-8?Q?a=E2=80=AEb=E2=81=A6c=E2=80=8Fd=0D=0Ae=C2=85f=E2=80=A8g=E2=80=8Dh?=", "From: \xE2\x80\xAE" "evil"},
         "evil|abcd e f g\u200Dh"},
        {{"Subject: a\0b\rc\nd"s, "From: x\x85y"}, "x y|a b c"},
    };
    for (const auto& [block, expected] : cases) {
        HeaderText text;
        std::string from = "-", subject = "-";
        const auto record = [&](const std::optional<DecodedHeader>& header) {
            if (header)
                (header->field == HeaderField::From ? from : subject) = header->value;
        };
        for (const std::string& line : block)
            record(FeedHeaderLine(text, line));
        record(FinishHeaderBlock(text));
        EXPECT_EQ(from + "|" + subject, expected) << block.front();
    }
}

// Whatever the bytes, what is shown is UTF-8 (stray, overlong, surrogate, too large and cut
// sequences become U+FFFD), and showing it again changes nothing.
TEST(Utf8TextTest, ShownTextIsValidAndStable)
{
    const std::string shown = "a\uFFFDb\uFFFD(é|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\U0001F4E7\uFFFD\uFFFD";
    EXPECT_EQ(SafeDisplayText("a\xFF" "b\xC3(\xC3\xA9|\xE0\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xF0\x9F\x93\xA7\xE2\x82"), shown);
    EXPECT_EQ(SafeDisplayText(shown), shown);
}

// postbell-check's fields stay on one line, and a terminal acts on nothing in them.
TEST(CheckCommandLineTest, ValuesAreEscaped)
{
    std::string out;
    AppendEscaped(out, "a\tb\\c é esc\x1b[2J nul\0 del\x7f cr\r|\xC2\x85 \xC2\x9F \xE2\x80\xAE \xE2\x81\xA9 \xE2\x80\x8F \xD8\x9C"
                       " \xE2\x80\xA9 \xE2\x80\x8D|\x9B" "31m \xC3"s);
    EXPECT_EQ(out, "a\\tb\\\\c é esc\\x1b[2J nul\\x00 del\\x7f cr\\x0d|\\u{0085} \\u{009F} \\u{202E} \\u{2069} \\u{200F} \\u{061C}"
                   " \\u{2029} \xE2\x80\x8D|\\x9b31m \\xc3");
}

// The arguments, a blank between (two for an empty one), and what is read: host, user, port,
// time-out and trusted fingerprint, or "-" for a line refused with a reason.
TEST(CheckCommandLineTest, OptionsAreReadAndWrongLinesRefused)
{
    const std::string a32 = std::string(32, 'a'), zero32 = std::string(32, '0');
    for (const auto& [args, expected] : std::vector<std::pair<std::string, std::string>>{
             {"--timeout 5 -- -host- --seen", "-host-|--seen|110|5|"},
             {"--tls --trust-fingerprint AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA:" + zero32 + " h u", "h|u|995|60|" + a32 + zero32},
             {"host", "-"}, {"host user extra", "-"}, {"--port host user", "-"}, {"host user --port", "-"},
             {"--port 0 host user", "-"}, {"--port 65536 host user", "-"}, {"--port 11x host user", "-"},
             {"--timeout 0 host user", "-"}, {"--timeout 99999999999999 host user", "-"}, {"--seen  h u", "-"},
             {"--tls --starttls host user", "-"}, {"--cafile ca.pem host user", "-"},
             {"--trust-fingerprint " + a32 + a32.substr(1) + "g host user", "-"}}) {
        std::vector<std::string> argv(1);
        for (char c : args)
            c == ' ' ? (void)argv.emplace_back() : argv.back().push_back(c);
        CheckCommandLine line;
        std::string error;
        const bool taken = ParseCheckCommandLine(argv, line, error);
        EXPECT_EQ(taken ? line.host + "|" + line.user + "|" + std::to_string(line.port) + "|"
                          + std::to_string(line.timeoutSeconds) + "|" + line.trustedFingerprint
                        : error.empty() ? "refused without a reason" : "-", expected) << args;
    }
}

// Digests order as unsigned bytes, first byte first, and are stored back to back in that order,
// each once, whatever order a list made by hand had; MD5 as RFC 1321 gives it.
TEST(MessageIdentityTest, DigestsOrderAndStoreByTheirBytes)
{
    const std::string z(16, '\0'), ascending[] = {z, z.substr(8) + std::string(8, '\1'), "\1" + std::string(15, '\xff'),
                                                  "\x7f" + z.substr(1), "\x80" + z.substr(1), std::string(16, '\xff')};
    const auto pack = [&](std::initializer_list<int> indices) { std::string s; for (int i : indices) s += ascending[i]; return s; };
    DigestSet seen = UnpackDigests(pack({4, 1, 0, 5, 0, 3, 4}) + "partial");
    EXPECT_EQ(PackDigests(seen), pack({0, 1, 3, 4, 5}));
    MergeDigests(seen, UnpackDigests(pack({5, 2})));
    EXPECT_EQ(PackDigests(seen), pack({0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(ContainsDigest(seen, DigestFromBytes(ascending[3])) && !ContainsDigest(seen, DigestFromBytes(z.substr(8) + std::string(8, '\2'))));
    EXPECT_EQ(DigestHex(MakeUidDigest("")) + DigestHex(MakeUidDigest("abc")),
              "d41d8cd98f00b204e9800998ecf8427e900150983cd24fb0d6963f7d28e17f72");
}

// Each listed message keeps its own From and Subject, cut to 255 bytes, however the text fills
// its blocks; a message the listing did not name keeps none.
TEST(MessageIdentityTest, EveryListedMessageKeepsItsOwnText)
{
    CheckResults results;
    for (std::uint32_t n = 400; n >= 2; n -= 2)
        RecordListing(results, {}, n, std::to_string(n));
    FinishListing(results);
    const auto text = [](std::uint32_t n) { return std::string(n % 290 + 100, char('a' + n % 26)) + std::to_string(n); };
    for (std::uint32_t n = 1; n <= 401; ++n)
        RecordHeaders(results, n, text(n), text(n * 7));
    const MessageTable& table = results.messages;
    ASSERT_EQ(table.entries.size(), 200u);
    for (std::uint32_t n = 1; n <= 401; ++n) {
        const MessageInfo* m = FindMessage(table, n);
        ASSERT_EQ(m ? std::string(MessageFrom(table, *m)) + "|" + std::string(MessageSubject(table, *m)) : "-",
                  n % 2 || n > 400 ? "-" : text(n).substr(0, 255) + "|" + text(n * 7).substr(0, 255)) << n;
    }
}
