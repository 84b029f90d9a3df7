// The line classifier for SSE2, which every x86-64 processor has: 16 bytes at a time.
#include <emmintrin.h>

#include "text/classify_kernel.h"

namespace text {

namespace {

unsigned lowestBit(unsigned mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanForward(&bit, mask);
  return bit;
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

BlockMasks blockMasksSse2(const char* p) {
  const __m128i lf = _mm_set1_epi8(kLF);
  const __m128i cr = _mm_set1_epi8(kCR);
  const __m128i sub = _mm_set1_epi8(kSUB);
  const __m128i caseBit = _mm_set1_epi8(0x20);
  BlockMasks m{0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i + 1));
    __m128i foldedAfter = _mm_or_si128(after, caseBit);
    __m128i bad = _mm_or_si128(_mm_xor_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(after, lf)),
                               _mm_cmpeq_epi8(v, sub));
    // Up to a blank, signed (so from 0x80 too), but CR.
    __m128i space =
        _mm_andnot_si128(_mm_cmpeq_epi8(v, cr), _mm_cmplt_epi8(v, _mm_set1_epi8(' ' + 1)));
    __m128i look =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')), space),
                     _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(v, caseBit), _mm_set1_epi8('p')),
                                   _mm_or_si128(_mm_cmpeq_epi8(foldedAfter, _mm_set1_epi8('l')),
                                                _mm_cmpeq_epi8(foldedAfter, _mm_set1_epi8('r')))));
    int shift = 16 * i;
    m.lf |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << shift;
    m.bad |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(bad))} << shift;
    m.look |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(look))} << shift;
  }
  return m;
}

}  // namespace

std::size_t findLinesToInspectSse2(const char* p, std::size_t n, LineToInspect* found,
                                   std::size_t room, std::size_t& count) {
  return findLinesWith<blockMasksSse2>(p, n, found, room, count);
}

std::size_t findLineSpecialSse2(const char* p, std::size_t n) {
  std::size_t i = 0;
  const __m128i lf = _mm_set1_epi8(kLF);
  const __m128i cr = _mm_set1_epi8(kCR);
  const __m128i sub = _mm_set1_epi8(kSUB);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                               _mm_cmpeq_epi8(v, sub));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return i + lowestBit(mask);
  }
  for (; i < n; ++i) {
    if (p[i] == kLF || p[i] == kCR || p[i] == kSUB) return i;
  }
  return n;
}

}  // namespace text
