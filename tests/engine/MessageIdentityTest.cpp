#include "CheckCommand.h"
#include "MessageIdentity.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

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
    EXPECT_FALSE(results.messages.at(9).uidDigest.has_value());
    EXPECT_EQ(results.messages.at(9).subject, "orphan");
    EXPECT_FALSE(results.newMail) << "headers never decide new mail";
    EXPECT_EQ(results.digests.size(), 1u);
}
