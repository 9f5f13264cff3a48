#include "CheckCommand.h"
#include "MessageIdentity.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(UidDigestTest, IsRawMd5OfTheExactBytes)
{
    // RFC 1321 test suite.
    EXPECT_EQ(DigestHex(MakeUidDigest("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(DigestHex(MakeUidDigest("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(DigestHex(MakeUidDigest("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(MakeUidDigest("abc").size(), 16u);
    EXPECT_NE(MakeUidDigest("ABC"), MakeUidDigest("abc"));
    EXPECT_NE(MakeUidDigest("a\0b"s), MakeUidDigest("a"));
}

TEST(DigestSetTest, OrdersBytesAsUnsignedAndPrefixesFirst)
{
    UnsignedBytesLess less;
    EXPECT_TRUE(less("\x7f"s, "\x80"s));
    EXPECT_FALSE(less("\x80"s, "\x7f"s));
    EXPECT_TRUE(less("\x00"s, "\xff"s));
    EXPECT_TRUE(less("ab"s, "ab\x00"s));
    EXPECT_FALSE(less("ab"s, "ab"s));

    const DigestSet set = {"\xff\x01"s, "\x01"s, "\x80"s, "\x01\x00"s};
    const std::vector<std::string> ordered(set.begin(), set.end());
    EXPECT_EQ(ordered, (std::vector<std::string>{"\x01"s, "\x01\x00"s, "\x80"s, "\xff\x01"s}));
}

TEST(RecordListingTest, NewMailIsAnyListedDigestNotSeenBefore)
{
    const DigestSet seen = {MakeUidDigest("old-1"), MakeUidDigest("old-2")};

    CheckResults known;
    RecordListing(known, seen, 1, "old-1");
    EXPECT_FALSE(known.newMail);
    EXPECT_EQ(known.digests, (DigestSet{MakeUidDigest("old-1")}));

    CheckResults mixed;
    RecordListing(mixed, seen, 1, "new");
    RecordListing(mixed, seen, 2, "old-2");
    EXPECT_TRUE(mixed.newMail) << "once set it stays set";
    ASSERT_EQ(mixed.messages.size(), 2u);
    EXPECT_EQ(mixed.messages.at(1).uidDigest, MakeUidDigest("new"));
    EXPECT_EQ(mixed.messages.at(1).number, 1u);
    EXPECT_TRUE(mixed.messages.at(1).from.empty());

    CheckResults first;
    RecordListing(first, DigestSet{}, 7, "");
    EXPECT_TRUE(first.newMail);
    EXPECT_EQ(first.messages.at(7).uidDigest, MakeUidDigest(""));
}

TEST(RecordListingTest, RepeatedNumbersAndUniqueIds)
{
    CheckResults results;
    RecordListing(results, {}, 3, "a");
    RecordHeader(results, 3, "From", "x");
    RecordListing(results, {}, 3, "b");
    // The later entry replaces the record whole; both digests are known.
    EXPECT_EQ(results.messages.size(), 1u);
    EXPECT_EQ(results.messages.at(3).uidDigest, MakeUidDigest("b"));
    EXPECT_TRUE(results.messages.at(3).from.empty());
    EXPECT_EQ(results.digests.size(), 2u);

    RecordListing(results, {}, 4, "same");
    RecordListing(results, {}, 5, "same");
    EXPECT_EQ(results.messages.size(), 3u);
    EXPECT_EQ(results.digests.size(), 3u);
}

TEST(RecordHeaderTest, SetsFromAndSubjectAndCreatesMissingRecords)
{
    CheckResults results;
    RecordListing(results, {MakeUidDigest("u1")}, 1, "u1");
    RecordHeader(results, 1, "From", "first");
    RecordHeader(results, 1, "Subject", "hello");
    RecordHeader(results, 1, "From", "second");
    EXPECT_EQ(results.messages.at(1).from, "second");
    EXPECT_EQ(results.messages.at(1).subject, "hello");
    EXPECT_EQ(results.messages.at(1).uidDigest, MakeUidDigest("u1"));

    RecordHeader(results, 9, "Subject", "orphan");
    ASSERT_EQ(results.messages.size(), 2u);
    EXPECT_TRUE(results.messages.at(9).uidDigest.empty());
    EXPECT_EQ(results.messages.at(9).subject, "orphan");
    EXPECT_FALSE(results.newMail) << "headers never decide new mail";
    EXPECT_EQ(results.digests.size(), 1u);
}
