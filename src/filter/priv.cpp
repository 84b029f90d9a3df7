#include "filter/priv.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::uint32_t parsePrivValue(const char* text, std::size_t size) {
  std::size_t i = 0;
  while (i < size && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Skipping a "0x" with no digit after it leaves no digit, which reads as 0 like the "0" itself.
  if (i + 1 < size && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  // Accumulate with a ceiling just above the 32-bit range; the rest only matters as "too big".
  const std::uint64_t ceiling = 0x100000000ull;
  std::uint64_t magnitude = 0;
  for (; i < size; ++i) {
    int d = hexDigit(text[i]);
    if (d < 0) break;
    magnitude = magnitude * 16 + static_cast<unsigned>(d);
    if (magnitude > ceiling) magnitude = ceiling;
  }
  if (!negative)
    return magnitude > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(magnitude);
  if (magnitude >= 0x80000000u) return 0x80000000u;
  return static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(magnitude));
}
