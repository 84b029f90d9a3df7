#include "sys/line_reader.h"

#include <algorithm>
#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QUELM_HAVE_SSE2 1
#endif
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QUELM_HAVE_AVX2 1
// Not on Windows, where GCC does not align the stack for 64-byte vectors it may spill.
#if !defined(_WIN32) && defined(__x86_64__)
#define QUELM_HAVE_AVX512 1
#endif
#endif

namespace sys {

namespace {

constexpr char kLF = '\n';
constexpr char kCR = '\r';
constexpr char kSUB = 0x1A;

// Bytes the fast path wants in hand before it looks at a piece: the longest raw piece it hands
// out (253 characters, CR, LF) plus one.
constexpr std::size_t kLookahead = kMaxPieceChars + 2;

// Room behind the block for findLineSpecial's whole-vector reads.
constexpr std::size_t kPadding = 16;

unsigned lowestBit(unsigned mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanForward(&bit, mask);
  return bit;
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

unsigned lowestBit64(std::uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanForward64(&bit, mask);
  return bit;
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

unsigned countLeadingZeros64(std::uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long bit;
  _BitScanReverse64(&bit, mask);
  return 63 - bit;
#else
  return static_cast<unsigned>(__builtin_clzll(mask));
#endif
}

}  // namespace

std::size_t findLineSpecial(const char* p, std::size_t n) {
  std::size_t i = 0;
#ifdef QUELM_HAVE_SSE2
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
#endif
  for (; i < n; ++i) {
    if (p[i] == kLF || p[i] == kCR || p[i] == kSUB) return i;
  }
  return n;
}

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define QUELM_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QUELM_ALWAYS_INLINE inline
#endif

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

#ifdef QUELM_HAVE_SSE2
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
    __m128i look =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')),
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
#endif

#ifdef QUELM_HAVE_AVX2
__attribute__((target("avx2"))) inline std::uint64_t bits(__m256i low, __m256i high) {
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(low))} |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
}

__attribute__((target("avx2"))) inline __m256i badAvx2(__m256i v, __m256i after) {
  return _mm256_or_si256(_mm256_xor_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kCR)),
                                          _mm256_cmpeq_epi8(after, _mm256_set1_epi8(kLF))),
                         _mm256_cmpeq_epi8(v, _mm256_set1_epi8(kSUB)));
}

__attribute__((target("avx2"))) inline __m256i lookAvx2(__m256i v, __m256i after) {
  const __m256i caseBit = _mm256_set1_epi8(0x20);
  after = _mm256_or_si256(after, caseBit);
  __m256i letterP = _mm256_cmpeq_epi8(_mm256_or_si256(v, caseBit), _mm256_set1_epi8('p'));
  __m256i letterLR = _mm256_or_si256(_mm256_cmpeq_epi8(after, _mm256_set1_epi8('l')),
                                     _mm256_cmpeq_epi8(after, _mm256_set1_epi8('r')));
  return _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('[')),
                         _mm256_and_si256(letterP, letterLR));
}

__attribute__((target("avx2"))) inline BlockMasks blockMasksAvx2(const char* p) {
  const __m256i lf = _mm256_set1_epi8(kLF);
  __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  __m256i afterA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
  __m256i afterB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 33));
  return {bits(_mm256_cmpeq_epi8(a, lf), _mm256_cmpeq_epi8(b, lf)),
          bits(badAvx2(a, afterA), badAvx2(b, afterB)),
          bits(lookAvx2(a, afterA), lookAvx2(b, afterB))};
}
#endif

#ifdef QUELM_HAVE_AVX512
#define QUELM_AVX512_TARGET __attribute__((target("avx512f,avx512bw,bmi")))
QUELM_AVX512_TARGET inline BlockMasks blockMasksAvx512(const char* p) {
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
  return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(kLF)), (cr ^ lfAfter) | sub,
          bracket | (letterP & letterLR)};
}
#endif

