#include "sys/line_reader.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QUELM_HAVE_SSE2 1
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

}  // namespace

std::size_t findLineSpecial(const char* p, std::size_t n) {
#ifdef QUELM_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8(kLF);
  const __m128i cr = _mm_set1_epi8(kCR);
  const __m128i sub = _mm_set1_epi8(kSUB);
  for (std::size_t i = 0; i < n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                               _mm_cmpeq_epi8(v, sub));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) {
#if defined(_MSC_VER) && !defined(__clang__)
      unsigned long bit;
      _BitScanForward(&bit, mask);
#else
      unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
#endif
      return std::min(i + bit, n);
    }
  }
  return n;
#else
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == kLF || p[i] == kCR || p[i] == kSUB) return i;
  }
  return n;
#endif
}

LineReader::LineReader(ByteSource& source, std::size_t blockSize)
    : source_(source),
      capacity_(std::max(blockSize, 2 * kLookahead)),
      block_(new char[capacity_ + kPadding]()) {}

bool LineReader::fill() {
  if (onReuse_) onReuse_();
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

  const char* p = block_.get() + pos_;
  std::size_t avail = end_ - pos_;
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
    char c = block_[pos_++];
    if (c == kCR) {
      if (pos_ == end_) {
        if (!eof_ && !fill()) return false;
        if (pos_ == end_) break;  // a carriage return that ends the file is lost
      }
      c = block_[pos_++];
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
