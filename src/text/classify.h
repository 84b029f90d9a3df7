// The line classifier: one pass over a stretch of text that lists the few lines the filter must
// inspect, so that every other line is copied without being read again (rules.h, "Looking").
//
// A line passes when it is plain (at most 253 characters, then CR LF, holding no other CR and no
// 0x1A) and begins with neither "[" nor "pl" or "pr" in any case. Every other line is a line to
// inspect: a header or a key that may matter, or a line the reader must decode byte by byte.
//
// classify_portable.cpp defines what the classifier computes, byte by byte. The vector versions
// compute the same, each in a file of its own built for its instruction set alone
// (classify_sse2.cpp, classify_avx2.cpp, classify_avx512.cpp); classify.cpp picks the fastest one
// the processor runs, and classify_test.cpp holds every version to the portable one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace text {

// A line to inspect: where it starts and, for a plain CR LF line, where it ends (after its LF);
// 0 for any other.
struct LineToInspect {
  std::uint32_t start;
  std::uint32_t end;
};

// What every version of the classifier is: given the n bytes at p (which begin a line), lists the
// lines to inspect among those that start there, in order, at most room of them in found, with
// their number in count. Returns the offset up to which every line start is classified, itself a
// line start; once the room is taken, the offset of the first line to inspect left out. Only
// whole 64-byte blocks are looked at (the byte after each is read too), so the classified run may
// stop short of the last line.
using FindLinesToInspect = std::size_t(const char* p, std::size_t n, LineToInspect* found,
                                       std::size_t room, std::size_t& count);

// The fastest version this processor runs.
FindLinesToInspect findLinesToInspect;

// The length of the longest run of passing lines at the start of the n bytes at p (which begin a
// line), within whole 64-byte blocks as above.
std::size_t passingRunLength(const char* p, std::size_t n);

// The index of the first LF, CR or 0x1A among the first n bytes at p, or n if none.
std::size_t findLineSpecial(const char* p, std::size_t n);

// Every version that this processor can run, the fastest first and the portable one last: the
// reader uses the first, the tests hold them all to the last.
std::vector<FindLinesToInspect*> findLinesToInspectVersions();

// The versions themselves, each defined in its own file; the vector ones exist only where the
// build made them (QUELM_HAVE_SSE2, QUELM_HAVE_AVX2, QUELM_HAVE_AVX512).
FindLinesToInspect findLinesToInspectPortable;
FindLinesToInspect findLinesToInspectSse2;
FindLinesToInspect findLinesToInspectAvx2;
FindLinesToInspect findLinesToInspectAvx512;
std::size_t findLineSpecialPortable(const char* p, std::size_t n);
std::size_t findLineSpecialSse2(const char* p, std::size_t n);

}  // namespace text
