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
//    not follow a CR ((byte is CR) != (next is LF)); either way byte i + 1 belongs to a line that
//    is not plain;
//  - look: a line starting at the byte would need a look: "[", or "p" then "l" or "r", any case,
//    or a byte that may be white space to the server: any byte up to a blank but CR (which
//    begins a plain line only as the empty line's CR LF), and any byte from 0x80 (for 0xA0). One
//    signed comparison finds them, where the white space alone would take several; the server
//    never begins a line with any of them, so they stay rare.
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

// The rare case of a block, kept out of the loop: a bad byte makes the line it stands in one to
// inspect. Returns the starts, in the block, of the lines with a bad byte, and tells whether the
// line begun in an earlier block has one. For each bad byte q, the starts at or before it are
// starts & ((2 << q) - 1), and the line it stands in is the highest of them.
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

// The classifier (classify.h), with a version's own way of computing a block's masks. In one
// pass of whole 64-byte blocks, each seen as 64-bit masks with bit i for byte i:
//
//   for each block:
//     starts  = (lf << 1) | (a line starts at the block's first byte)    the lines that begin here
//     inspect = starts & look                     those that begin with "[", "pl" or "pr"
//     bad     = (bad << 1) | bit carried over     bytes that stand in a line that is not plain
//     for each bad byte: the line it stands in (the highest start at or before it) is to inspect,
//       without an end; with no start before it here, that is the line begun in an earlier block,
//       as it is when that line's first LF comes more than 254 bytes after its start
//     an entry still waiting for its end gets the block's first LF
//     for each start to inspect, lowest first: list it, with the end of its line if the LF is in
//       this block (the lowest bit of lf >> start), else it waits for the next block's first LF
//     the next line begins after the block's last LF (64 - the leading zeros of lf)
template <BlockMasks (*masks)(const char*)>
QUELM_ALWAYS_INLINE std::size_t findLinesWith(const char* p, std::size_t n, LineToInspect* found,
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
    std::uint64_t inspectHere = starts & m.look;  // lines to inspect that start in this block
    // Bit i set where byte i stands in a line that is not a plain CR LF line.
    std::uint64_t bad = (m.bad << 1) | badCarry;
    badCarry = m.bad >> 63;
    std::size_t firstLf = b + trailingZeros64(m.lf);
    std::uint64_t badStarts = 0;  // lines that start in this block and are not plain
    if ((bad != 0) | (firstLf - lineStart > kMaxPieceChars)) {
      bool earlierBad = firstLf - lineStart > kMaxPieceChars;
      badStarts = findBadLines(starts, bad, earlierBad);
      inspectHere |= badStarts;
      if (earlierBad) {
        // The line in progress is listed already when it is the last one listed.
        if (count > 0 && found[count - 1].start == lineStart) {
          found[count - 1].end = 0;
        } else {
          if (count == room) return lineStart;
          found[count++] = {static_cast<std::uint32_t>(lineStart), 0};
        }
        pending = kNone;
      }
    }
    if (pending != kNone && m.lf != 0) {
      found[pending].end = static_cast<std::uint32_t>(firstLf + 1);
      pending = kNone;
    }
    for (std::uint64_t c = inspectHere; c != 0; c &= c - 1) {
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
      found[count++] = {static_cast<std::uint32_t>(at), end};
    }
    if (m.lf != 0) lineStart = b + 64 - countLeadingZeros64(m.lf);
  }
  return lineStart;
}

}  // namespace
}  // namespace text
