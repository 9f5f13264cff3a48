// The reply, listing and header readers, and the line cutting, as tables of cases.

#include "LineEngine.h"
#include "Pop3Dialogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

TEST(Pop3ParsingTest, RepliesAndCounts)
{
    const std::pair<const char*, bool> replies[] = {
        {"+OK", true},     {"+OK ", true},   {"+OK POP3 server ready", true}, {"+OKAY", false},
        {"+OK\tready", false}, {"+ok ready", false}, {"-ERR no", false}, {" +OK", false}, {"", false}, {"+O", false},
    };
    for (const auto& [line, positive] : replies)
        EXPECT_EQ(IsPositiveReply(line), positive) << line;

    // An unreadable count is 0.
    const std::pair<const char*, std::int32_t> counts[] = {
        {"+OK 2 320", 2},         {"+OK    17", 17},   {"+OK \t 5 1", 5},           {"+OK 12abc", 12},
        {"+OK +7 0", 7},          {"+OK -3 0", -3},   {"+OK 2147483647", 2147483647}, {"+OK -2147483648", INT32_MIN},
        {"+OK", 0},               {"+OK mailbox has 3", 0}, {"+OK - 3", 0},       {"+OK 2147483648", 0},
        {"+OK 99999999999999999999999", 0},
    };
    for (const auto& [line, count] : counts)
        EXPECT_EQ(ParseStatCount(line), count) << line;
}

TEST(Pop3ParsingTest, ListingEntries)
{
    const std::string eighty(80, 'u');
    struct Case {
        std::string line;
        bool taken;
        std::uint32_t number;
        std::string uniqueId;
    };
    const Case cases[] = {
        {"3 abc more text", true, 3, "abc"},
        {"  \t12 xyz", true, 12, "xyz"},
        // Exactly one separator is skipped, whatever it is; only a space ends the unique-id.
        {"4  abc", true, 4, ""},
        {"5\tabc", true, 5, "abc"},
        {"6abc", true, 6, "bc"},
        {"7", true, 7, ""},
        {"9 a\tb\0c d"s, true, 9, "a\tb\0c"s},
        {"4294967295 max", true, 4294967295u, "max"},
        {"1 " + eighty, true, 1, eighty.substr(0, 70)},
        // Lines without a usable number are ignored.
        {"0 abc", false, 0, ""},
        {"000 abc", false, 0, ""},
        {"abc 1", false, 0, ""},
        {"   ", false, 0, ""},
        {"-1 abc", false, 0, ""},
        {"+1 abc", false, 0, ""},
        {"4294967296 abc", false, 0, ""},
        {"..", false, 0, ""},
    };
    for (const Case& c : cases) {
        ListingEntry entry;
        ASSERT_EQ(ParseListingEntry(c.line, entry), c.taken) << c.line;
        if (c.taken) {
            EXPECT_EQ(entry.number, c.number) << c.line;
            EXPECT_EQ(entry.uniqueId, c.uniqueId) << c.line;
        }
    }
}

TEST(Pop3ParsingTest, HeaderLines)
{
    const std::string longValue(300, 'v');
    const std::pair<std::string, std::string> taken[] = {
        {"Subject: Re: hello", "Re: hello"},
        {"From: A <a@example.org>  ", "A <a@example.org>  "},
        // The one character after the colon is skipped, whatever it is.
        {"Subject:x", ""},
        {"Subject:  two", " two"},
        {"Subject:\ttab", "tab"},
        {"Subject: =?UTF-8?B?w6k=?= a:b", "=?UTF-8?B?w6k=?= a:b"},
        {"From", ""}, // a line without a colon is all name
        // The value stops at a line feed inside the line; NUL and CR stay.
        {"Subject: a\0b\rc\nd"s, "a\0b\rc"s},
        {"From: " + longValue, longValue.substr(0, 255)},
    };
    for (const auto& [line, value] : taken) {
        HeaderLine header;
        ASSERT_TRUE(ParseHeaderLine(line, header)) << line;
        EXPECT_EQ(header.value, value) << line;
    }
    for (const std::string line : {"from: x", "SUBJECT: x", "From : x", " From: x", "From\t: x", "Subject x",
                                   "\tcontinued: x", "X-From: x", "Fromage: x", "", "Received: from a"}) {
        HeaderLine header;
        EXPECT_FALSE(ParseHeaderLine(line, header)) << line;
    }
}

TEST(Pop3ParsingTest, EverySplitGivesTheSameLines)
{
    const std::string stream = "+OK hi\r\n1 a\rb\nc\r\n\r\n\0x\r\n.\r\na\r\rb\n\n\rpartial"s;
    const std::vector<std::string> expected = {"+OK hi", "1 a\rb\nc", "", "\0x"s, "."};
    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            LineAssembler assembler;
            std::vector<std::string> lines;
            const auto onLine = [&](std::string_view line) { lines.emplace_back(line); };
            assembler.Feed(std::string_view(stream).substr(0, cut1), onLine);
            assembler.Feed(std::string_view(stream).substr(cut1, cut2 - cut1), onLine);
            assembler.Feed(std::string_view(stream).substr(cut2), onLine);
            ASSERT_EQ(lines, expected) << "cuts at " << cut1 << " and " << cut2;
            ASSERT_EQ(assembler.pending, "a\r\rb\n\n\rpartial");
        }
    }
}
