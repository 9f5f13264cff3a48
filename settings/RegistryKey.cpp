#include "RegistryKey.h"

#include "StoreSchema.h"
#include "UserConfig.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <utility>

const std::string AppKeyPath = "Software\\Veltrane\\Postbell";

namespace {

// The value types the store records, numbered as the registry numbers them.
constexpr int TypeString = 1;
constexpr int TypeBinary = 3;
constexpr int TypeDword = 4;

constexpr std::size_t NumberReadLimit = 4;

// A copy of the program holds the lock for one short write. A longer hold is someone else's:
// a read gives up soon, so that the user interface never stalls behind it, and is retried.
constexpr int ReadBusyTimeoutMs = 250;
// Long enough for another copy of the program to finish its one write.
constexpr int WriteBusyTimeoutMs = 5000;

std::string StoreFolder()
{
    std::string configHome = UserConfigHome();
    return configHome.empty() ? std::string() : configHome + "/postbell";
}

// Owns one open connection for the length of one operation.
struct Connection {
    sqlite3* db = nullptr;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { sqlite3_close(db); }

    // Never through a symbolic link, and never creating a file: the callers made it or found it.
    bool Open(const std::string& path, int flags, int busyTimeoutMs)
    {
        if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK)
            return false;
        sqlite3_busy_timeout(db, busyTimeoutMs);
        return true;
    }
};

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt); }

    bool Prepare(sqlite3* db, const char* sql)
    {
        return sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK;
    }
};

enum class TableState { Missing, Sound, WithoutPrimaryKey, Failed };

// The value table must have its primary key (key, name): without it a write would add a
// second row for a value instead of replacing the first, and a read could find either.
TableState ValueTableState(sqlite3* db)
{
    Statement query;
    if (!query.Prepare(db, "SELECT count(*), coalesce(group_concat(CASE WHEN pk > 0 THEN lower(name) END), '')"
                           " FROM (SELECT name, pk FROM pragma_table_info('value') ORDER BY pk)") ||
        sqlite3_step(query.stmt) != SQLITE_ROW)
        return TableState::Failed;
    if (sqlite3_column_int(query.stmt, 0) == 0)
        return TableState::Missing;
    const auto* primaryKey = reinterpret_cast<const char*>(sqlite3_column_text(query.stmt, 1));
    return primaryKey != nullptr && std::string(primaryKey) == "key,name" ? TableState::Sound
                                                                          : TableState::WithoutPrimaryKey;
}

// One attempt at reading a value. needsRecovery: a read-only open met a journal that must be
// rolled back before anything can be read.
StoreRead QueryOnce(const std::string& path, int flags, const char* name, std::size_t limit, std::string& data,
                    bool& needsRecovery)
{
    needsRecovery = false;
    Connection connection;
    if (!connection.Open(path, flags, ReadBusyTimeoutMs))
        return StoreRead::Unreadable;
    switch (ValueTableState(connection.db)) {
    case TableState::Sound:
        break;
    case TableState::Missing:
        return StoreRead::Absent;
    case TableState::WithoutPrimaryKey:
        return StoreRead::Unreadable;
    case TableState::Failed:
        needsRecovery = sqlite3_extended_errcode(connection.db) == SQLITE_READONLY_ROLLBACK;
        return StoreRead::Unreadable;
    }
    Statement query;
    if (!query.Prepare(connection.db, "SELECT data FROM value WHERE key = ?1 AND name = ?2"))
        return StoreRead::Unreadable;
    sqlite3_bind_text(query.stmt, 1, AppKeyPath.data(), static_cast<int>(AppKeyPath.size()), SQLITE_STATIC);
    sqlite3_bind_text(query.stmt, 2, name, -1, SQLITE_STATIC);
    const int step = sqlite3_step(query.stmt);
    if (step == SQLITE_DONE)
        return StoreRead::Absent;
    if (step != SQLITE_ROW)
        return StoreRead::Unreadable;
    const void* bytes = sqlite3_column_blob(query.stmt, 0);
    const int length = sqlite3_column_bytes(query.stmt, 0);
    if (length < 0 || static_cast<std::size_t>(length) > limit)
        return StoreRead::Absent;
    data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
    return StoreRead::Found;
}

// The value's data when it exists and is at most limit bytes long.
StoreRead QueryValue(const char* name, std::size_t limit, std::string& data)
{
    const std::string path = RegistryStorePath();
    if (path.empty())
        return StoreRead::Absent;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? StoreRead::Absent : StoreRead::Unreadable;
    if (!S_ISREG(info.st_mode))
        return StoreRead::Unreadable;
    bool needsRecovery = false;
    const StoreRead outcome = QueryOnce(path, SQLITE_OPEN_READONLY, name, limit, data, needsRecovery);
    if (!needsRecovery)
        return outcome;
    // A writer was killed mid-transaction: a read-write open rolls its journal back. The file
    // exists, and without SQLITE_OPEN_CREATE nothing new is made.
    return QueryOnce(path, SQLITE_OPEN_READWRITE, name, limit, data, needsRecovery);
}

