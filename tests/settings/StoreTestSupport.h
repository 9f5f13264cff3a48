#pragma once

// The settings store inspected from outside the code under test, for the tests of
// tests/settings and tests/app: a private XDG_CONFIG_HOME, raw rows, and a competing writer.

#include "RegistryKey.h"

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Points XDG_CONFIG_HOME at a folder that does not exist yet, inside a fresh temporary folder.
struct TempConfigHome {
    std::string root = std::filesystem::temp_directory_path() / ("postbell-settings-" + std::to_string(getpid()));
    std::string configHome = root + "/config";
    TempConfigHome() { setenv("XDG_CONFIG_HOME", configHome.c_str(), 1); }
    ~TempConfigHome() { std::filesystem::remove_all(root); }
};

constexpr unsigned NoFile = 0xFFFFFFFFu;
inline unsigned PathMode(const std::string& path, struct stat info = {})
{
    return lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : NoFile;
}

// Runs SQL on the store as a script would: the first column of the last row, as text.
inline std::string Sql(const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string result;
    sqlite3_open_v2(RegistryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, sql.c_str(), [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "";
        return 0;
    }, &result, nullptr);
    sqlite3_close(db);
    return result;
}

// A value's raw row, "type|typeof|HEX", or "" when there is none.
inline std::string RawValue(const std::string& name)
{
    return Sql("SELECT type || '|' || typeof(data) || '|' || hex(data) FROM value WHERE name = '" + name + "'");
}

// Holds the store as another process in BEGIN EXCLUSIVE would (SQLite locks connections of
// one process against each other too) until destroyed, which rolls back.
struct StoreLock {
    sqlite3* db = nullptr;
    StoreLock()
    {
        sqlite3_open_v2(RegistryStorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    }
    ~StoreLock() { sqlite3_close(db); }
};
