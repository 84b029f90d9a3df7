// What every version of the line classifier shares: the loop over 64-byte blocks, which each
// version instantiates with its own way of computing a block's masks. Included only by the
// classify_*.cpp files.
//
// Everything here has internal linkage (an unnamed namespace), so that each file gets its own
// copy built for its own instruction set: were these inline functions shared between files, the
// linker could keep the copy from the AVX2 file and have the portable version call it on a
// processor without AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/classify.h"
#include "text/rules.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QUELM_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUELM_ALWAYS_INLINE inline
#endif

namespace text {
namespace {

inline unsigned lowestBit64(std::uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanForward64(&bit, mask);
  return bit;
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

inline unsigned countLeadingZeros64(std::uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanReverse64(&bit, mask);
  return 63 - bit;
#else
  return static_cast<unsigned>(__builtin_clzll(mask));
#endif
}

// For the 64 bytes at p, bit i stands for byte i:
//  - lf: the byte is LF;
//  - bad: the byte is a CR not followed by LF or a 0x1A, or the byte after it is an LF that does
//    not follow a CR; either way byte i + 1 belongs to a line that is not a plain CR LF line;
//  - look: a line starting at the byte would need a look: "[", or "p" then "l" or "r", any case.
// The byte after the block is read too.
struct BlockMasks {
  std::uint64_t lf;
  std::uint64_t bad;
  std::uint64_t look;
};

// The index of the lowest set bit, 64 for none.
inline unsigned trailingZeros64(std::uint64_t mask) {
  return mask != 0 ? lowestBit64(mask) : 64;
}

// The rare case of a block, kept out of the loop: a bad byte makes the line it stands in loud.
// Returns the starts, in the block, of the lines with a bad byte, and tells whether the line begun
// in an earlier block has one.
inline std::uint64_t findBadLines(std::uint64_t starts, std::uint64_t bad, bool& earlierBad) {
  std::uint64_t badStarts = 0;
  for (; bad != 0; bad &= bad - 1) {
    unsigned q = lowestBit64(bad);
    std::uint64_t startsUpTo = starts & (q == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << q) - 1);
    if (startsUpTo != 0) {
      badStarts |= std::uint64_t{1} << (63 - countLeadingZeros64(startsUpTo));
    } else {
      earlierBad = true;
    }
  }
  return badStarts;
}

// Classifies, in one pass of whole 64-byte blocks, the lines that start in the n bytes at p (which
// begin a line). A line is quiet when it is at most 253 characters followed by CR LF, holds no
// other CR and no 0x1A, and begins with neither "[" nor "pl"/"pr"; the others go to loud, in order,
// with the end of those that fail only the last test. Returns the offset up to which every line
// start is classified, itself a line start; once room entries are taken, the offset of the first
// loud line that found no room.
template <BlockMasks (*masks)(const char*)>
QUELM_ALWAYS_INLINE std::size_t loudLines(const char* p, std::size_t n, LoudLine* loud,
                                          std::size_t room, std::size_t& count) {
  constexpr std::size_t kNone = ~std::size_t{0};
  count = 0;
  std::size_t lineStart = 0;    // the line in progress; every line before it is classified
  std::size_t pending = kNone;  // the entry of the line in progress, while its end is unknown
  // The bad bit carried over from the last byte of the previous block. Before the first block
  // stands a line start, so an LF there is one without its CR.
  std::uint64_t badCarry = n > 0 && p[0] == kLF;
  // One byte past each block is read, for the line that may start right after it.
  for (std::size_t b = 0; b + 65 <= n; b += 64) {
    BlockMasks m = masks(p + b);
    std::uint64_t starts = (m.lf << 1) | std::uint64_t{lineStart == b};
    std::uint64_t loudHere = starts & m.look;  // loud lines that start in this block
    // Bit i set where byte i stands in a line that is not a plain CR LF line.
    std::uint64_t bad = (m.bad << 1) | badCarry;
    badCarry = m.bad >> 63;
    std::size_t firstLf = b + trailingZeros64(m.lf);
    std::uint64_t badStarts = 0;  // lines that start in this block and are not plain
    if ((bad != 0) | (firstLf - lineStart > kMaxPieceChars)) {
      bool earlierBad = firstLf - lineStart > kMaxPieceChars;
      badStarts = findBadLines(starts, bad, earlierBad);
      loudHere |= badStarts;
      if (earlierBad) {
        // The line in progress is listed already when it is the last one listed.
        if (count > 0 && loud[count - 1].start == lineStart) {
          loud[count - 1].end = 0;
        } else {
          if (count == room) return lineStart;
          loud[count++] = {static_cast<std::uint32_t>(lineStart), 0};
        }
        pending = kNone;
      }
    }
    if (pending != kNone && m.lf != 0) {
      loud[pending].end = static_cast<std::uint32_t>(firstLf + 1);
      pending = kNone;
    }
    for (std::uint64_t c = loudHere; c != 0; c &= c - 1) {
      unsigned i = lowestBit64(c);
      std::size_t at = b + i;
      if (count == room) return at;
      std::uint64_t lfsFrom = m.lf >> i;
      std::uint32_t end = 0;
      if (((badStarts >> i) & 1) == 0) {
        if (lfsFrom != 0) {
          end = static_cast<std::uint32_t>(at + lowestBit64(lfsFrom) + 1);
        } else {
          pending = count;
        }
      }
      loud[count++] = {static_cast<std::uint32_t>(at), end};
    }
    if (m.lf != 0) lineStart = b + 64 - countLeadingZeros64(m.lf);
  }
  return lineStart;
}

}  // namespace
}  // namespace text