// Data shorter than 4 bytes (none included) form a number whose missing high-order bytes are zero.
StoreRead QueryNumber(const char* name, std::uint32_t& number)
{
    std::string data;
    const StoreRead outcome = QueryValue(name, NumberReadLimit, data);
    if (outcome != StoreRead::Found)
        return outcome;
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        result |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    number = result;
    return outcome;
}

// A store seeded by hand may have been made readable by others; it holds the password.
// Only a plain file: a symbolic link's target is neither changed nor written through.
bool KeepPrivate(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                    ((info.st_mode & 077) == 0 || fchmod(fd, info.st_mode & 0700) == 0);
    close(fd);
    return ok;
}

// The folder (0700) and an empty file (0600) before SQLite writes a byte into it.
bool PrepareStoreFile(const std::string& path)
{
    if (!CreateFolderPath(StoreFolder()))
        return false;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno == EEXIST && KeepPrivate(path);
    const bool ok = fchmod(fd, 0600) == 0; // the umask may have taken bits away
    close(fd);
    return ok;
}

bool InsertValue(sqlite3* db, const char* name, int type, const std::string& data)
{
    Statement insert;
    if (!insert.Prepare(db, "INSERT OR REPLACE INTO value (key, name, type, data) VALUES (?1, ?2, ?3, ?4)"))
        return false;
    sqlite3_bind_text(insert.stmt, 1, AppKeyPath.data(), static_cast<int>(AppKeyPath.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert.stmt, 2, name, -1, SQLITE_STATIC);
    sqlite3_bind_int(insert.stmt, 3, type);
    // A null pointer would bind NULL; no data must still be a blob of length 0.
    if (data.empty())
        sqlite3_bind_zeroblob(insert.stmt, 4, 0);
    else
        sqlite3_bind_blob(insert.stmt, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    return sqlite3_step(insert.stmt) == SQLITE_DONE;
}

bool StoreValue(const char* name, int type, const std::string& data)
{
    const std::string path = RegistryStorePath();
    if (path.empty() || data.size() > static_cast<std::size_t>(INT_MAX) || !PrepareStoreFile(path))
        return false;
    Connection connection;
    if (!connection.Open(path, SQLITE_OPEN_READWRITE, WriteBusyTimeoutMs))
        return false;
    if (sqlite3_exec(connection.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    if (sqlite3_exec(connection.db, StoreSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
        ValueTableState(connection.db) == TableState::Sound && InsertValue(connection.db, name, type, data) &&
        sqlite3_exec(connection.db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    sqlite3_exec(connection.db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

std::string LittleEndian(std::uint32_t number)
{
    std::string data(4, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return data;
}

} // namespace

std::string RegistryStorePath()
{
    std::string folder = StoreFolder();
    return folder.empty() ? std::string() : folder + "/registry.sqlite3";
}

namespace RegistryKey {

StoreRead ReadString(const char* name, std::string& value)
{
    std::string data;
    const StoreRead outcome = QueryValue(name, TextReadLimit, data);
    // The last byte is taken as the terminator, whatever it holds.
    if (outcome == StoreRead::Found && !data.empty())
        value.assign(data, 0, data.size() - 1);
    return outcome;
}

StoreRead ReadBinary(const char* name, std::string& value, std::size_t limit)
{
    std::string data;
    const StoreRead outcome = QueryValue(name, limit, data);
    if (outcome == StoreRead::Found && !data.empty())
        value = std::move(data);
    return outcome;
}

StoreRead ReadDword(const char* name, std::uint32_t& value)
{
    return QueryNumber(name, value);
}

StoreRead ReadDword(const char* name, std::int32_t& value)
{
    std::uint32_t number = 0;
    const StoreRead outcome = QueryNumber(name, number);
    if (outcome == StoreRead::Found)
        value = static_cast<std::int32_t>(number);
    return outcome;
}

StoreRead ReadWord(const char* name, std::uint16_t& value)
{
    std::uint32_t number = 0;
    const StoreRead outcome = QueryNumber(name, number);
    if (outcome == StoreRead::Found)
        value = static_cast<std::uint16_t>(number & 0xFFFF);
    return outcome;
}

StoreRead ReadBool(const char* name, bool& value)
{
    std::uint32_t number = 0;
    const StoreRead outcome = QueryNumber(name, number);
    if (outcome == StoreRead::Found)
        value = number != 0;
    return outcome;
}

bool WriteString(const char* name, const std::string& value)
{
    // The text ends at its first zero byte, as a zero-terminated text does.
    std::string data(value.c_str());
    data.push_back('\0');
    return StoreValue(name, TypeString, data);
}

bool WriteBinary(const char* name, const std::string& value)
{
    return StoreValue(name, TypeBinary, value);
}

bool WriteDword(const char* name, std::uint32_t value)
{
    return StoreValue(name, TypeDword, LittleEndian(value));
}

bool WriteDword(const char* name, std::int32_t value)
{
    return StoreValue(name, TypeDword, LittleEndian(static_cast<std::uint32_t>(value)));
}

bool WriteBool(const char* name, bool value)
{
    return StoreValue(name, TypeDword, LittleEndian(value ? 1u : 0u));
}

} // namespace RegistryKey
