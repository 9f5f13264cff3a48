#include "EntryRules.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

TEST(EntryRules, NumbersPortsIntervalsAndCutsFollowTheirRules)
{
    // A port that does not convert takes the default of the security chosen: 995 for SSL/TLS.
    for (const auto& [entry, port] : {std::pair{"  995", 995}, {"65535", 65535}, {"0", 110}, {"", 110},
                                      {"65536", 110}, {"4294967391", 110}, {"-5", 110}, {"5 ", 110}, {"\t5", 110}})
        EXPECT_TRUE(PortFromEntry(entry, false) == port && PortFromEntry(entry, true) == (port == 110 ? 995 : port)) << entry;
    std::uint32_t minutes = 0;
    EXPECT_TRUE(ParseInterval("1", minutes) && ParseInterval("060", minutes) && minutes == 60);
    for (const char* refused : {"0", "61", "4294967297", "99999999999999999999", "6O"})
        EXPECT_FALSE(ParseInterval(refused, minutes) || minutes != 60) << refused;
    // "é" is two bytes, "€" three, "𝄞" four: one that would straddle byte 255 goes whole.
    const std::string a = std::string(254, 'a');
    for (const auto& [text, cut] : {std::pair{a + "é", a}, {a.substr(1) + "€", a.substr(1)}, {a.substr(3) + "𝄞z", a.substr(3) + "𝄞"}})
        EXPECT_EQ(CutUtf8(text, 255), cut) << text.size();
    EXPECT_TRUE(IsOnThisComputer("LocalHost.") && IsOnThisComputer("127.0.0.2") && !IsOnThisComputer("128.0.0.1"));
}

struct StoreTest : ::testing::Test {
    TempConfigHome home;
    std::string text = "kept";
    std::uint32_t number = 0;
};

TEST_F(StoreTest, ValuesAreStoredAsRegistryBytesInAPrivateFileAndReadBack)
{
    EXPECT_EQ(RegistryKey::ReadString("Host", text), StoreRead::Absent);
    EXPECT_EQ(PathMode(home.configHome), NoFile) << "a read created the store's folder";
    const mode_t umaskBefore = umask(0277); // a umask that would leave the new store unwritable
    ASSERT_TRUE(RegistryKey::WriteString("Host", "pop"));
    EXPECT_EQ(PathMode(RegistryStorePath()), 0600u) << "a new store";
    umask(umaskBefore);
    ASSERT_TRUE(RegistryKey::WriteString("PASSWORD", "p\0s"s) && RegistryKey::WriteDword("WindowLeft", std::int32_t{-20}));
    EXPECT_EQ(RawValue("Host") + RawValue("Password") + RawValue("WindowLeft"), "1|blob|706F70001|blob|70004|blob|ECFFFFFF");
    std::int32_t left = 0;
    EXPECT_TRUE(RegistryKey::ReadString("host", text) == StoreRead::Found && text == "pop");
    EXPECT_TRUE(RegistryKey::ReadDword("WindowLeft", left) == StoreRead::Found && left == -20);
    // What a script may store: too long for a text, too long for a number.
    ASSERT_TRUE(RegistryKey::WriteBinary("Eight", "12345678") && RegistryKey::WriteBinary("TooLong", std::string(8194, 'x')));
    EXPECT_TRUE(RegistryKey::ReadString("TooLong", text) == StoreRead::Absent && RegistryKey::ReadDword("Eight", number) == StoreRead::Absent);

    EXPECT_EQ(RegistryStorePath(), home.configHome + "/postbell/registry.sqlite3");
    EXPECT_EQ(PathMode(home.configHome + "/postbell"), 0700u);
    // A store that a script left readable by others is made private again by the next write.
    ASSERT_EQ(chmod(RegistryStorePath().c_str(), 0644), 0);
    ASSERT_TRUE(RegistryKey::WriteString("Password", "secret"));
    EXPECT_EQ(PathMode(RegistryStorePath()), 0600u);
    setenv("HOME", home.root.c_str(), 1); // each test runs in a process of its own
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(RegistryStorePath(), home.root + "/.config/postbell/registry.sqlite3");
}

std::string Digests(int count, std::string list = "")
{
    for (int n = 0; n < count; ++n)
        list += MakeUidDigest(std::to_string(n)).View();
    return list;
}

// What a fresh start loads from the store; a store that cannot be read throws.
StoredState Loaded() { return LoadStoredState().value(); }

