#pragma once

#include <cstddef>
#include <string>

// UTF-8 text cut to at most maxBytes bytes, never inside a character.
std::string CutUtf8(const std::string& text, std::size_t maxBytes);
