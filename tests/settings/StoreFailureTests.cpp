#include "RegistryKey.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

struct StoreFailureTest : ::testing::Test {
    TempConfigHome home;
};

// count distinct digests, in the order in which the program stores them.
std::string SeenList(unsigned first, unsigned count)
{
    Application app;
    for (unsigned n = first; n < first + count; ++n)
        app.seenDigests.insert(MakeUidDigest(std::to_string(n)));
    return UidListValue(app);
}

std::string FileText(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

struct SpoiledStore {
    const char* what;
    std::function<void(const std::string& store)> spoil;
    std::function<bool(const std::string& store)> intact; // what was there is still there
};

TEST_F(StoreFailureTest, AStoreThatCannotBeReadIsReportedAndNeverWrittenOver)
{
    const std::string list = SeenList(0, 600);
    const std::string keptHost = "1|blob|" + Hex("kept\0"s);
    const std::string elsewhere = home.root + "/elsewhere.sqlite3";
    std::unique_ptr<StoreLock> lock;
    const SpoiledStore cases[] = {
        {"locked by another writer", [&](const std::string&) { lock = std::make_unique<StoreLock>(); },
         [&](const std::string&) {
             lock.reset();
             Application app;
             return LoadSettings(app) && app.settings.host == "kept" && UidListValue(app) == list;
         }},
        {"not a database", [](const std::string& store) { std::ofstream(store) << "not a database"; },
         [](const std::string& store) { return FileText(store) == "not a database"; }},
        {"a FIFO",
         [](const std::string& store) { ASSERT_TRUE(unlink(store.c_str()) == 0 && mkfifo(store.c_str(), 0600) == 0); },
         [](const std::string& store) {
             struct stat info {};
             return lstat(store.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
         }},
        {"a symbolic link",
         [&](const std::string& store) {
             ASSERT_EQ(rename(store.c_str(), elsewhere.c_str()), 0);
             ASSERT_EQ(chmod(elsewhere.c_str(), 0644), 0);
             ASSERT_EQ(symlink(elsewhere.c_str(), store.c_str()), 0);
         },
         [&](const std::string&) {
             return PathMode(elsewhere) == 0644u && RawValue("Host") == keptHost &&
                    RunSql("SELECT count(*) FROM value") == "2\n";
         }},
        {"a value table without its primary key",
         [](const std::string&) {
             ASSERT_EQ(RunSql("CREATE TABLE copy AS SELECT * FROM value; DROP TABLE value;"
                              " ALTER TABLE copy RENAME TO value",
                              false),
                       "");
         },
         [&](const std::string&) { return RawValue("Host") == keptHost && RunSql("SELECT count(*) FROM value") == "2\n"; }},
    };
    for (const SpoiledStore& store : cases) {
        setenv("XDG_CONFIG_HOME", (home.root + "/" + store.what).c_str(), 1);
        ASSERT_TRUE(RegistryKey::WriteString("Host", "kept"));
        ASSERT_TRUE(SaveUidList(list));
        store.spoil(RegistryStorePath());

        const auto start = Clock::now();
        std::string host = "default";
        EXPECT_EQ(RegistryKey::ReadString("Host", host), StoreRead::Unreadable) << store.what;
        EXPECT_EQ(host, "default") << store.what;
        Application app;
        app.settings.host = "before";
        EXPECT_FALSE(LoadSettings(app)) << store.what;
        EXPECT_EQ(app.settings.host, "before") << store.what;
        EXPECT_TRUE(app.seenDigests.empty()) << store.what;
        EXPECT_FALSE(RegistryKey::WriteString("Host", "over")) << store.what;
        EXPECT_FALSE(SaveUidList("")) << store.what;
        // Bounded by the busy time-outs: two reads and two writes.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << store.what;
        EXPECT_TRUE(store.intact(RegistryStorePath())) << store.what;
    }
}

TEST_F(StoreFailureTest, AWriterKilledMidTransactionLeavesTheCommittedValuesToTheNextRead)
{
    const std::string list = SeenList(0, 600);
    ASSERT_TRUE(RegistryKey::WriteString("Host", "kept"));
    ASSERT_TRUE(SaveUidList(list));
    LeaveHotJournal();
    EXPECT_NE(RunSql("SELECT count(*) FROM value"), "2\n") << "a read-only open read the store: no hot journal";

    Application app;
    ASSERT_TRUE(LoadSettings(app));
    EXPECT_EQ(app.settings.host, "kept");
    EXPECT_EQ(UidListValue(app), list);
    EXPECT_FALSE(PathExists(RegistryStorePath() + "-journal")) << "the journal was not rolled back";
    EXPECT_EQ(RunSql("PRAGMA integrity_check"), "ok\n");
}

TEST_F(StoreFailureTest, AWriterKilledAtRandomMomentsLeavesTheOldListOrTheNewNeverNone)
{
    const std::string lists[] = {SeenList(0, 3000), SeenList(5000, 2000)};
    ASSERT_TRUE(SaveUidList(lists[0]));
    std::mt19937 random(20261207);
    int kills = 0;
    int journalsLeft = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end; ++kills) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(10);
            for (unsigned i = 0;; ++i)
                SaveUidList(lists[i % 2]);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        journalsLeft += PathExists(RegistryStorePath() + "-journal") ? 1 : 0;
        Application app;
        ASSERT_TRUE(LoadSettings(app)) << "after kill " << kills;
        const std::string found = UidListValue(app);
        ASSERT_TRUE(found == lists[0] || found == lists[1]) << "after kill " << kills << ": " << found.size();
    }
    EXPECT_EQ(RunSql("PRAGMA integrity_check"), "ok\n");
    std::cout << kills << " writers killed, " << journalsLeft << " of them left their journal behind\n";
}

} // namespace
