#include "filter/priv.h"

#include "text/rules.h"

namespace {

// Every PRIV line of the file passes through here: a table beats a chain of comparisons.
struct HexDigits {
  unsigned char value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) value[c] = kNotADigit;
    for (int d = 0; d < 10; ++d) value['0' + d] = static_cast<unsigned char>(d);
    for (int d = 0; d < 6; ++d) {
      value['a' + d] = static_cast<unsigned char>(10 + d);
      value['A' + d] = static_cast<unsigned char>(10 + d);
    }
  }
  static constexpr unsigned char kNotADigit = 0xFF;
};
constexpr HexDigits kHexDigits;

unsigned hexDigit(char c) {
  return kHexDigits.value[static_cast<unsigned char>(c)];
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::uint32_t parsePrivValue(const char* text, std::size_t size) {
  // The usual value: a few hex digits and nothing else, too few to need the ceiling.
  if (size > 0 && size <= 7) {
    std::uint32_t value = 0;
    std::size_t k = 0;
    for (; k < size; ++k) {
      unsigned d = hexDigit(text[k]);
      if (d == HexDigits::kNotADigit) break;
      value = value * 16 + d;
    }
    if (k == size) return value;
  }
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
    unsigned d = hexDigit(text[i]);
    if (d == HexDigits::kNotADigit) break;
    magnitude = magnitude * 16 + d;
    if (magnitude > ceiling) magnitude = ceiling;
  }
  if (!negative)
    return magnitude > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(magnitude);
  if (magnitude >= 0x80000000u) return 0x80000000u;
  return static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(magnitude));
}

bool readServerNumber(std::string_view value, std::uint32_t& bits) {
  bits = 0;
  if (value.starts_with('.')) value.remove_prefix(1);
  if (value.empty()) return true;
  auto allHex = [](std::string_view digits) {
    for (char c : digits) {
      if (hexDigit(c) == HexDigits::kNotADigit) return false;
    }
    return true;
  };
  if (value.size() >= 2 && value[0] == '0' && (value[1] | 0x20) == 'x')
    return allHex(value.substr(2));
  // Beyond 32 bits the server's own arithmetic wraps; its low 32 bits are the account's.
  if (value[0] == '0' && allHex(value)) {
    for (char c : value) bits = bits * 16 + hexDigit(c);
    return true;
  }
  if (value[0] < '0' || value[0] > '9') return false;
  for (char c : value) {
    if (c == '.') continue;
    if (c < '0' || c > '9') {
      bits = 0;
      return false;
    }
    bits = bits * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return true;
}

bool privLineGoes(std::string_view value, bool plainKey, std::size_t valueOffset,
                  std::uint32_t& shown) {
  std::string_view ownReading =
      value.substr(0, valueOffset < text::kMaxPieceChars ? text::kMaxPieceChars - valueOffset : 0);
  shown = parsePrivValue(ownReading.data(), ownReading.size());
  if (isForbiddenPriv(shown)) return true;
  std::uint32_t server = 0;
  if (!plainKey || !readServerNumber(value, server)) return true;
  shown = server;
  return isForbiddenPriv(server);
}
