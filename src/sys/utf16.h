// Paths between the tool, which works with bytes, and Windows, whose file names are UTF-16.
//
// On Windows the tool holds every path as UTF-8, converted from the UTF-16 command line, and
// converts it back for each call of the wide file API. Windows does not insist that a name's
// UTF-16 be well formed: a surrogate that stands alone is kept as its own three-byte sequence
// (the form known as WTF-8), so that every name Windows accepts goes there and back unchanged.
// Plain code, built on every platform so that the tests run anywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sys {

// The UTF-8 form of UTF-16 text.
std::string toUtf8(std::u16string_view text);

// The UTF-16 form of UTF-8 text, false for bytes that are not UTF-8 (a path that came from
// toUtf8 always is).
bool toUtf16(std::string_view text, std::u16string& out);

// How many UTF-16 units the UTF-8 text takes: a character beyond U+FFFF takes two, an invalid
// byte one.
std::size_t utf16Length(std::string_view text);

}  // namespace sys