TEST_F(StoreTest, SettingsAndSeenMessagesLoadBackInRangeAndSaveWhole)
{
    const Settings empty = Loaded().settings;
    EXPECT_TRUE(empty.delay == 5 && empty.port == 110 && empty.showNotification && !ReadFirstRun());
    for (const auto& [name, stored, expected] :
         {std::tuple{"Delay", 0u, 1u}, {"Delay", 60u, 60u}, {"Delay", 61u, 60u}, {"Delay", 4294967295u, 60u},
          {"Port", 0u, 110u}, {"Port", 65536u, 110u}, {"Port", 70000u, 4464u}, {"Port", 995u, 995u}}) {
        ASSERT_TRUE(RegistryKey::WriteDword(name, stored));
        const Settings loaded = Loaded().settings;
        EXPECT_EQ(name == "Delay"s ? loaded.delay : loaded.port, expected) << name << " " << stored;
    }
    // A final partial digest is ignored; more than a text may hold is read whole.
    for (const auto& [stored, count] : {std::pair{Digests(2) + "12345678", 2u}, {Digests(10000), 10000u}}) {
        ASSERT_TRUE(SaveUidList(stored));
        EXPECT_EQ(Loaded().seenDigests.size(), count);
    }
    ASSERT_TRUE(RegistryKey::WriteDword("FirstRun", 1u));
    EXPECT_TRUE(ReadFirstRun());
    ResetFirstRun();
    EXPECT_FALSE(ReadFirstRun());

    const Settings settings{60, "alice", "s3cret", "pop.example.org", 995, true, false, false, false, "mutt -y",
                            Security::Tls, std::string(64, 'a')};
    WriteBackSettings(settings);
    EXPECT_TRUE(Loaded().settings == settings);
    ASSERT_TRUE(RegistryKey::WriteDword("Security", 3u) && RegistryKey::WriteString("Host", "other.example.org"));
    EXPECT_EQ(Loaded().settings.security, Security::None) << "an unknown number is plain";
    EXPECT_EQ(Loaded().settings.trustedFingerprint, "") << "a fingerprint trusted for another host was used";

    SavePersistedState(Digests(3), WindowPosition{-20, 30});
    EXPECT_EQ(PackDigests(Loaded().seenDigests), PackDigests(UnpackDigests(Digests(3))));
    EXPECT_TRUE(ReadWindowPosition().left == -20 && ReadWindowPosition().top == 30);
}

TEST_F(StoreTest, AStoreThatCannotBeReadIsReportedAndNeverWrittenOver)
{
    // What spoils the store $S, and a shell test that what was stored is still there.
    const std::string kept = "sqlite3 \"$S\" \"SELECT count(*) FROM value WHERE data = X'6B65707400' OR length(data) = 9600\"";
    const std::pair<std::string, std::string> cases[] = {
        {"true", "test $(" + kept + ") = 2"}, // locked by another writer: see below
        {"echo not a database >\"$S\"", "test \"$(cat \"$S\")\" = 'not a database'"},
        {"rm \"$S\" && mkfifo -m 600 \"$S\"", "test -p \"$S\""},
        {"mv \"$S\" \"$S.real\" && chmod 644 \"$S.real\" && ln -s \"$S.real\" \"$S\"",
         "test $(stat -c %a \"$S.real\") = 644 && S=\"$S.real\" && test $(" + kept + ") = 2"},
        {"sqlite3 \"$S\" 'CREATE TABLE c AS SELECT * FROM value; DROP TABLE value; ALTER TABLE c RENAME TO value'",
         "test $(" + kept + ") = 2"}};
    int store = 0;
    for (const auto& [spoil, intact] : cases) {
        setenv("XDG_CONFIG_HOME", (home.root + "/" + std::to_string(++store)).c_str(), 1);
        setenv("S", RegistryStorePath().c_str(), 1);
        ASSERT_TRUE(RegistryKey::WriteString("Host", "kept") && SaveUidList(Digests(600)));
        ASSERT_EQ(std::system(spoil.c_str()), 0) << spoil;
        std::optional<StoreLock> locker;
        if (spoil == "true")
            locker.emplace();
        const auto start = Clock::now();
        EXPECT_EQ(RegistryKey::ReadString("Host", text), StoreRead::Unreadable) << spoil;
        EXPECT_FALSE(LoadStoredState()) << spoil;
        EXPECT_FALSE(RegistryKey::WriteString("Host", "over") || SaveUidList("")) << spoil;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << spoil << ": the busy time-outs are bounded";
        locker.reset();
        EXPECT_EQ(std::system(intact.c_str()), 0) << spoil;
    }
}

// A writer killed at random moments leaves a hot journal that the next read rolls back; a
// second process writing meanwhile waits its turn and loses nothing.
TEST_F(StoreTest, WritersKilledOrRacingLeaveTheOldListOrTheNewAndLoseNoValue)
{
    ASSERT_TRUE(SaveUidList(Digests(3000)));
    std::uint32_t writes = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(10);
            for (unsigned i = 0;; ++i)
                SaveUidList(Digests(i % 2 != 0 ? 2000 : 3000));
        }
        for (const auto until = Clock::now() + std::chrono::microseconds(random() % 30000); Clock::now() < until; ++writes)
            ASSERT_TRUE(RegistryKey::WriteDword(("n" + std::to_string(writes)).c_str(), writes)) << "a write lost to the other process";
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        const std::size_t found = Loaded().seenDigests.size();
        ASSERT_TRUE(found == 3000 || found == 2000) << "after " << writes << " writes: " << found;
    }
    for (std::uint32_t i = 0; i < writes; ++i)
        ASSERT_TRUE(RegistryKey::ReadDword(("n" + std::to_string(i)).c_str(), number) == StoreRead::Found && number == i);
    EXPECT_EQ(Sql("PRAGMA integrity_check"), "ok");
}

} // namespace
