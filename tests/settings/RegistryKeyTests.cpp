#include "RegistryKey.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;
constexpr StoreRead Found = StoreRead::Found;
constexpr StoreRead Absent = StoreRead::Absent;

struct RegistryKeyTest : ::testing::Test {
    TempConfigHome home;
    std::string text = "kept";
    std::uint32_t number = 0xFFFFFFFF;
};

TEST_F(RegistryKeyTest, ReadsOfWhatIsNotThereAreAbsentChangeNothingAndCreateNothing)
{
    bool flag = true;
    EXPECT_EQ(RegistryKey::ReadString("Host", text), Absent);
    EXPECT_EQ(RegistryKey::ReadDword("Delay", number), Absent);
    EXPECT_EQ(RegistryKey::ReadBool("WaitForDialup", flag), Absent);
    EXPECT_FALSE(PathExists(home.configHome)) << "a read created the store's folder";
    SeedValue("Host", 1, "other\0"s, "Software\\Veltrane\\Other"); // only another program's key
    EXPECT_EQ(RegistryKey::ReadString("Host", text), Absent);
    SeedValue("User", 1, "alice\0"s); // the key, without the value
    EXPECT_EQ(RegistryKey::ReadBinary("Host", text), Absent);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(number, 0xFFFFFFFFu);
    EXPECT_TRUE(flag);
}

TEST_F(RegistryKeyTest, StringReadsDropTheLastByteByPositionAndStopAt8193Bytes)
{
    SeedValue("Unterminated", 1, "abc");
    SeedValue("Inner", 1, "a\0b\0"s);
    SeedValue("Number", 4, "123\0"s); // the type is never looked at
    SeedValue("Empty", 1, "");
    SeedValue("Longest", 1, std::string(8192, 'h') + '\0');
    SeedValue("TooLong", 3, std::string(8194, '\x81'));
    EXPECT_EQ(RegistryKey::ReadString("Unterminated", text), Found);
    EXPECT_EQ(text, "ab");
    EXPECT_EQ(RegistryKey::ReadString("Inner", text), Found);
    EXPECT_EQ(text, "a\0b"s);
    EXPECT_EQ(RegistryKey::ReadString("Number", text), Found);
    EXPECT_EQ(text, "123");
    EXPECT_EQ(RegistryKey::ReadString("Empty", text), Found); // no data: read, and nothing changes
    EXPECT_EQ(RegistryKey::ReadBinary("Empty", text), Found);
    EXPECT_EQ(text, "123");
    EXPECT_EQ(RegistryKey::ReadString("Longest", text), Found);
    EXPECT_EQ(text, std::string(8192, 'h'));
    EXPECT_EQ(RegistryKey::ReadBinary("Longest", text), Found);
    EXPECT_EQ(text, std::string(8192, 'h') + '\0');
    EXPECT_EQ(RegistryKey::ReadString("TooLong", text), Absent);
    EXPECT_EQ(RegistryKey::ReadBinary("TooLong", text), Absent);
    EXPECT_EQ(text, std::string(8192, 'h') + '\0');
}

TEST_F(RegistryKeyTest, NumberReadsTakeAtMostFourBytesLittleEndianZeroExtended)
{
    SeedValue("Eight", 4, std::string(8, '\x01'));
    SeedValue("Three", 4, "\x01\x02\x03");
    SeedValue("Binary", 3, "\x2c\x01\0\0"s);
    EXPECT_EQ(RegistryKey::ReadDword("Eight", number), Absent);
    EXPECT_EQ(number, 0xFFFFFFFFu);
    EXPECT_EQ(RegistryKey::ReadDword("Three", number), Found);
    EXPECT_EQ(number, 0x030201u);
    EXPECT_EQ(RegistryKey::ReadDword("Binary", number), Found);
    EXPECT_EQ(number, 300u);

    ASSERT_TRUE(RegistryKey::WriteDword("Port", std::uint32_t{0x12345}));
    std::uint16_t word = 0;
    EXPECT_EQ(RegistryKey::ReadWord("Port", word), Found);
    EXPECT_EQ(word, 0x2345);
    ASSERT_TRUE(RegistryKey::WriteDword("All", std::uint32_t{4294967295u}));
    bool flag = false;
    EXPECT_EQ(RegistryKey::ReadBool("All", flag), Found);
    EXPECT_TRUE(flag);
    std::int32_t signedNumber = 0;
    EXPECT_EQ(RegistryKey::ReadDword("All", signedNumber), Found);
    EXPECT_EQ(signedNumber, -1);
}

TEST_F(RegistryKeyTest, KeyPathsAndValueNamesMatchWhateverTheirCase)
{
    SeedValue("hOST", 1, "mail\0"s, "SOFTWARE\\veltrane\\POSTBELL");
    EXPECT_EQ(RegistryKey::ReadString("Host", text), Found);
    EXPECT_EQ(text, "mail");
    ASSERT_TRUE(RegistryKey::WriteString("HOST", "pop"));
    EXPECT_EQ(RegistryKey::ReadString("host", text), Found);
    EXPECT_EQ(text, "pop");
    EXPECT_EQ(RunSql("SELECT count(*) FROM value; SELECT count(*) FROM key"), "1\n3\n");
}

