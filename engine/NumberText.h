#pragma once

// Numbers and bytes as text: the decimals of the server's replies, the command line and the
// settings dialog, and the hexadecimal of digests and fingerprints.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Reads the decimal digits at the start of text; false when there are none or the value
// exceeds limit (at most 2^60, so that no step can overflow). On success text is left after
// the digits.
bool ReadDecimal(std::string_view& text, std::uint64_t limit, std::uint64_t& value);
// True when text is nothing but the digits of a number from min to max.
bool ParseDecimal(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& value);
// Appends bytes as lower-case hexadecimal, two digits a byte.
void AppendHex(std::string& out, const unsigned char* bytes, std::size_t size);