BlockMasks blockMasksPortable(const char* p) {
  BlockMasks m{0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    std::uint64_t bit = std::uint64_t{1} << i;
    char after = static_cast<char>(p[i + 1] | 0x20);
    if (p[i] == kLF) m.lf |= bit;
    if ((p[i] == kCR) != (p[i + 1] == kLF) || p[i] == kSUB) m.bad |= bit;
    if (p[i] == '[' || ((p[i] | 0x20) == 'p' && (after == 'l' || after == 'r'))) m.look |= bit;
  }
  return m;
}

// The index of the lowest set bit, 64 for none.
inline unsigned trailingZeros64(std::uint64_t mask) {
  return mask != 0 ? lowestBit64(mask) : 64;
}

// The rare case of a block, kept out of the loop: a bad byte makes the line it stands in loud.
// Returns the starts, in the block, of the lines with a bad byte, and tells whether the line begun
// in an earlier block has one.
std::uint64_t findBadLines(std::uint64_t starts, std::uint64_t bad, bool& earlierBad) {
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

#ifdef QUELM_HAVE_AVX2
// Compiled for AVX2 as a whole, so that the block masks are inlined into the loop.
__attribute__((target("avx2"))) std::size_t loudLinesAvx2(const char* p, std::size_t n,
                                                          LoudLine* loud, std::size_t room,
                                                          std::size_t& count) {
  return loudLines<blockMasksAvx2>(p, n, loud, room, count);
}
#endif

#ifdef QUELM_HAVE_AVX512
QUELM_AVX512_TARGET std::size_t loudLinesAvx512(const char* p, std::size_t n, LoudLine* loud,
                                                std::size_t room, std::size_t& count) {
  return loudLines<blockMasksAvx512>(p, n, loud, room, count);
}
#endif

#ifdef QUELM_HAVE_SSE2
std::size_t loudLinesSse2(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                          std::size_t& count) {
  return loudLines<blockMasksSse2>(p, n, loud, room, count);
}
#endif

std::size_t loudLinesPortable(const char* p, std::size_t n, LoudLine* loud, std::size_t room,
                              std::size_t& count) {
  return loudLines<blockMasksPortable>(p, n, loud, room, count);
}

// Offsets are kept in 32 bits, and a stretch this long keeps the lines just classified in the
// processor's cache for when their pieces are handed out.
constexpr std::size_t kLoudStretch = std::size_t{256} << 10;

}  // namespace

std::vector<FindLoudLinesFunction> findLoudLinesVersions() {
  std::vector<FindLoudLinesFunction> versions;
#ifdef QUELM_HAVE_AVX512
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi"))
    versions.push_back(loudLinesAvx512);
#endif
#ifdef QUELM_HAVE_AVX2
  if (__builtin_cpu_supports("avx2")) versions.push_back(loudLinesAvx2);
#endif
#ifdef QUELM_HAVE_SSE2
  versions.push_back(loudLinesSse2);
#endif
  versions.push_back(loudLinesPortable);
  return versions;
}

namespace {

// The fastest version this processor runs.
const FindLoudLinesFunction loudLinesBest = findLoudLinesVersions().front();

}  // namespace

std::size_t quietRunLength(const char* p, std::size_t n) {
  std::size_t count;
  return loudLinesBest(p, n, nullptr, 0, count);
}

LineReader::LineReader(ByteSource& source, std::size_t blockSize)
    : source_(source), capacity_(std::max(blockSize, 2 * kLookahead)), data_("") {}

bool LineReader::fill() {
  if (onReuse_) onReuse_();
  loudEnd_ = 0;  // the classified lines move or go
  loudCount_ = 0;
  if (viewing_) {
    const char* view = nullptr;
    bool last = false;
    std::int64_t n = source_.view(offset_ + pos_, kLookahead, view, last);
    if (n >= 0) {
      offset_ += pos_;
      data_ = view;
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
      eof_ = last;
      return true;
    }
    if (n != ByteSource::kCannotView || offset_ + pos_ != 0) {
      error_ = lastError();
      return false;
    }
    viewing_ = false;
  }
  if (!block_) {
    block_.reset(new char[capacity_ + kPadding]());
    data_ = block_.get();
  }
  std::memmove(block_.get(), block_.get() + pos_, end_ - pos_);
  end_ -= pos_;
  pos_ = 0;
  while (!eof_ && end_ < kLookahead) {
    std::int64_t n = source_.read(block_.get() + end_, capacity_ - end_);
    if (n < 0) {
      error_ = lastError();
      return false;
    }
    if (n == 0) {
      eof_ = true;
    } else {
      end_ += static_cast<std::size_t>(n);
    }
  }
  return true;
}

