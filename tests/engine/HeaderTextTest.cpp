#include "HeaderText.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::string Repeat(const std::string& piece, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

struct HeaderCase {
    const char* what;
    std::vector<std::string> block; // the lines between TOP's reply and its full stop
    std::optional<std::string> from;
    std::optional<std::string> subject;
};

const std::string Ja255 = Repeat("日", 85); // 86 would be 258 bytes

const HeaderCase HeaderCases[] = {
    {"plain", {"From: Ann <ann@example.org>", "Subject: Hello"}, "Ann <ann@example.org>", "Hello"},
    {"names in any case, blanks around the colon", {"FROM : Bob", "subject:\t  Hi there  "}, "Bob", "Hi there"},
    {"folded lines joined", {"Subject: A long", "   subject line", "\tcontinued", "From: c"}, "c",
     "A long subject line continued"},
    {"B in UTF-8", {"Subject: =?UTF-8?B?5pel5pys6Kqe?="}, std::nullopt, "日本語"},
    {"Q in Latin-1, underscore as space", {"Subject: =?ISO-8859-1?Q?Caf=E9_cr=E8me?= !"}, std::nullopt,
     "Café crème !"},
    {"mixed charsets across a fold, lower-case b and q",
     {"Subject: =?iso-8859-1?q?Gr=FC=DFe?=", " =?utf-8?b?5pel?= aus Köln"}, std::nullopt, "Grüße日 aus Köln"},
    {"an encoded display name", {"From: =?UTF-8?Q?J=C3=B6rg?= <j@example.org>"}, "Jörg <j@example.org>",
     std::nullopt},
    {"raw Latin-1 bytes", {"Subject: Caf\xE9 au lait", "From: M\xFCller"}, "Müller", "Café au lait"},
    {"the cut falls inside a character", {"Subject: " + std::string(254, 'a') + "é"}, std::nullopt,
     std::string(254, 'a')},
    {"the cut applies to the decoded text", {"Subject: =?UTF-8?B?" + Repeat("5pel", 86) + "?="}, std::nullopt, Ja255},
    {"a long fold is bounded", {"Subject: x", " " + std::string(5000, 'y'), " z"}, std::nullopt,
     "x " + std::string(253, 'y')},
    {"the last of two wins; look-alikes and their folds are ignored",
     {"From: first", "From: second", "X-From: no", "Fromage: no", "Received: from a", " Subject: no",
      "Subject"},
     "second", std::nullopt},
    {"text that only looks encoded stays", {"Subject: 50% =?off", "From:"}, "", "50% =?off"},
    {"NUL and CR stay, a line feed ends the value", {"Subject: a\0b\rc\nd"s}, std::nullopt, "a\0b\rc"s},
};

TEST(HeaderTextTest, ReadsFromAndSubjectOfEachBlock)
{
    HeaderText text;
    for (const HeaderCase& c : HeaderCases) {
        std::optional<std::string> from;
        std::optional<std::string> subject;
        const auto record = [&](const std::optional<DecodedHeader>& header) {
            if (header)
                (header->field == HeaderField::From ? from : subject) = header->value;
        };
        for (const std::string& line : c.block)
            record(FeedHeaderLine(text, line));
        record(FinishHeaderBlock(text));
        EXPECT_EQ(from, c.from) << c.what;
        EXPECT_EQ(subject, c.subject) << c.what;
    }
}

} // namespace
