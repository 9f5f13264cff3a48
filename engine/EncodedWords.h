#pragma once

#include <string>
#include <string_view>

// RFC 2047 encoded words (=?charset?B?...?= and =?charset?Q?...?=) in a header value,
// decoded to UTF-8 through the C library's iconv. Words of one charset that follow each
// other are joined before conversion, so a character split between two words (as some
// mailers write them) comes out whole, and the white space between two decoded words is
// dropped. A word that cannot be decoded (an unknown charset, broken base64, bytes that
// are not of its charset) stays as it was received, with the white space around it.
std::string DecodeEncodedWords(std::string_view text);
