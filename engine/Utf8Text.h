#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 text cut to at most maxBytes bytes, never inside a character.
std::string CutUtf8(const std::string& text, std::size_t maxBytes);

// True for well-formed UTF-8: no stray or missing continuation bytes, overlong forms,
// surrogates or code points past U+10FFFF.
bool IsValidUtf8(std::string_view text);

// Every byte as the Latin-1 character of that number.
std::string Latin1ToUtf8(std::string_view text);

// A stranger's text (a sender, a subject) made safe to show as plain text, wherever it is
// shown: what is not UTF-8 becomes U+FFFD; the bidirectional formatting characters (the
// embeddings, overrides and isolates U+202A-U+202E, U+2066-U+2069, and the marks U+200E,
// U+200F, U+061C) are removed, since they reorder what a reader sees; each run of control
// characters (C0, DEL, C1) and line or paragraph separators (U+2028, U+2029) becomes one
// space, so the text stays on one line and no terminal or widget acts on it. Showing the
// result again changes nothing.
std::string SafeDisplayText(std::string_view text);

// The character that starts at text[at] into c; its length in bytes, 0 when no well-formed
// character starts there.
std::size_t Utf8CharAt(std::string_view text, std::size_t at, char32_t& c);

// True for the characters SafeDisplayText removes or turns into a space.
bool IsUnsafeToDisplay(char32_t c);
