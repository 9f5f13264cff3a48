#pragma once

// A private store for each test, seeded and inspected from outside the code
// under test with the sqlite3 command-line tool.

#include "RegistryKey.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Points XDG_CONFIG_HOME at a folder that does not exist yet, inside a fresh temporary folder.
struct TempConfigHome {
    std::string root;
    std::string configHome;

    TempConfigHome()
    {
        char pattern[] = "/tmp/postbell-settings-XXXXXX";
        root = mkdtemp(pattern) != nullptr ? pattern : "/tmp/postbell-settings-mkdtemp-failed";
        configHome = root + "/config";
        setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    }
    ~TempConfigHome()
    {
        unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

inline bool PathExists(const std::string& path)
{
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

inline unsigned PathMode(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFFFFFu;
}

inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes)
        hex += {digits[c >> 4], digits[c & 0xF]};
    return hex;
}

// The sqlite3 tool's output for SQL run on the store.
inline std::string RunSql(const std::string& sql, bool readOnly = true)
{
    const std::string command =
        std::string("sqlite3 ") + (readOnly ? "-readonly '" : "'") + RegistryStorePath() + "' \"" + sql + "\" 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, got);
        pclose(pipe);
    }
    return output;
}

// Stores one raw row, as a person or a script with the sqlite3 tool could.
inline void SeedValue(const std::string& name, int type, const std::string& data,
                      const std::string& key = "Software\\Veltrane\\Postbell")
{
    std::filesystem::create_directories(std::filesystem::path(RegistryStorePath()).parent_path());
    EXPECT_EQ(RunSql("CREATE TABLE IF NOT EXISTS key (path TEXT PRIMARY KEY NOT NULL COLLATE NOCASE);"
                     "CREATE TABLE IF NOT EXISTS value (key TEXT NOT NULL COLLATE NOCASE REFERENCES key(path),"
                     " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
                     " PRIMARY KEY (key, name));"
                     "INSERT OR IGNORE INTO key VALUES ('" + key + "');"
                     "INSERT OR REPLACE INTO value VALUES ('" + key + "', '" + name + "', " +
                         std::to_string(type) + ", X'" + Hex(data) + "');",
                     false),
              "");
}

// The raw row of a value under the program's key: "type|typeof|HEX", or "" when there is none.
inline std::string RawValue(const std::string& name)
{
    std::string row = RunSql("SELECT type, typeof(data), hex(data) FROM value WHERE name = '" + name + "'");
    if (!row.empty() && row.back() == '\n')
        row.pop_back();
    return row;
}

// Holds the store as another process in BEGIN EXCLUSIVE would (SQLite locks connections of
// one process against each other too), until released.
struct StoreLock {
    sqlite3* db = nullptr;
    StoreLock()
    {
        EXPECT_EQ(sqlite3_open_v2(RegistryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~StoreLock() { Release(); }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    void Release()
    {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        db = nullptr;
    }
};

// A writer killed in the middle of a transaction: a child replaces every value, lets SQLite
// spill the change into the store file (a one-page cache), and SIGKILLs itself before COMMIT.
// What is left is a hot journal that only a read-write open can roll back.
inline void LeaveHotJournal()
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(RegistryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "PRAGMA cache_size = 1; BEGIN; UPDATE value SET data = zeroblob(100000);", nullptr,
                     nullptr, nullptr);
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_TRUE(PathExists(RegistryStorePath() + "-journal")) << "no journal was left";
}
