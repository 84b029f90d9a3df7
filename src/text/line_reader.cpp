#include "text/line_reader.h"

#include <algorithm>
#include <cstring>

#include "text/classify.h"

namespace text {

namespace {

// Bytes the fast path wants in hand before it looks at a piece: the longest raw piece it hands
// out (253 characters, CR, LF) plus one.
constexpr std::size_t kLookahead = kMaxPieceChars + 2;

// Room behind the block for findLineSpecial's whole-vector reads.
constexpr std::size_t kPadding = 16;

// Offsets are kept in 32 bits, and a stretch this long keeps the lines just classified in the
// processor's cache for when their pieces are handed out.
constexpr std::size_t kLoudStretch = std::size_t{256} << 10;

}  // namespace

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
      error_ = sys::lastError();
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
      error_ = sys::lastError();
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
  loudEnd_ = pos_ + findLoudLines(data_ + pos_, n, loud_.get(), kLoudRoom, loudCount_);
  nextLoud_ = 0;
}

bool LineReader::readByteOrderMark(ByteOrderMark& mark) {
  mark = ByteOrderMark::None;
  if (!eof_ && end_ - pos_ < kLookahead && !fill()) return false;
  std::string_view start(data_ + pos_, std::min<std::size_t>(end_ - pos_, kUtf8Mark.size()));
  if (start == kUtf8Mark) {
    mark = ByteOrderMark::Utf8;
    pos_ += kUtf8Mark.size();
  } else if (start.starts_with("\xFF\xFE") || start.starts_with("\xFE\xFF")) {
    mark = ByteOrderMark::Utf16;
  }
  return true;
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

}  // namespace text
