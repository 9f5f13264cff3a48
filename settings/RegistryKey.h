#pragma once

#include <cstdint>
#include <string>

// The key every value of the program lives under.
extern const std::string AppKeyPath; // "Software\Veltrane\Postbell"

// The database file: $XDG_CONFIG_HOME/postbell/registry.sqlite3 (default ~/.config/...).
std::string RegistryStorePath();

// Typed, named values under AppKeyPath in the per-user store. Every operation
// opens the store, does one value operation and closes it. A failed read leaves
// its argument exactly as it was; callers set the default first and read over it.
namespace RegistryKey {
bool ReadString(const char* name, std::string& value);
bool ReadBinary(const char* name, std::string& value);
bool ReadDword(const char* name, std::uint32_t& value);
bool ReadDword(const char* name, std::int32_t& value);
bool ReadWord(const char* name, std::uint16_t& value);
bool ReadBool(const char* name, bool& value);
bool WriteString(const char* name, const std::string& value);
bool WriteBinary(const char* name, const std::string& value);
bool WriteDword(const char* name, std::uint32_t value);
bool WriteDword(const char* name, std::int32_t value);
bool WriteBool(const char* name, bool value);
} // namespace RegistryKey