// Classifies the lines of the next stretch from pos_, a line start.
void LineReader::classifyLines() {
  if (!loud_) loud_.reset(new LoudLine[kLoudRoom]);
  std::size_t n = std::min(end_ - pos_, kLoudStretch);
  loudBase_ = pos_;
  loudEnd_ = pos_ + loudLinesBest(data_ + pos_, n, loud_.get(), kLoudRoom, loudCount_);
  nextLoud_ = 0;
}

LineReader::Status LineReader::next(Piece& piece) {
  if (!eof_ && end_ - pos_ < kLookahead && !fill()) return Status::Error;
  if (pos_ == end_) return Status::End;

  const char* p = data_ + pos_;
  std::size_t avail = end_ - pos_;
  std::size_t i = findLineSpecial(p, std::min(avail, kMaxPieceChars + 1));
  std::size_t size = 0;
  bool fileForm = false;
  if (i + 1 < avail && p[i] == kCR && p[i + 1] == kLF && i < kMaxPieceChars) {
    size = i + 2;  // the common line: at most 253 characters, CR, LF, already in file form
    fileForm = true;
  } else if (i >= kMaxPieceChars) {
    size = kMaxPieceChars;  // 254 plain characters: a full piece of a longer line
  } else if (i == avail) {
    size = avail;  // the end of a file whose last line has no line feed
  } else if (p[i] == kLF) {
    size = i + 1;
  } else {
    if (!decodeSlowly(piece)) return Status::Error;
    if (piece.size == 0) return Status::End;
    return Status::Piece;
  }
  pos_ += size;
  piece.data = p;
  piece.size = size;
  piece.fileForm = fileForm;
  piece.startsLine = atLineStart_;
  atLineStart_ = p[size - 1] == kLF;
  return Status::Piece;
}

bool LineReader::nextPlainLines(PlainLines& lines) {
  if (!atLineStart_) return false;
  if (pos_ >= loudEnd_) {
    // The window is refilled by next(), which needs as much in hand.
    if (!eof_ && end_ - pos_ < kLookahead) return false;
    classifyLines();
  }
  // The list counts from where the stretch began.
  std::size_t at = pos_ - loudBase_;
  std::size_t stretchEnd = loudEnd_ - loudBase_;
  while (nextLoud_ < loudCount_ && loud_[nextLoud_].start < at) ++nextLoud_;
  std::size_t first = nextLoud_;
  std::size_t last = first;
  while (last < loudCount_ && loud_[last].start < stretchEnd && loud_[last].end != 0) ++last;
  std::size_t end = stretchEnd;
  if (last < loudCount_ && loud_[last].start < end) end = loud_[last].start;
  if (end == at) return false;
  lines.base = data_ + loudBase_;
  lines.begin = at;
  lines.end = end;
  lines.looks = loud_.get() + first;
  lines.lookCount = last - first;
  pos_ = loudBase_ + end;
  nextLoud_ = last;
  return true;
}

// The general case, byte by byte into the piece buffer: lone or doubled carriage returns, 0x1A
// bytes, a carriage return at the end of the block.
bool LineReader::decodeSlowly(Piece& piece) {
  std::size_t n = 0;
  for (;;) {
    if (pos_ == end_) {
      if (!eof_ && !fill()) return false;
      if (pos_ == end_) break;
    }
    char c = data_[pos_++];
    if (c == kCR) {
      if (pos_ == end_) {
        if (!eof_ && !fill()) return false;
        if (pos_ == end_) break;  // a carriage return that ends the file is lost
      }
      c = data_[pos_++];
    }
    if (c == kSUB) continue;
    piece_[n++] = c;
    if (c == kLF || n == kMaxPieceChars) break;
  }
  piece.data = piece_;
  piece.size = n;
  piece.fileForm = false;
  piece.startsLine = atLineStart_;
  if (n > 0) atLineStart_ = piece_[n - 1] == kLF;
  return true;
}

}  // namespace sys
