#pragma once

// A private store for each test, inspected from outside the code under test.

#include "RegistryKey.h"

#include <sqlite3.h>

#include <filesystem>
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

// A value's raw row: its type, ':' and its bytes in hex, or "" when there is none.
inline std::string RawValue(const std::string& name)
{
    return Sql("SELECT type || ':' || hex(data) FROM value WHERE name = '" + name + "'");
}