TEST_F(RegistryKeyTest, AFreshStoreHoldsExactlyTheRegistryBytesWithPrivateModes)
{
    ASSERT_TRUE(RegistryKey::WriteString("Host", "mail.example.org"));
    ASSERT_TRUE(RegistryKey::WriteString("Password", "pa\0ss"s)); // a zero-terminated text ends at its zero
    ASSERT_TRUE(RegistryKey::WriteBinary("UIDList", ""));
    ASSERT_TRUE(RegistryKey::WriteBinary("Blob", "\0\xff\x10"s));
    ASSERT_TRUE(RegistryKey::WriteDword("Delay", std::uint32_t{0x0A0B0C0D}));
    ASSERT_TRUE(RegistryKey::WriteDword("WindowLeft", std::int32_t{-20}));
    ASSERT_TRUE(RegistryKey::WriteBool("WaitForDialup", true));

    EXPECT_EQ(RunSql("SELECT path FROM key ORDER BY path; SELECT DISTINCT key FROM value"),
              "Software\nSoftware\\Veltrane\nSoftware\\Veltrane\\Postbell\nSoftware\\Veltrane\\Postbell\n");
    EXPECT_EQ(RawValue("Host"), "1|blob|" + Hex("mail.example.org\0"s));
    EXPECT_EQ(RawValue("Password"), "1|blob|706100");
    EXPECT_EQ(RawValue("UIDList"), "3|blob|");
    EXPECT_EQ(RawValue("Blob"), "3|blob|00FF10");
    EXPECT_EQ(RawValue("Delay"), "4|blob|0D0C0B0A");
    EXPECT_EQ(RawValue("WindowLeft"), "4|blob|ECFFFFFF");
    EXPECT_EQ(RawValue("WaitForDialup"), "4|blob|01000000");
    EXPECT_EQ(RegistryKey::ReadBinary("UIDList", text), Found); // the empty value exists
    EXPECT_EQ(text, "kept");

    EXPECT_EQ(RegistryStorePath(), home.configHome + "/postbell/registry.sqlite3");
    EXPECT_EQ(PathMode(home.configHome + "/postbell"), 0700u);
    EXPECT_EQ(PathMode(RegistryStorePath()), 0600u);
    EXPECT_EQ(RunSql("PRAGMA integrity_check"), "ok\n");

    // A store that a script left readable by others is made private again by the next write.
    ASSERT_EQ(chmod(RegistryStorePath().c_str(), 0644), 0);
    ASSERT_TRUE(RegistryKey::WriteString("Password", "secret"));
    EXPECT_EQ(PathMode(RegistryStorePath()), 0600u);
}

TEST_F(RegistryKeyTest, TheStoreFollowsXdgConfigHomeAtEachCall)
{
    ASSERT_TRUE(RegistryKey::WriteString("Host", "first"));
    setenv("XDG_CONFIG_HOME", (home.root + "/second").c_str(), 1);
    EXPECT_EQ(RegistryKey::ReadString("Host", text), Absent);
    const std::string oldHome = getenv("HOME") != nullptr ? getenv("HOME") : "/";
    setenv("HOME", home.root.c_str(), 1);
    for (const char* ignored : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", ignored, 1);
        EXPECT_EQ(RegistryStorePath(), home.root + "/.config/postbell/registry.sqlite3");
    }
    setenv("HOME", oldHome.c_str(), 1);
}

// A shared value and values of its own, bounded in count (and in the child by an alarm).
bool HammerStore(const std::string& who, int rounds)
{
    bool ok = true;
    for (int i = 0; i < rounds; ++i) {
        ok = RegistryKey::WriteString("Shared", who + std::to_string(i)) && ok;
        ok = RegistryKey::WriteDword((who + std::to_string(i)).c_str(), static_cast<std::uint32_t>(i)) && ok;
    }
    return ok;
}

TEST_F(RegistryKeyTest, TwoProcessesWritingAtOnceLoseNothingAndCorruptNothing)
{
    constexpr int Rounds = 60;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(120);
        _exit(HammerStore("child", Rounds) ? 0 : 1);
    }
    EXPECT_TRUE(HammerStore("parent", Rounds)) << "a write of the parent failed";
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed a write or was killed";

    // The last write of either process wins; every other value is there as written.
    ASSERT_EQ(RegistryKey::ReadString("Shared", text), Found);
    EXPECT_TRUE(text == "child" + std::to_string(Rounds - 1) || text == "parent" + std::to_string(Rounds - 1));
    for (const std::string who : {"child", "parent"}) {
        for (int i = 0; i < Rounds; ++i) {
            EXPECT_EQ(RegistryKey::ReadDword((who + std::to_string(i)).c_str(), number), Found) << who << i;
            EXPECT_EQ(number, static_cast<std::uint32_t>(i));
        }
    }
    EXPECT_EQ(RunSql("PRAGMA integrity_check; SELECT count(*) FROM value"),
              "ok\n" + std::to_string(2 * Rounds + 1) + "\n");
}

} // namespace
