#include "Pop3Dialogue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// A dialogue whose outlet writes every effect, in order, into a log.
struct RecordedDialogue {
    Pop3Dialogue dialogue;
    std::vector<std::string> log;
    CheckResults published;

    explicit RecordedDialogue(DigestSet seen = {})
    {
        dialogue.user = "jo";
        dialogue.password = "pw";
        dialogue.seenDigests = std::move(seen);
        dialogue.state = Pop3State::AwaitGreeting;
        dialogue.outlet.sendCommand = [this](std::string_view bytes) { log.push_back("send " + std::string(bytes)); };
        dialogue.outlet.postStatus = [this](StatusCode code) { log.push_back("status " + std::to_string(code)); };
        dialogue.outlet.publishResults = [this](CheckResults&& results) {
            published = results;
            log.push_back("publish");
        };
        dialogue.outlet.signalStop = [this] { log.push_back("stop"); };
    }

    // Feeds the lines and returns what they caused.
    std::vector<std::string> Feed(std::initializer_list<std::string_view> lines)
    {
        log.clear();
        for (std::string_view line : lines)
            HandleLine(dialogue, line);
        return log;
    }
};

using Log = std::vector<std::string>;

} // namespace

TEST(DialogueTest, TwoMessageMailboxRunsTheWholeDialogueInOrder)
{
    RecordedDialogue r({MakeUidDigest("uid-1")});
    EXPECT_EQ(r.Feed({"+OK ready"}), (Log{"send USER jo\r\n", "status 13"}));
    EXPECT_EQ(r.dialogue.state, Pop3State::AwaitUserReply);
    EXPECT_EQ(r.Feed({"+OK"}), (Log{"send PASS pw\r\n"}));
    EXPECT_EQ(r.Feed({"+OK"}), (Log{"send STAT\r\n", "status 14"}));
    EXPECT_EQ(r.Feed({"+OK 2 320"}), (Log{"send UIDL\r\n"}));
    EXPECT_EQ(r.dialogue.messageCount, 2);
    EXPECT_EQ(r.Feed({"+OK", "1 uid-1", "2 uid-2", "junk", "."}), (Log{"send TOP 1 0\r\n"}));
    EXPECT_EQ(r.Feed({"+OK", "From: one", "Subject: first", "", "."}), (Log{"send TOP 2 0\r\n"}));
    EXPECT_EQ(r.Feed({"+OK", "From: two", "From: two again", "Subject: second", "."}),
              (Log{"publish", "status 15", "send QUIT\r\n"}));
    EXPECT_EQ(r.dialogue.state, Pop3State::AwaitQuitReply);
    EXPECT_EQ(r.Feed({"+OK bye"}), (Log{"stop"}));

    ASSERT_EQ(r.published.messages.size(), 2u);
    EXPECT_EQ(r.published.messages.at(1).from, "one");
    EXPECT_EQ(r.published.messages.at(1).subject, "first");
    EXPECT_EQ(r.published.messages.at(2).from, "two again");
    EXPECT_EQ(r.published.messages.at(2).uidDigest, MakeUidDigest("uid-2"));
    EXPECT_TRUE(r.published.newMail);
    EXPECT_EQ(r.published.digests, (DigestSet{MakeUidDigest("uid-1"), MakeUidDigest("uid-2")}));
}

TEST(DialogueTest, EmptyOrUnreadableMailboxPublishesEmptyResultsAtOnce)
{
    for (std::string_view stat : {"+OK 0 0", "+OK many", "+OK"}) {
        RecordedDialogue r({MakeUidDigest("forgotten")});
        r.Feed({"+OK", "+OK", "+OK"});
        EXPECT_EQ(r.Feed({stat}), (Log{"publish", "status 15", "send QUIT\r\n"})) << stat;
        EXPECT_TRUE(r.published.messages.empty());
        EXPECT_TRUE(r.published.digests.empty());
        EXPECT_FALSE(r.published.newMail);
    }
}

TEST(DialogueTest, TopLoopFollowsTheCountNotTheListing)
{
    // The listing names message 5 only; TOP still asks for 1 and 2, and the
    // headers go to the numbers asked for.
    RecordedDialogue r;
    r.Feed({"+OK", "+OK", "+OK", "+OK 2 0", "+OK", "5 five"});
    EXPECT_EQ(r.Feed({"."}), (Log{"send TOP 1 0\r\n"}));
    EXPECT_EQ(r.Feed({"+OK", "Subject: s1", "."}), (Log{"send TOP 2 0\r\n"}));
    r.Feed({"+OK", ".."});
    EXPECT_EQ(r.Feed({"."}), (Log{"publish", "status 15", "send QUIT\r\n"}));
    ASSERT_EQ(r.published.messages.size(), 2u);
    EXPECT_TRUE(r.published.messages.at(1).uidDigest.empty());
    EXPECT_EQ(r.published.messages.at(1).subject, "s1");
    EXPECT_EQ(r.published.messages.at(5).uidDigest, MakeUidDigest("five"));
}

TEST(DialogueTest, NegativeReplyInEveryStateSendsQuitThenPostsTheReason)
{
    struct Case {
        std::vector<std::string_view> before;
        StatusCode status;
    };
    const Case cases[] = {
        {{}, 16},
        {{"+OK"}, 17},
        {{"+OK", "+OK"}, 17},
        {{"+OK", "+OK", "+OK"}, 18},
        {{"+OK", "+OK", "+OK", "+OK 1 1"}, 18},
        {{"+OK", "+OK", "+OK", "+OK 1 1", "+OK", "1 a", "."}, 18},
        {{"+OK", "+OK", "+OK", "+OK 2 1", "+OK", "1 a", ".", "+OK", "From: x", "."}, 18},
    };
    for (const Case& c : cases) {
        for (std::string_view negative : {"-ERR no", "+ok", "+OKAY", ""}) {
            RecordedDialogue s;
            for (std::string_view line : c.before)
                HandleLine(s.dialogue, line);
            EXPECT_EQ(s.Feed({negative}), (Log{"send QUIT\r\n", "status " + std::to_string(c.status)}))
                << "after " << c.before.size() << " lines, reply \"" << negative << "\"";
            EXPECT_EQ(s.dialogue.state, Pop3State::AwaitQuitReply);
            // Whatever follows a refused QUIT changes nothing, until a positive reply.
            EXPECT_EQ(s.Feed({"-ERR", "+OKish", "."}), Log{});
            EXPECT_EQ(s.Feed({"+OK bye", "+OK"}), (Log{"stop", "stop"}));
        }
    }
}

TEST(DialogueTest, NegativeCountKeepsAskingUntilTheServerRefuses)
{
    RecordedDialogue r;
    r.Feed({"+OK", "+OK", "+OK", "+OK -1 0", "+OK", "."});
    // -1 compares as 4294967295: message 2 is not past it.
    EXPECT_EQ(r.Feed({"+OK", "."}), (Log{"send TOP 2 0\r\n"}));
    EXPECT_EQ(r.Feed({"-ERR no such message"}), (Log{"send QUIT\r\n", "status 18"}));
}
