// The line classifier: one pass over a stretch of text that lists the few lines the filter must
// look at, so that every other line is copied without being read again (rules.h, "Looking").
//
// classify_portable.cpp defines what it computes, byte by byte. The vector versions compute the
// same, each in a file of its own built for its instruction set alone (classify_sse2.cpp,
// classify_avx2.cpp, classify_avx512.cpp); classify.cpp picks the fastest one the processor runs,
// and classify_test.cpp holds every version to the portable one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace text {

// A line that is not quiet (see quietRunLength): where it starts and, for a plain CR LF line of
// at most 253 characters, where it ends (after its LF); 0 for any other.
struct LoudLine {
  std::uint32_t start;
  std::uint32_t end;
};

// Lists the lines that are not quiet among those that start in the n bytes at p (which begin a
// line): their offsets and, for plain CR LF lines, their ends, in order, at most room of them,
// with their number in count. A line is quiet when it is plain (at most 253 characters, CR, LF,
// no other CR and no 0x1A) and begins with neither "[" nor "pl" or "pr" in any case. Returns the
// offset up to which every line start is classified, itself a line start; once the room is taken,
// the offset of the first loud line left out. Only whole 64-byte blocks are looked at (the byte
// after each is read too), so the classified run may stop short of the last line.
std::size_t findLoudLines(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                          std::size_t& count);

// The length of the longest run of quiet lines at the start of the n bytes at p (which begin a
// line), within whole 64-byte blocks as above.
std::size_t quietRunLength(const char* p, std::size_t n);

// The index of the first LF, CR or 0x1A among the first n bytes at p, or n if none.
std::size_t findLineSpecial(const char* p, std::size_t n);

// The versions of findLoudLines.
using FindLoudLinesFunction = std::size_t (*)(const char* p, std::size_t n, LoudLine* loud,
                                              std::size_t room, std::size_t& count);

// Every version that this processor can run, the fastest first and the portable one last: the
// reader uses the first, the tests hold them all to the last.
std::vector<FindLoudLinesFunction> findLoudLinesVersions();

// The versions themselves, each defined in its own file; the vector ones exist only where the
// build made them (QUELM_HAVE_SSE2, QUELM_HAVE_AVX2, QUELM_HAVE_AVX512).
std::size_t findLoudLinesPortable(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                                  std::size_t& count);
std::size_t findLoudLinesSse2(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                              std::size_t& count);
std::size_t findLoudLinesAvx2(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                              std::size_t& count);
std::size_t findLoudLinesAvx512(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                                std::size_t& count);
std::size_t findLineSpecialPortable(const char* p, std::size_t n);
std::size_t findLineSpecialSse2(const char* p, std::size_t n);

}  // namespace text
