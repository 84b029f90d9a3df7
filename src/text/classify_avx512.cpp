// The line classifier for AVX-512 (F and BW, with BMI): 64 bytes at a time, straight into bit
// masks. This file alone is built for those (see CMakeLists.txt); it runs only where classify.cpp
// finds the processor has them.
#include <immintrin.h>

#include "text/classify_kernel.h"

namespace text {

namespace {

inline BlockMasks blockMasksAvx512(const char* p) {
  const __m512i caseBit = _mm512_set1_epi8(0x20);
  __m512i v = _mm512_loadu_si512(p);
  __m512i after = _mm512_loadu_si512(p + 1);
  __m512i folded = _mm512_or_si512(v, caseBit);
  __m512i foldedAfter = _mm512_or_si512(after, caseBit);
  std::uint64_t cr = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kCR));
  std::uint64_t lfAfter = _mm512_cmpeq_epi8_mask(after, _mm512_set1_epi8(kLF));
  std::uint64_t sub = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kSUB));
  std::uint64_t bracket = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('['));
  std::uint64_t letterP = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('p'));
  std::uint64_t letterLR = _mm512_cmpeq_epi8_mask(foldedAfter, _mm512_set1_epi8('l')) |
                           _mm512_cmpeq_epi8_mask(foldedAfter, _mm512_set1_epi8('r'));
  // Up to a blank, signed (so from 0x80 too), but CR.
  std::uint64_t space = _mm512_cmple_epi8_mask(v, _mm512_set1_epi8(' ')) & ~cr;
  return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kLF)), (cr ^ lfAfter) | sub,
          bracket | space | (letterP & letterLR)};
}

}  // namespace

std::size_t findLinesToInspectAvx512(const char* p, std::size_t n, LineToInspect* found,
                                     std::size_t room, std::size_t& count) {
  return findLinesWith<blockMasksAvx512>(p, n, found, room, count);
}

}  // namespace text
