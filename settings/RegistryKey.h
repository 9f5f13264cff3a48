#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The key every value of the program lives under.
extern const std::string AppKeyPath; // "Software\Veltrane\Postbell"

// The database file: $XDG_CONFIG_HOME/postbell/registry.sqlite3 (default ~/.config/...).
std::string RegistryStorePath();

// What a read found. Only Found changes the read's argument; callers set the default
// first and read over it.
enum class StoreRead {
    Found,
    // No store yet, no such value, or a value longer than its limit: the default stands.
    Absent,
    // The store exists but could not be read: locked past the busy time-out, damaged, not a
    // plain file (a symbolic link, a FIFO), or its value table without its primary key.
    // Never the same as empty: nothing read from it may be written back over it.
    Unreadable,
};

// Texts and binary values are read up to this many bytes unless a read says otherwise.
constexpr std::size_t TextReadLimit = 8193;

// Typed, named values under AppKeyPath in the per-user store. Every operation opens the
// store, does one value operation and closes it. A read that meets a journal left by a
// writer that was killed rolls it back first, so it reads the last committed values.
// Writes refuse a store path that is a symbolic link or not a plain file.
namespace RegistryKey {
StoreRead ReadString(const char* name, std::string& value);
StoreRead ReadBinary(const char* name, std::string& value, std::size_t limit = TextReadLimit);
StoreRead ReadDword(const char* name, std::uint32_t& value);
StoreRead ReadDword(const char* name, std::int32_t& value);
StoreRead ReadWord(const char* name, std::uint16_t& value);
StoreRead ReadBool(const char* name, bool& value);
bool WriteString(const char* name, const std::string& value);
bool WriteBinary(const char* name, const std::string& value);
bool WriteDword(const char* name, std::uint32_t value);
bool WriteDword(const char* name, std::int32_t value);
bool WriteBool(const char* name, bool value);
} // namespace RegistryKey
