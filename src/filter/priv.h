// The value of a PRIV setting: an account's privilege bits. The filter has always read it in
// hexadecimal; the server reads a leading 0 as hexadecimal, other digits as decimal, and anything
// else as an expression it evaluates. A line goes when either reading holds a forbidden bit, or
// when the server would evaluate it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The only privilege bits an account that is not on the GM list may hold.
inline constexpr std::uint32_t ALLOWED_PRIV_BITS = 0x1040;

// Converts the text after "priv=" as the filter always has: a signed 32-bit number in base 16 after
// optional white space, one optional sign and an optional "0x", up to the first character that is
// not a hex digit. Magnitudes beyond the 32-bit range saturate at 0x7FFFFFFF, or 0x80000000 when
// negative. The result is the number's 32-bit pattern.
std::uint32_t parsePrivValue(const char* text, std::size_t size);

// Whether a PRIV value holds any bit an ordinary account may not hold.
inline bool isForbiddenPriv(std::uint32_t bits) {
  return (bits & ~ALLOWED_PRIV_BITS) != 0;
}

// How the server reads a PRIV value (cut at "//" and trimmed) that is a plain number to it, after
// one optional leading ".": empty, which is 0; "0x" or "0X" then hexadecimal digits, which it reads
// as 0 (an x is no digit); "0" then hexadecimal digits; a digit then digits and dots, in decimal
// with the dots left out. Its 32 bits go to bits. False for any other value: an expression.
bool readServerNumber(std::string_view value, std::uint32_t& bits);

// Whether a PRIV line of a checked section is left out, given its value as the server reads it,
// whether its key is PRIV itself followed by a separator, and where the value stands in the line;
// shown is the value its report prints. It goes when the filter's own reading of the value (as far
// as the line's first 254 characters, where it has always read it) holds a forbidden bit, when the
// key or the value is not plain to the server (that reading is shown), or when the server's number
// holds a forbidden bit (the server's number is shown).
bool privLineGoes(std::string_view value, bool plainKey, std::size_t valueOffset,
                  std::uint32_t& shown);
