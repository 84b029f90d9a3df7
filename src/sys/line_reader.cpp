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

// For the 64 bytes at p: bit i set where byte i is LF, where it is CR, where it is "[", "p" or
// "P" (a line starting there may need a look); and whether any byte is 0x1A.
struct BlockMasks {
  std::uint64_t lf;
  std::uint64_t cr;
  std::uint64_t notable;
  bool sub;
};

#ifdef QUELM_HAVE_SSE2
BlockMasks blockMasksSse2(const char* p) {
  const __m128i lf = _mm_set1_epi8(kLF);
  const __m128i cr = _mm_set1_epi8(kCR);
  const __m128i sub = _mm_set1_epi8(kSUB);
  const __m128i bracket = _mm_set1_epi8('[');
  const __m128i lowerP = _mm_set1_epi8('p');
  const __m128i caseBit = _mm_set1_epi8(0x20);
  BlockMasks m{0, 0, 0, false};
  __m128i anySub = _mm_setzero_si128();
  for (int i = 0; i < 4; ++i) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    __m128i notable =
        _mm_or_si128(_mm_cmpeq_epi8(v, bracket), _mm_cmpeq_epi8(_mm_or_si128(v, caseBit), lowerP));
    anySub = _mm_or_si128(anySub, _mm_cmpeq_epi8(v, sub));
    int shift = 16 * i;
    m.lf |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << shift;
    m.cr |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)))} << shift;
    m.notable |= std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(notable))} << shift;
  }
  m.sub = _mm_movemask_epi8(anySub) != 0;
  return m;
}
#endif

#ifdef QUELM_HAVE_AVX2
__attribute__((target("avx2"))) inline BlockMasks blockMasksAvx2(const char* p) {
  const __m256i lf = _mm256_set1_epi8(kLF);
  const __m256i cr = _mm256_set1_epi8(kCR);
  const __m256i sub = _mm256_set1_epi8(kSUB);
  const __m256i bracket = _mm256_set1_epi8('[');
  const __m256i lowerP = _mm256_set1_epi8('p');
  const __m256i caseBit = _mm256_set1_epi8(0x20);
  BlockMasks m{0, 0, 0, false};
  __m256i anySub = _mm256_setzero_si256();
  for (int i = 0; i < 2; ++i) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
    __m256i notable = _mm256_or_si256(_mm256_cmpeq_epi8(v, bracket),
                                      _mm256_cmpeq_epi8(_mm256_or_si256(v, caseBit), lowerP));
    anySub = _mm256_or_si256(anySub, _mm256_cmpeq_epi8(v, sub));
    int shift = 32 * i;
    m.lf |=
        std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, lf)))}
        << shift;
    m.cr |=
        std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, cr)))}
        << shift;
    m.notable |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(notable))} << shift;
  }
  m.sub = _mm256_movemask_epi8(anySub) != 0;
  return m;
}
#endif

BlockMasks blockMasksPortable(const char* p) {
  BlockMasks m{0, 0, 0, false};
  for (int i = 0; i < 64; ++i) {
    std::uint64_t bit = std::uint64_t{1} << i;
    if (p[i] == kLF) m.lf |= bit;
    if (p[i] == kCR) m.cr |= bit;
    if (p[i] == '[' || (p[i] | 0x20) == 'p') m.notable |= bit;
    if (p[i] == kSUB) m.sub = true;
  }
  return m;
}

// Whether the line at p (with at least two bytes) begins with "[", "pl" or "pr" in any case: the
// lines a consumer may want to examine (headers, "plevel=", "priv=").
inline bool needsALook(const char* p) {
  if (p[0] == '[') return true;
  char second = static_cast<char>(p[1] | 0x20);
  return (p[0] | 0x20) == 'p' && (second == 'l' || second == 'r');
}

