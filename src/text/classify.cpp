// Picks the fastest version of the line classifier that this processor runs.
#include "text/classify.h"

namespace text {

std::vector<FindLinesToInspect*> findLinesToInspectVersions() {
  std::vector<FindLinesToInspect*> versions;
#ifdef QUELM_HAVE_AVX512
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi")) {
    versions.push_back(findLinesToInspectAvx512);
  }
#endif
#ifdef QUELM_HAVE_AVX2
  if (__builtin_cpu_supports("avx2")) versions.push_back(findLinesToInspectAvx2);
#endif
#ifdef QUELM_HAVE_SSE2
  versions.push_back(findLinesToInspectSse2);
#endif
  versions.push_back(findLinesToInspectPortable);
  return versions;
}

namespace {

FindLinesToInspect* const bestVersion = findLinesToInspectVersions().front();

}  // namespace

std::size_t findLinesToInspect(const char* p, std::size_t n, LineToInspect* found, std::size_t room,
                               std::size_t& count) {
  return bestVersion(p, n, found, room, count);
}

std::size_t passingRunLength(const char* p, std::size_t n) {
  std::size_t count;
  return bestVersion(p, n, nullptr, 0, count);
}

std::size_t findLineSpecial(const char* p, std::size_t n) {
#ifdef QUELM_HAVE_SSE2
  return findLineSpecialSse2(p, n);
#else
  return findLineSpecialPortable(p, n);
#endif
}

}  // namespace text
