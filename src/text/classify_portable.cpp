// The line classifier's definition: what every version computes, byte by byte, without vector
// instructions. The tests hold the other versions to it.
#include "text/classify_kernel.h"

namespace text {

namespace {

BlockMasks blockMasksPortable(const char* p) {
  BlockMasks m{0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    std::uint64_t bit = std::uint64_t{1} << i;
    char after = static_cast<char>(p[i + 1] | 0x20);
    if (p[i] == kLF) m.lf |= bit;
    if ((p[i] == kCR) != (p[i + 1] == kLF) || p[i] == kSUB) m.bad |= bit;
    signed char c = static_cast<signed char>(p[i]);
    bool space = c <= ' ' && c != kCR;
    if (c == '[' || ((c | 0x20) == 'p' && (after == 'l' || after == 'r')) || space) m.look |= bit;
  }
  return m;
}

}  // namespace

std::size_t findLinesToInspectPortable(const char* p, std::size_t n, LineToInspect* found,
                                       std::size_t room, std::size_t& count) {
  return findLinesWith<blockMasksPortable>(p, n, found, room, count);
}

std::size_t findLineSpecialPortable(const char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && p[i] != kLF && p[i] != kCR && p[i] != kSUB) ++i;
  return i;
}

}  // namespace text
