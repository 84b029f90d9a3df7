// The value of a "priv=" setting: an account's privilege bits, in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>

// The only privilege bits an account that is not on the GM list may hold.
inline constexpr std::uint32_t ALLOWED_PRIV_BITS = 0x1040;

// Converts the text after "priv=" as the server reads it: a signed 32-bit number in base 16 after
// optional white space, one optional sign and an optional "0x", up to the first character that is
// not a hex digit. Magnitudes beyond the 32-bit range saturate at 0x7FFFFFFF, or 0x80000000 when
// negative. The result is the number's 32-bit pattern.
std::uint32_t parsePrivValue(const char* text, std::size_t size);

// Whether a PRIV value holds any bit an ordinary account may not hold.
inline bool isForbiddenPriv(std::uint32_t bits) {
  return (bits & ~ALLOWED_PRIV_BITS) != 0;
}
