#include "RegistryKey.h"
#include "SettingsModel.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>

namespace {

struct SettingsModelTest : ::testing::Test {
    TempConfigHome home;
};

// 16 bytes that differ for every n below 65536.
std::string Digest(unsigned n)
{
    std::string digest(16, static_cast<char>(n * 7));
    digest[0] = static_cast<char>(n >> 8);
    digest[1] = static_cast<char>(n);
    return digest;
}

std::string Digests(unsigned from, unsigned to, unsigned step = 1)
{
    std::string list;
    for (unsigned n = from; n < to; n += step)
        list += Digest(n);
    return list;
}

Application& Loaded(Application& app)
{
    LoadSettings(app);
    return app;
}

TEST_F(SettingsModelTest, AnEmptyStoreLeavesTheDefaultsAndCreatesNothing)
{
    Application app;
    LoadSettings(app);
    EXPECT_EQ(app.settings.delay, 5u);
    EXPECT_EQ(app.settings.port, 110);
    EXPECT_TRUE(app.settings.host.empty() && app.settings.user.empty() && app.settings.password.empty());
    EXPECT_FALSE(app.settings.waitForDialup || app.settings.runAtStartup || ReadFirstRun());
    EXPECT_TRUE(app.seenDigests.empty());
    EXPECT_EQ(ReadWindowPosition().left, 0);
    EXPECT_FALSE(PathExists(home.configHome));
}

TEST_F(SettingsModelTest, LoadBringsDelayAndPortIntoRange)
{
    for (const auto& [stored, loaded] : {std::pair{0u, 1u}, {1u, 1u}, {60u, 60u}, {61u, 60u}, {4294967295u, 60u}}) {
        ASSERT_TRUE(RegistryKey::WriteDword("Delay", stored));
        Application app;
        EXPECT_EQ(Loaded(app).settings.delay, loaded) << "Delay stored as " << stored;
    }
    for (const auto& [stored, loaded] : {std::pair{0u, 110}, {65536u, 110}, {70000u, 4464}, {995u, 995}}) {
        ASSERT_TRUE(RegistryKey::WriteDword("Port", stored));
        Application app;
        EXPECT_EQ(Loaded(app).settings.port, loaded) << "Port stored as " << stored;
    }
    SeedValue("WaitForDialup", 4, std::string("\x02\0\0\0", 4));
    Application app;
    EXPECT_TRUE(Loaded(app).settings.waitForDialup);
}

TEST_F(SettingsModelTest, UidListSplitsIntoDigestsUpTo8193Bytes)
{
    const std::pair<std::string, std::size_t> cases[] = {
        {Digests(0, 2) + "12345678", 2},     // 40 bytes: the last 8 are ignored
        {Digests(0, 511) + Digest(3), 511},  // 8192 bytes, one record twice
        {Digests(0, 512) + "x", 512},        // 8193 bytes, the longest value that reads
        {Digests(0, 513), 0},                // 8208 bytes: no list at all
    };
    for (const auto& [stored, count] : cases) {
        ASSERT_TRUE(RegistryKey::WriteBinary("UIDList", stored));
        Application app;
        LoadSettings(app);
        EXPECT_EQ(app.seenDigests.size(), count) << stored.size() << " bytes";
        for (const UidDigest& digest : app.seenDigests)
            EXPECT_EQ(stored.find(digest.View()) % 16, 0u);
    }
}

TEST_F(SettingsModelTest, SaveStoresPositionAndDigestsInAscendingUnsignedOrder)
{
    Application app;
    for (char first : {'\x90', '\x01', '\x7f'})
        app.seenDigests.insert(DigestFromBytes(std::string(16, first)));
    SavePersistedState(app, std::nullopt);
    EXPECT_EQ(RawValue("WindowLeft"), "");
    EXPECT_EQ(RawValue("UIDList"), "3|blob|" + Hex(std::string(16, '\x01') + std::string(16, '\x7f') +
                                                   std::string(16, '\x90')));
    SavePersistedState(app, WindowPosition{-20, 30});
    EXPECT_EQ(RawValue("WindowLeft") + RawValue("WindowTop"), "4|blob|ECFFFFFF4|blob|1E000000");
    EXPECT_EQ(ReadWindowPosition().left, -20);
    EXPECT_EQ(ReadWindowPosition().top, 30);
    Application reloaded;
    EXPECT_EQ(Loaded(reloaded).seenDigests, app.seenDigests);

    app.seenDigests.clear();
    SavePersistedState(app, std::nullopt);
    EXPECT_EQ(RawValue("UIDList"), "3|blob|");
}

TEST_F(SettingsModelTest, WriteBackStoresTheSevenValuesInOrderAndLoadsThemBack)
{
    const Settings settings{60, "alice", "s3cret", "pop.example.org", 995, true, false};
    WriteBackSettings(settings);
    // A replaced row takes the next rowid, so the rowids show the order of the writes.
    EXPECT_EQ(RunSql("SELECT name FROM value ORDER BY rowid"),
              "Host\nUser\nPassword\nDelay\nWaitForDialup\nRunAtStartup\nPort\n");
    EXPECT_EQ(RawValue("Port"), "4|blob|E3030000");
    Application app;
    const Settings& loaded = Loaded(app).settings;
    EXPECT_EQ(std::tie(loaded.host, loaded.user, loaded.password, loaded.delay, loaded.port),
              std::tie(settings.host, settings.user, settings.password, settings.delay, settings.port));
    EXPECT_TRUE(loaded.waitForDialup && !loaded.runAtStartup);
}

TEST_F(SettingsModelTest, FirstRunIsReadAndResetToZero)
{
    SeedValue("FirstRun", 4, std::string("\x01\0\0\0", 4));
    EXPECT_TRUE(ReadFirstRun());
    ResetFirstRun();
    EXPECT_EQ(RawValue("FirstRun"), "4|blob|00000000");
    EXPECT_FALSE(ReadFirstRun());
}

// The save copies seenDigests under the lock that the worker's hand-over takes:
// every stored list is one whole set, never a mixture.
TEST_F(SettingsModelTest, SaveNeverStoresAHalfReplacedSet)
{
    const std::string evenList = Digests(0, 64, 2);
    const std::string oddList = Digests(1, 64, 2);
    Application app;
    LoadSettings(app); // nothing stored yet
    DigestSet even;
    DigestSet odd;
    for (std::size_t at = 0; at < evenList.size(); at += 16) {
        even.insert(DigestFromBytes(evenList.substr(at, 16)));
        odd.insert(DigestFromBytes(oddList.substr(at, 16)));
    }
    app.seenDigests = even;
    std::atomic<bool> stop{false};
    std::thread handOver([&] {
        for (int i = 0; i < 1000000 && !stop.load(); ++i) {
            std::lock_guard<std::mutex> lock(app.resultsMutex);
            app.seenDigests = (i % 2 == 0) ? odd : even;
        }
    });
    for (int i = 0; i < 20; ++i) {
        SavePersistedState(app, std::nullopt);
        std::string stored;
        ASSERT_TRUE(RegistryKey::ReadBinary("UIDList", stored));
        EXPECT_TRUE(stored == evenList || stored == oddList) << "save " << i;
    }
    stop.store(true);
    handOver.join();
}

} // namespace
