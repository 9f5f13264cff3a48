#include "LineEngine.h"
#include "Pop3Dialogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

TEST(ReplyTest, OnlyExactPlusOkOrPlusOkSpaceIsPositive)
{
    EXPECT_TRUE(IsPositiveReply("+OK"));
    EXPECT_TRUE(IsPositiveReply("+OK "));
    EXPECT_TRUE(IsPositiveReply("+OK POP3 server ready"));
    EXPECT_FALSE(IsPositiveReply("+OKAY"));
    EXPECT_FALSE(IsPositiveReply("+OK\tready"));
    EXPECT_FALSE(IsPositiveReply("+ok ready"));
    EXPECT_FALSE(IsPositiveReply("-ERR no"));
    EXPECT_FALSE(IsPositiveReply(" +OK"));
    EXPECT_FALSE(IsPositiveReply(""));
    EXPECT_FALSE(IsPositiveReply("+O"));
}

TEST(StatReplyTest, CountIsTheSignedNumberAfterTheIndicator)
{
    EXPECT_EQ(ParseStatCount("+OK 2 320"), 2);
    EXPECT_EQ(ParseStatCount("+OK 0 0"), 0);
    EXPECT_EQ(ParseStatCount("+OK    17"), 17);
    EXPECT_EQ(ParseStatCount("+OK \t 5 1"), 5);
    EXPECT_EQ(ParseStatCount("+OK 12abc"), 12);
    EXPECT_EQ(ParseStatCount("+OK +7 0"), 7);
    EXPECT_EQ(ParseStatCount("+OK -3 0"), -3);
    EXPECT_EQ(ParseStatCount("+OK 2147483647"), 2147483647);
    EXPECT_EQ(ParseStatCount("+OK -2147483648"), -2147483647 - 1);
}

TEST(StatReplyTest, UnreadableCountIsZero)
{
    EXPECT_EQ(ParseStatCount("+OK"), 0);
    EXPECT_EQ(ParseStatCount("+OK "), 0);
    EXPECT_EQ(ParseStatCount("+OK mailbox has 3"), 0);
    EXPECT_EQ(ParseStatCount("+OK - 3"), 0);
    EXPECT_EQ(ParseStatCount("+OK 2147483648"), 0);
    EXPECT_EQ(ParseStatCount("+OK 99999999999999999999999"), 0);
}

TEST(ListingEntryTest, NumberSeparatorAndUniqueId)
{
    ListingEntry entry;
    ASSERT_TRUE(ParseListingEntry("3 abc more text", entry));
    EXPECT_EQ(entry.number, 3u);
    EXPECT_EQ(entry.uniqueId, "abc");

    ASSERT_TRUE(ParseListingEntry("  \t12 xyz", entry));
    EXPECT_EQ(entry.number, 12u);
    EXPECT_EQ(entry.uniqueId, "xyz");

    // Exactly one separator is skipped, whatever it is.
    ASSERT_TRUE(ParseListingEntry("4  abc", entry));
    EXPECT_EQ(entry.uniqueId, "");
    ASSERT_TRUE(ParseListingEntry("5\tabc", entry));
    EXPECT_EQ(entry.uniqueId, "abc");
    ASSERT_TRUE(ParseListingEntry("6abc", entry));
    EXPECT_EQ(entry.number, 6u);
    EXPECT_EQ(entry.uniqueId, "bc");
    ASSERT_TRUE(ParseListingEntry("7", entry));
    EXPECT_EQ(entry.uniqueId, "");
    ASSERT_TRUE(ParseListingEntry("8 ", entry));
    EXPECT_EQ(entry.uniqueId, "");

    // Only a space ends the unique-id; NUL and tab are part of it.
    const std::string withNul = "9 a\tb\0c d"s;
    ASSERT_TRUE(ParseListingEntry(withNul, entry));
    EXPECT_EQ(entry.uniqueId, "a\tb\0c"s);

    ASSERT_TRUE(ParseListingEntry("4294967295 max", entry));
    EXPECT_EQ(entry.number, 4294967295u);
}

TEST(ListingEntryTest, UniqueIdIsCutAtSeventyBytes)
{
    const std::string eighty(80, 'u');
    const std::string longLine = "1 " + eighty;
    const std::string fullLine = "1 " + eighty.substr(0, 70) + " tail";
    ListingEntry entry;
    ASSERT_TRUE(ParseListingEntry(longLine, entry));
    EXPECT_EQ(entry.uniqueId, eighty.substr(0, 70));
    ASSERT_TRUE(ParseListingEntry(fullLine, entry));
    EXPECT_EQ(entry.uniqueId.size(), 70u);
}

