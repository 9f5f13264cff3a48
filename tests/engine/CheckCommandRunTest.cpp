// postbell-check as a whole, on a worker thread, against the scripted server.

#include "CheckCommand.h"
#include "ScriptedServer.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct CommandRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

CommandRun RunCommand(const std::vector<std::string>& args, const std::string& password = "pw")
{
    std::ostringstream out;
    std::ostringstream err;
    CommandRun run;
    run.exitCode = RunCheckCommand(args, password, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

void PlayTwoMessages(ScriptConnection& c)
{
    c.Send("+OK ready\r\n");
    c.Expect("USER jo\r\n");
    c.Send("+OK\r\n");
    c.Expect("PASS a b\r\n");
    c.Send("+OK\r\n");
    c.Expect("CAPA\r\n");
    c.Send("+OK\r\nPIPELINING\r\n.\r\n");
    c.Expect("STAT\r\n");
    c.Send("+OK 2 100\r\n");
    c.Expect("UIDL\r\n");
    c.Send("+OK\r\n1 uid-1\r\n2 uid-2\r\n.\r\n");
    c.Expect("TOP 1 0\r\nTOP 2 0\r\n");
    c.Send("+OK\r\nFrom: Ann\r\nSubject: Hello\r\n\r\n.\r\n+OK\r\nX-Other: y\r\n\r\n.\r\n");
    c.Expect("QUIT\r\n");
    c.Send("+OK bye\r\n");
    c.ExpectClosed();
}

std::string Port(const ScriptedServer& server) { return std::to_string(server.port); }

} // namespace

TEST(CheckCommandRunTest, SuccessfulChecksPrintTheMailboxAndKeepTheSeenFile)
{
    TempFolder folder;
    const std::string seen = folder.path + "/seen";
    const std::string expectedMessages = "1\t" + DigestHex(MakeUidDigest("uid-1")) + "\tAnn\tHello\n"
                                         + "2\t" + DigestHex(MakeUidDigest("uid-2")) + "\t\t\n";
    {
        ScriptedServer server;
        server.Start(PlayTwoMessages);
        const CommandRun run = RunCommand({"--port", Port(server), "--seen", seen, "127.0.0.1", "jo"}, "a b");
        ASSERT_TRUE(server.Finish());
        EXPECT_EQ(server.failure, "");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "status 15 Successfully checked for new messages.\n" + expectedMessages + "new mail: yes\n");
        DigestSet stored;
        std::string error;
        ASSERT_TRUE(LoadSeenFile(seen, stored, error));
        EXPECT_EQ(stored, (DigestSet{MakeUidDigest("uid-1"), MakeUidDigest("uid-2")}));
    }
    {
        ScriptedServer server;
        server.Start(PlayTwoMessages);
        const CommandRun run = RunCommand({"--seen", seen, "--port", Port(server), "127.0.0.1", "jo"}, "a b");
        ASSERT_TRUE(server.Finish());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, "status 15 Successfully checked for new messages.\n" + expectedMessages + "new mail: no\n");
    }
}

TEST(CheckCommandRunTest, FailuresGiveTheirExitCodesAndKeepTheSeenFile)
{
    TempFolder folder;
    const std::string seen = folder.path + "/seen";
    const std::string before(16, 'k');
    WriteFile(seen, before);
    {
        ScriptedServer server;
        server.Start([](ScriptConnection& c) {
            c.Send("+OK\r\n");
            c.Expect("USER jo\r\n");
            c.Send("+OK\r\n");
            c.Expect("PASS pw\r\n");
            c.Send("-ERR [AUTH] no\r\n");
            c.Expect("QUIT\r\n");
            c.Send("+OK\r\n");
            c.ExpectClosed();
        });
        const CommandRun run = RunCommand({"--seen", seen, "--port", Port(server), "127.0.0.1", "jo"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "status 17 User name or password was rejected by the mail server.\n");
    }
    {
        const CommandRun run = RunCommand({"--seen", seen, "--port", std::to_string(ClosedPort()), "127.0.0.1", "jo"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "status 16 Cannot connect to the mail server.\n");
    }
    EXPECT_EQ(ReadFile(seen), before);
}

TEST(CheckCommandRunTest, TimeOutStopsTheCheck)
{
    ScriptedServer server;
    server.Start([](ScriptConnection& c) { c.ExpectClosed(); });
    const CommandRun run = RunCommand({"--timeout", "1", "--port", Port(server), "127.0.0.1", "jo"});
    ASSERT_TRUE(server.Finish());
    EXPECT_EQ(server.failure, "") << "the connection was closed without a word";
    EXPECT_EQ(run.exitCode, 5);
    EXPECT_EQ(run.out, "status 12 Connecting to server...\n");
}

TEST(CheckCommandRunTest, WrongCommandLinesConnectNowhere)
{
    const CommandRun missing = RunCommand({"127.0.0.1"});
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find(std::string(CheckUsage)), std::string::npos);

    TempFolder folder;
    const CommandRun unreadable = RunCommand({"--seen", folder.path, "--port", std::to_string(ClosedPort()), "127.0.0.1", "jo"});
    EXPECT_EQ(unreadable.exitCode, 4);
    EXPECT_EQ(unreadable.out, "");
    EXPECT_NE(unreadable.err.find(folder.path), std::string::npos);
}
