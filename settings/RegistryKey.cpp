#include "RegistryKey.h"

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

constexpr std::size_t TextReadLimit = 8193;
constexpr std::size_t NumberReadLimit = 4;

// Long enough for another copy of the program to finish its one write.
constexpr int BusyTimeoutMs = 5000;

constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS key ("
    " path TEXT PRIMARY KEY NOT NULL COLLATE NOCASE"
    ");"
    "CREATE TABLE IF NOT EXISTS value ("
    " key  TEXT NOT NULL COLLATE NOCASE REFERENCES key(path),"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY (key, name)"
    ");"
    "INSERT OR IGNORE INTO key (path) VALUES"
    " ('Software'), ('Software\\Veltrane'), ('Software\\Veltrane\\Postbell');";

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

    bool Open(const std::string& path, int flags)
    {
        if (path.empty() || sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK)
            return false;
        sqlite3_busy_timeout(db, BusyTimeoutMs);
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

// The value's data when it exists and is at most limit bytes long.
bool QueryValue(const char* name, std::size_t limit, std::string& data)
{
    Connection connection;
    if (!connection.Open(RegistryStorePath(), SQLITE_OPEN_READONLY))
        return false;
    Statement query;
    if (!query.Prepare(connection.db, "SELECT data FROM value WHERE key = ?1 AND name = ?2"))
        return false;
    sqlite3_bind_text(query.stmt, 1, AppKeyPath.data(), static_cast<int>(AppKeyPath.size()), SQLITE_STATIC);
    sqlite3_bind_text(query.stmt, 2, name, -1, SQLITE_STATIC);
    if (sqlite3_step(query.stmt) != SQLITE_ROW)
        return false;
    const void* bytes = sqlite3_column_blob(query.stmt, 0);
    const int length = sqlite3_column_bytes(query.stmt, 0);
    if (length < 0 || static_cast<std::size_t>(length) > limit)
        return false;
    data.assign(static_cast<const char*>(bytes), static_cast<std::size_t>(length));
    return true;
}

// Data shorter than 4 bytes (none included) form a number whose missing high-order bytes are zero.
bool QueryNumber(const char* name, std::uint32_t& number)
{
    std::string data;
    if (!QueryValue(name, NumberReadLimit, data))
        return false;
    std::uint32_t result = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        result |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    number = result;
    return true;
}

// A store seeded by hand may have been made readable by others; it holds the password.
bool KeepPrivate(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return false;
    return (info.st_mode & 077) == 0 || chmod(path.c_str(), info.st_mode & 0700) == 0;
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

bool StoreValue(const char* name, int type, const std::string& data)
{
    const std::string path = RegistryStorePath();
    if (path.empty() || data.size() > static_cast<std::size_t>(INT_MAX) || !PrepareStoreFile(path))
        return false;
    Connection connection;
    if (!connection.Open(path, SQLITE_OPEN_READWRITE))
        return false;
    if (sqlite3_exec(connection.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    bool stored = sqlite3_exec(connection.db, Schema, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (stored) {
        Statement insert;
        stored = insert.Prepare(connection.db,
                                "INSERT OR REPLACE INTO value (key, name, type, data) VALUES (?1, ?2, ?3, ?4)");
        if (stored) {
            sqlite3_bind_text(insert.stmt, 1, AppKeyPath.data(), static_cast<int>(AppKeyPath.size()),
                              SQLITE_STATIC);
            sqlite3_bind_text(insert.stmt, 2, name, -1, SQLITE_STATIC);
            sqlite3_bind_int(insert.stmt, 3, type);
            // A null pointer would bind NULL; no data must still be a blob of length 0.
            if (data.empty())
                sqlite3_bind_zeroblob(insert.stmt, 4, 0);
            else
                sqlite3_bind_blob(insert.stmt, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
            stored = sqlite3_step(insert.stmt) == SQLITE_DONE;
        }
    }
    if (stored && sqlite3_exec(connection.db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
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

bool ReadString(const char* name, std::string& value)
{
    std::string data;
    if (!QueryValue(name, TextReadLimit, data))
        return false;
    // The last byte is taken as the terminator, whatever it holds.
    if (!data.empty())
        value.assign(data, 0, data.size() - 1);
    return true;
}

bool ReadBinary(const char* name, std::string& value)
{
    std::string data;
    if (!QueryValue(name, TextReadLimit, data))
        return false;
    if (!data.empty())
        value = std::move(data);
    return true;
}

bool ReadDword(const char* name, std::uint32_t& value)
{
    return QueryNumber(name, value);
}

bool ReadDword(const char* name, std::int32_t& value)
{
    std::uint32_t number = 0;
    if (!QueryNumber(name, number))
        return false;
    value = static_cast<std::int32_t>(number);
    return true;
}

bool ReadWord(const char* name, std::uint16_t& value)
{
    std::uint32_t number = 0;
    if (!QueryNumber(name, number))
        return false;
    value = static_cast<std::uint16_t>(number & 0xFFFF);
    return true;
}

bool ReadBool(const char* name, bool& value)
{
    std::uint32_t number = 0;
    if (!QueryNumber(name, number))
        return false;
    value = number != 0;
    return true;
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
