#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Utf8Text.h"

// The rules the settings dialog applies to what the user typed.

constexpr std::uint32_t ShortestInterval = 1;  // minutes
constexpr std::uint32_t LongestInterval = 60;  // minutes
constexpr std::uint16_t DefaultPort = 110;
constexpr std::uint16_t DefaultTlsPort = 995;
constexpr std::size_t LongestEntryBytes = 255; // host, user and password

// Unsigned decimal as a dialog field holds it: leading spaces are skipped, then
// one or more digits must run to the end and fit in 32 bits. Signs, other
// characters (trailing spaces too) and empty text do not convert; the number
// is then left as it was.
bool ParseUnsignedDecimal(const std::string& text, std::uint32_t& number);

// The interval entry as minutes, when it is a number from 1 to 60.
bool ParseInterval(const std::string& text, std::uint32_t& minutes);

// The port entry; when it is not a number, is 0 or is above 65535, the default port: 995
// for implicit TLS (tls), else 110.
std::uint16_t PortFromEntry(const std::string& text, bool tls);

// "You may check for new messages every 1 to 60 minutes only."
std::string IntervalWarningText();

// True when the account name and password can be sent as typed (no line break or NUL).
bool CredentialsAreSendable(const std::string& user, const std::string& password);
// "The account name and password may not contain line breaks."
std::string CredentialsWarningText();

// The port entry after the security choice changed to one with implicit TLS (tls) or
// without: only the other choice's default port follows, a port the user typed stays.
std::string PortEntryForSecurity(const std::string& entry, bool tls);

// True for a server name that stays on this computer (localhost, 127.x.x.x, ::1 or its own
// host name), where a password sent unencrypted does not cross a network.
bool IsOnThisComputer(const std::string& host);