TEST(ListingEntryTest, LinesWithoutAUsableNumberAreIgnored)
{
    ListingEntry entry;
    EXPECT_FALSE(ParseListingEntry("0 abc", entry));
    EXPECT_FALSE(ParseListingEntry("000 abc", entry));
    EXPECT_FALSE(ParseListingEntry("abc 1", entry));
    EXPECT_FALSE(ParseListingEntry("", entry));
    EXPECT_FALSE(ParseListingEntry("   ", entry));
    EXPECT_FALSE(ParseListingEntry("-1 abc", entry));
    EXPECT_FALSE(ParseListingEntry("+1 abc", entry));
    EXPECT_FALSE(ParseListingEntry("4294967296 abc", entry));
    EXPECT_FALSE(ParseListingEntry("..", entry));
}

TEST(HeaderLineTest, FromAndSubjectValues)
{
    HeaderLine header;
    ASSERT_TRUE(ParseHeaderLine("Subject: Re: hello", header));
    EXPECT_EQ(header.name, "Subject");
    EXPECT_EQ(header.value, "Re: hello");

    ASSERT_TRUE(ParseHeaderLine("From: A <a@example.org>  ", header));
    EXPECT_EQ(header.name, "From");
    EXPECT_EQ(header.value, "A <a@example.org>  ");

    // The one character after the colon is skipped, whatever it is.
    ASSERT_TRUE(ParseHeaderLine("Subject:x", header));
    EXPECT_EQ(header.value, "");
    ASSERT_TRUE(ParseHeaderLine("Subject:  two", header));
    EXPECT_EQ(header.value, " two");
    ASSERT_TRUE(ParseHeaderLine("Subject:\ttab", header));
    EXPECT_EQ(header.value, "tab");
    ASSERT_TRUE(ParseHeaderLine("Subject:", header));
    EXPECT_EQ(header.value, "");
    ASSERT_TRUE(ParseHeaderLine("Subject: =?UTF-8?B?w6k=?= a:b", header));
    EXPECT_EQ(header.value, "=?UTF-8?B?w6k=?= a:b");

    // A line without a colon is all name.
    ASSERT_TRUE(ParseHeaderLine("From", header));
    EXPECT_EQ(header.value, "");

    // The value stops at a line feed inside the line; NUL and CR stay.
    const std::string withControls = "Subject: a\0b\rc\nd"s;
    ASSERT_TRUE(ParseHeaderLine(withControls, header));
    EXPECT_EQ(header.value, "a\0b\rc"s);
}

TEST(HeaderLineTest, ValueIsCutAt255Bytes)
{
    const std::string longValue(300, 'v');
    const std::string line = "From: " + longValue;
    HeaderLine header;
    ASSERT_TRUE(ParseHeaderLine(line, header));
    EXPECT_EQ(header.value, longValue.substr(0, 255));
}

TEST(HeaderLineTest, OtherNamesAreIgnored)
{
    HeaderLine header;
    for (const char* line : {"from: x", "SUBJECT: x", "From : x", " From: x", "From\t: x", "Subject x",
                             "\tcontinued: x", "X-From: x", "Fromage: x", "", "Received: from a"})
        EXPECT_FALSE(ParseHeaderLine(line, header)) << line;
    EXPECT_FALSE(ParseHeaderLine(std::string(300, 'F') + ": x", header));
}

namespace {

std::vector<std::string> Assemble(LineAssembler& assembler, std::string_view bytes)
{
    std::vector<std::string> lines;
    assembler.Feed(bytes, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

} // namespace

TEST(LineAssemblyTest, EverySplitGivesTheSameLines)
{
    const std::string stream = "+OK hi\r\n1 a\rb\nc\r\n\r\n\0x\r\n.\r\npartial"s;
    const std::vector<std::string> expected = {"+OK hi", "1 a\rb\nc", "", "\0x"s, "."};
    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            LineAssembler assembler;
            std::vector<std::string> lines = Assemble(assembler, std::string_view(stream).substr(0, cut1));
            for (auto& line : Assemble(assembler, std::string_view(stream).substr(cut1, cut2 - cut1)))
                lines.push_back(line);
            for (auto& line : Assemble(assembler, std::string_view(stream).substr(cut2)))
                lines.push_back(line);
            ASSERT_EQ(lines, expected) << "cuts at " << cut1 << " and " << cut2;
            ASSERT_EQ(assembler.pending, "partial");
        }
    }
}

TEST(LineAssemblyTest, LoneCarriageReturnsAndLineFeedsDoNotEndLines)
{
    LineAssembler assembler;
    EXPECT_TRUE(Assemble(assembler, "a\r").empty());
    EXPECT_TRUE(Assemble(assembler, "\rb\n").empty());
    EXPECT_TRUE(Assemble(assembler, "\n\r").empty());
    EXPECT_EQ(Assemble(assembler, "\n"), std::vector<std::string>{"a\r\rb\n\n"});
    EXPECT_TRUE(assembler.pending.empty());
}
