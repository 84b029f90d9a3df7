// The line classifier for AVX2: 32 bytes at a time. This file alone is built for AVX2 (see
// CMakeLists.txt); it runs only where classify.cpp finds the processor has it.
#include <immintrin.h>

#include "text/classify_kernel.h"

namespace text {

namespace {

inline std::uint64_t bits(__m256i low, __m256i high) {
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

inline __m256i badAvx2(__m256i v, __m256i after) {
  return _mm256_or_si256(_mm256_xor_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kCR)),
                                          _mm256_cmpeq_epi8(after, _mm256_set1_epi8(kLF))),
                         _mm256_cmpeq_epi8(v, _mm256_set1_epi8(kSUB)));
}

inline __m256i lookAvx2(__m256i v, __m256i after) {
  const __m256i caseBit = _mm256_set1_epi8(0x20);
  after = _mm256_or_si256(after, caseBit);
  __m256i letterP = _mm256_cmpeq_epi8(_mm256_or_si256(v, caseBit), _mm256_set1_epi8('p'));
  __m256i letterLR = _mm256_or_si256(_mm256_cmpeq_epi8(after, _mm256_set1_epi8('l')),
                                     _mm256_cmpeq_epi8(after, _mm256_set1_epi8('r')));
  // Up to a blank, signed (so from 0x80 too), but CR.
  __m256i space = _mm256_andnot_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kCR)),
                                      _mm256_cmpgt_epi8(_mm256_set1_epi8(' ' + 1), v));
  return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('[')), space),
                         _mm256_and_si256(letterP, letterLR));
}

inline BlockMasks blockMasksAvx2(const char* p) {
  const __m256i lf = _mm256_set1_epi8(kLF);
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  __m256i afterA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
  __m256i afterB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 33));
  return {bits(_mm256_cmpeq_epi8(a, lf), _mm256_cmpeq_epi8(b, lf)),
          bits(badAvx2(a, afterA), badAvx2(b, afterB)),
          bits(lookAvx2(a, afterA), lookAvx2(b, afterB))};
}

}  // namespace

std::size_t findLinesToInspectAvx2(const char* p, std::size_t n, LineToInspect* found,
                                   std::size_t room, std::size_t& count) {
  return findLinesWith<blockMasksAvx2>(p, n, found, room, count);
}

}  // namespace text
