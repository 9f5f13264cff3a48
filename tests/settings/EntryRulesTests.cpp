#include "EntryRules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(EntryRules, UnsignedDecimalConvertsOnlyDigitsAfterLeadingSpaces)
{
    for (const auto& [text, expected] : {std::pair{"  7", 7u}, {"007", 7u}, {"4294967295", 4294967295u}}) {
        std::uint32_t number = 12345;
        EXPECT_TRUE(ParseUnsignedDecimal(text, number) && number == expected) << text;
    }
    for (const char* text : {"", "   ", "-5", "+5", "5 ", "5x", "\t5", "4294967296", "99999999999999999999"}) {
        std::uint32_t number = 12345;
        EXPECT_FALSE(ParseUnsignedDecimal(text, number)) << text;
        EXPECT_EQ(number, 12345u) << text;
    }
    // 2^32 + 95 and 2^32 + 1 must not wrap round into range.
    EXPECT_EQ(PortFromEntry("4294967391"), 110);
    std::uint32_t minutes = 5;
    EXPECT_FALSE(ParseInterval("4294967297", minutes));
}

TEST(EntryRules, TextsAreCutTo255BytesWithoutSplittingACharacter)
{
    const std::string a254(254, 'a');
    EXPECT_EQ(CutUtf8(std::string(300, 's'), 255), std::string(255, 's'));
    EXPECT_EQ(CutUtf8(a254 + "b", 255), a254 + "b");
    // "é" is two bytes, "€" three, "𝄞" four: one that would straddle byte 255 goes whole.
    EXPECT_EQ(CutUtf8(a254 + "é", 255), a254);
    EXPECT_EQ(CutUtf8(a254.substr(1) + "éb", 255), a254.substr(1) + "é");
    EXPECT_EQ(CutUtf8(a254.substr(1) + "€", 255), a254.substr(1));
    EXPECT_EQ(CutUtf8(a254.substr(2) + "𝄞", 255), a254.substr(2));
    EXPECT_EQ(CutUtf8(a254.substr(3) + "𝄞z", 255), a254.substr(3) + "𝄞");
}

} // namespace
