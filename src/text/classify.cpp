// Picks the fastest version of the line classifier that this processor runs.
#include "text/classify.h"

namespace text {

std::vector<FindLoudLinesFunction> findLoudLinesVersions() {
  std::vector<FindLoudLinesFunction> versions;
#ifdef QUELM_HAVE_AVX512
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi")) {
    versions.push_back(findLoudLinesAvx512);
  }
#endif
#ifdef QUELM_HAVE_AVX2
  if (__builtin_cpu_supports("avx2")) versions.push_back(findLoudLinesAvx2);
#endif
#ifdef QUELM_HAVE_SSE2
  versions.push_back(findLoudLinesSse2);
#endif
  versions.push_back(findLoudLinesPortable);
  return versions;
}

namespace {

const FindLoudLinesFunction loudLinesBest = findLoudLinesVersions().front();

}  // namespace

std::size_t findLoudLines(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                          std::size_t& count) {
  return loudLinesBest(p, n, loud, room, count);
}

std::size_t quietRunLength(const char* p, std::size_t n) {
  std::size_t count;
  return loudLinesBest(p, n, nullptr, 0, count);
}

std::size_t findLineSpecial(const char* p, std::size_t n) {
#ifdef QUELM_HAVE_SSE2
  return findLineSpecialSse2(p, n);
#else
  return findLineSpecialPortable(p, n);
#endif
}

}  // namespace text