template <BlockMasks (*masks)(const char*)>
QUELM_ALWAYS_INLINE std::size_t quietRun(const char* p, std::size_t n) {
  std::size_t lineStart = 0;  // the line in progress; every line before it is quiet
  bool crBefore = false;      // whether the byte before the block is a CR
  // One byte past each block is looked at, to see whether a CR in its last byte ends a line.
  for (std::size_t b = 0; b + 65 <= n; b += 64) {
    BlockMasks m = masks(p + b);
    // A line longer than 253 characters and its CR LF is not quiet.
    std::size_t firstLf = m.lf != 0 ? b + lowestBit64(m.lf) : b + 64;
    if (firstLf - lineStart > kMaxPieceChars) return lineStart;
    // In a quiet stretch every CR stands right before an LF, every LF right after a CR, and
    // there is no 0x1A.
    std::uint64_t crBeforeLf = (m.lf >> 1) | (std::uint64_t{p[b + 64] == kLF} << 63);
    std::uint64_t bad = (m.cr & ~crBeforeLf) | (m.lf & ~((m.cr << 1) | std::uint64_t{crBefore}));
    if (m.sub) {
      for (int i = 0; i < 64; ++i) {
        if (p[b + i] == kSUB) bad |= std::uint64_t{1} << i;
      }
    }
    std::uint64_t starts = (m.lf << 1) | std::uint64_t{lineStart == b};
    std::uint64_t upToBad = ~std::uint64_t{0};
    if (bad != 0) {
      unsigned q = lowestBit64(bad);
      upToBad = q == 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << q) - 1;
    }
    // The run ends before the first line that needs a look or holds a bad byte.
    for (std::uint64_t c = starts & m.notable & upToBad; c != 0; c &= c - 1) {
      std::size_t at = b + lowestBit64(c);
      if (needsALook(p + at)) return at;
    }
    if (bad != 0) {
      std::uint64_t before = starts & upToBad;
      return before != 0 ? b + 63 - countLeadingZeros64(before) : lineStart;
    }
    if (m.lf != 0) lineStart = b + 64 - countLeadingZeros64(m.lf);
    crBefore = p[b + 63] == kCR;
  }
  return lineStart;
}

using QuietRunFunction = std::size_t (*)(const char*, std::size_t);

#ifdef QUELM_HAVE_AVX2
// Compiled for AVX2 as a whole, so that the block masks are inlined into the loop.
__attribute__((target("avx2"))) std::size_t quietRunAvx2(const char* p, std::size_t n) {
  return quietRun<blockMasksAvx2>(p, n);
}
#endif

#ifdef QUELM_HAVE_SSE2
std::size_t quietRunSse2(const char* p, std::size_t n) {
  return quietRun<blockMasksSse2>(p, n);
}
#endif

std::size_t quietRunPortable(const char* p, std::size_t n) {
  return quietRun<blockMasksPortable>(p, n);
}

QuietRunFunction chooseQuietRun() {
#ifdef QUELM_HAVE_AVX2
  if (__builtin_cpu_supports("avx2")) return quietRunAvx2;
#endif
#ifdef QUELM_HAVE_SSE2
  return quietRunSse2;
#else
  return quietRunPortable;
#endif
}

const QuietRunFunction quietRunBest = chooseQuietRun();

}  // namespace

std::size_t quietRunLength(const char* p, std::size_t n) {
  return quietRunBest(p, n);
}

std::size_t quietRunLengthPortable(const char* p, std::size_t n) {
  return quietRunPortable(p, n);
}

LineReader::LineReader(ByteSource& source, std::size_t blockSize, bool quietRuns)
    : source_(source),
      quietRuns_(quietRuns),
      capacity_(std::max(blockSize, 2 * kLookahead)),
      data_("") {}

bool LineReader::fill() {
  if (onReuse_) onReuse_();
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

LineReader::Status LineReader::next(Piece& piece) {
  if (!eof_ && end_ - pos_ < kLookahead && !fill()) return Status::Error;
  if (pos_ == end_) return Status::End;

  const char* p = data_ + pos_;
  std::size_t avail = end_ - pos_;
  if (quietRuns_ && atLineStart_) {
    std::size_t run = quietRunLength(p, avail);
    if (run > 0) {
      pos_ += run;
      piece.data = p;
      piece.size = run;
      piece.startsLine = true;
      piece.fileForm = true;
      piece.quietRun = true;
      return Status::Piece;
    }
  }
  piece.quietRun = false;
  std::size_t i = findLineSpecial(p, std::min(avail, kMaxPieceChars + 1));
  std::size_t size = 0;
  bool fileForm = false;
  if (i >= kMaxPieceChars) {
    size = kMaxPieceChars;  // 254 plain characters: a full piece of a longer line
  } else if (i == avail) {
    size = avail;  // the end of a file whose last line has no line feed
  } else if (p[i] == kLF) {
    size = i + 1;
  } else if (p[i] == kCR && i + 1 < avail && p[i + 1] == kLF) {
    size = i + 2;  // at most 253 characters, CR, LF: one piece, already in file form
    fileForm = true;
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
  piece.quietRun = false;
  piece.fileForm = false;
  piece.startsLine = atLineStart_;
  if (n > 0) atLineStart_ = piece_[n - 1] == kLF;
  return true;
}

}  // namespace sys
