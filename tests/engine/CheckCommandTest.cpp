#include "CheckCommand.h"
#include "StatusText.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace std::string_literals;

namespace {

bool Parse(std::vector<std::string> args, CheckCommandLine& line)
{
    std::string error;
    const bool ok = ParseCheckCommandLine(args, line, error);
    EXPECT_EQ(ok, error.empty()) << error;
    return ok;
}

} // namespace

TEST(CheckCommandLineTest, DefaultsAndOptions)
{
    CheckCommandLine line;
    ASSERT_TRUE(Parse({"pop.example.org", "jo"}, line));
    EXPECT_EQ(line.host, "pop.example.org");
    EXPECT_EQ(line.user, "jo");
    EXPECT_EQ(line.port, 110);
    EXPECT_EQ(line.seenFile, "");
    EXPECT_EQ(line.timeoutSeconds, 60);

    CheckCommandLine all;
    ASSERT_TRUE(Parse({"--timeout", "5", "host", "--port", "65535", "--seen", "seen.bin", "user name"}, all));
    EXPECT_EQ(all.host, "host");
    EXPECT_EQ(all.user, "user name");
    EXPECT_EQ(all.port, 65535);
    EXPECT_EQ(all.seenFile, "seen.bin");
    EXPECT_EQ(all.timeoutSeconds, 5);

    CheckCommandLine dashed;
    ASSERT_TRUE(Parse({"--port", "995", "--", "-host-", "--seen"}, dashed));
    EXPECT_EQ(dashed.host, "-host-");
    EXPECT_EQ(dashed.user, "--seen");
}

TEST(CheckCommandLineTest, WrongCommandLinesAreRefused)
{
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"host"},
        {"host", "user", "extra"},
        {"--port", "host", "user"},
        {"host", "user", "--port"},
        {"--port", "0", "host", "user"},
        {"--port", "65536", "host", "user"},
        {"--port", "-1", "host", "user"},
        {"--port", "11x", "host", "user"},
        {"--port", "", "host", "user"},
        {"--timeout", "0", "host", "user"},
        {"--timeout", "99999999999999", "host", "user"},
        {"--seen", "", "host", "user"},
        {"--password", "x", "host", "user"},
        {"-p", "110", "host", "user"},
    };
    for (const auto& args : wrong) {
        CheckCommandLine line;
        std::string error;
        EXPECT_FALSE(ParseCheckCommandLine(args, line, error)) << testing::PrintToString(args);
        EXPECT_FALSE(error.empty());
    }
}

TEST(CheckCommandOutputTest, LinesAreFormattedForPeopleAndScripts)
{
    EXPECT_EQ(FormatStatusLine(15), "status 15 Successfully checked for new messages.");
    EXPECT_EQ(FormatStatusLine(17), "status 17 User name or password was rejected by the mail server.");
    EXPECT_EQ(FormatStatusLine(11), "status 11 Ready");
    EXPECT_EQ(FormatStatusLine(99), "status 99");
    EXPECT_EQ(StatusText(10), "");
    EXPECT_EQ(StatusText(19), "");

    MessageInfo info;
    info.number = 7;
    info.uidDigest = MakeUidDigest("abc");
    info.from = "Ann <ann@example.org>";
    info.subject = "Gr\xfc\xdf" "e";
    std::string lines;
    AppendMessageLine(lines, info);
    EXPECT_EQ(lines, "7\t900150983cd24fb0d6963f7d28e17f72\tAnn <ann@example.org>\tGr\xfc\xdf" "e\n");

    MessageInfo headerOnly;
    headerOnly.number = 4294967295u;
    headerOnly.from = "a\tb\\c";
    headerOnly.subject = "esc\x1b[2J nul\0 del\x7f cr\r"s;
    lines.clear();
    AppendMessageLine(lines, headerOnly);
    EXPECT_EQ(lines, "4294967295\t\ta\\tb\\\\c\tesc\\x1b[2J nul\\x00 del\\x7f cr\\x0d\n");

    EXPECT_EQ(FormatNewMailLine(true), "new mail: yes");
    EXPECT_EQ(FormatNewMailLine(false), "new mail: no");

    EXPECT_EQ(ExitCodeForStatus(15), 0);
    EXPECT_EQ(ExitCodeForStatus(16), 1);
    EXPECT_EQ(ExitCodeForStatus(17), 2);
    EXPECT_EQ(ExitCodeForStatus(18), 3);
    EXPECT_EQ(ExitCodeForStatus(14), 3);
}

TEST(SeenFileTest, RoundTripAndPartialRecord)
{
    TempFolder folder;
    const std::string path = folder.path + "/seen";
    DigestSet digests;
    std::string error;
    ASSERT_TRUE(LoadSeenFile(path, digests, error)) << error;
    EXPECT_TRUE(digests.empty()) << "a missing file is an empty set";

    const DigestSet written = {MakeUidDigest("a"), MakeUidDigest("b"), DigestFromBytes(std::string(16, '\0'))};
    ASSERT_TRUE(SaveSeenFile(path, written, error)) << error;
    ASSERT_TRUE(LoadSeenFile(path, digests, error)) << error;
    EXPECT_EQ(digests, written);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"seen"}) << "no temporary file is left";

    std::string bytes = ReadFile(path);
    EXPECT_EQ(bytes.size(), 48u);
    WriteFile(path, bytes + "0123456789");
    ASSERT_TRUE(LoadSeenFile(path, digests, error)) << error;
    EXPECT_EQ(digests, written) << "the partial record is ignored";

    ASSERT_TRUE(SaveSeenFile(path, DigestSet{}, error)) << error;
    EXPECT_EQ(ReadFile(path), "");
}

TEST(SeenFileTest, UnusableFilesAreReported)
{
    TempFolder folder;
    DigestSet digests = {MakeUidDigest("kept")};
    std::string error;
    EXPECT_FALSE(LoadSeenFile(folder.path, digests, error)) << "a folder is not a seen file";
    EXPECT_FALSE(error.empty());

    error.clear();
    EXPECT_FALSE(SaveSeenFile(folder.path + "/missing/seen", digests, error));
    EXPECT_NE(error.find("missing/seen"), std::string::npos) << error;
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{});
}
