#include "text/line_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "text/classify.h"

namespace text {

namespace {

// Bytes the fast path wants in hand before it looks at a piece: the longest raw piece it hands
// out (253 characters, CR, LF) plus one.
constexpr std::size_t kLookahead = kMaxPieceChars + 2;

// Offsets are kept in 32 bits, and a stretch this long keeps the lines just classified in the
// processor's cache for when their pieces are handed out.
constexpr std::size_t kInspectStretch = std::size_t{256} << 10;

}  // namespace

LineReader::LineReader(ByteSource& source, std::size_t blockSize)
    : source_(source), capacity_(std::max(blockSize, 2 * kLookahead)), data_("") {}

bool LineReader::moveWindow() {
  inspectedEnd_ = 0;  // the classified lines move or go
  toInspectCount_ = 0;
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
    block_.reset(new char[capacity_]);  // only bytes read are ever looked at
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
  if (!toInspect_) {
    // A stretch in a block holds no more lines to inspect than a third of its bytes ("[" CR LF).
    inspectRoom_ = viewing_ ? kInspectRoom : std::min(kInspectRoom, capacity_ / 3 + 1);
    toInspect_.reset(new LineToInspect[inspectRoom_]);
  }
  std::size_t n = std::min(end_ - pos_, kInspectStretch);
  inspectedBase_ = pos_;
  inspectedEnd_ =
      pos_ + findLinesToInspect(data_ + pos_, n, toInspect_.get(), inspectRoom_, toInspectCount_);
  nextToInspect_ = 0;
}

bool LineReader::readByteOrderMark(ByteOrderMark& mark) {
  mark = ByteOrderMark::None;
  // Nothing is handed out yet: the window is the reader's to fill.
  if (!eof_ && end_ - pos_ < kLookahead && !moveWindow()) return false;
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
  if (decoding_) return decodePiece(piece);
  if (!eof_ && end_ - pos_ < kLookahead) return Status::WindowUsedUp;
  if (pos_ == end_) return holdsView() ? Status::WindowUsedUp : Status::End;

  const char* p = data_ + pos_;
  std::size_t avail = end_ - pos_;
  std::size_t i = findLineSpecial(p, std::min(avail, kMaxPieceChars + 1));
  std::size_t size = 0;
  bool raw = false;
  if (i + 1 < avail && p[i] == kCR && p[i + 1] == kLF && i < kMaxPieceChars) {
    size = i + 2;  // the common line: at most 253 characters, CR, LF, a plain line, raw
    raw = true;
  } else if (i >= kMaxPieceChars) {
    size = kMaxPieceChars;  // 254 plain characters: a full piece of a longer line
  } else if (i == avail) {
    size = avail;  // the end of a file whose last line has no line feed
  } else if (p[i] == kLF) {
    size = i + 1;
  } else {
    decoding_ = true;
    return decodePiece(piece);
  }
  pos_ += size;
  handOut(piece, p, size, raw);
  return Status::Piece;
}

void LineReader::handOut(Piece& piece, const char* data, std::size_t size, bool raw) {
  piece = {data, size, atLineStart_, raw};
  atLineStart_ = data[size - 1] == kLF;
}

bool LineReader::nextPlainLines(PlainLines& lines) {
  if (!atLineStart_ || decoding_) return false;
  if (pos_ >= inspectedEnd_) {
    // next() asks for the window to move on, with as much in hand.
    if (!eof_ && end_ - pos_ < kLookahead) return false;
    classifyLines();
  }
  // The list counts from where the stretch began.
  std::size_t at = pos_ - inspectedBase_;
  std::size_t stretchEnd = inspectedEnd_ - inspectedBase_;
  while (nextToInspect_ < toInspectCount_ && toInspect_[nextToInspect_].start < at)
    ++nextToInspect_;
  std::size_t first = nextToInspect_;
  std::size_t last = first;
  while (last < toInspectCount_ && toInspect_[last].start < stretchEnd && toInspect_[last].end != 0)
    ++last;
  std::size_t end = stretchEnd;
  if (last < toInspectCount_ && toInspect_[last].start < end) end = toInspect_[last].start;
  if (end == at) return false;
  lines.base = data_ + inspectedBase_;
  lines.begin = at;
  lines.end = end;
  lines.toInspect = toInspect_.get() + first;
  lines.toInspectCount = last - first;
  pos_ = inspectedBase_ + end;
  nextToInspect_ = last;
  return true;
}

// The general case, byte by byte into the piece buffer: lone or doubled carriage returns, 0x1A
// bytes, a carriage return at the end of the window. A piece that the window's end cuts short
// stays in the buffer, to go on once the window has moved.
LineReader::Status LineReader::decodePiece(Piece& piece) {
  for (;;) {
    if (pos_ == end_) {
      if (!eof_ || holdsView()) return Status::WindowUsedUp;
      break;  // a carriage return that ends the file is lost
    }
    char c = data_[pos_++];
    // A carriage return is dropped for the byte after it.
    if (afterCR_) {
      afterCR_ = false;
    } else if (c == kCR) {
      afterCR_ = true;
      continue;
    }
    if (c == kSUB) continue;
    piece_[decoded_++] = c;
    if (c == kLF || decoded_ == kMaxPieceChars) break;
  }
  decoding_ = false;
  afterCR_ = false;
  std::size_t n = decoded_;
  decoded_ = 0;
  if (n == 0) return Status::End;
  handOut(piece, piece_, n, false);
  return Status::Piece;
}

Outcome readFileStart(LineReader& reader, const char* readLabel, const char* fileName,
                      ByteOrderMark& mark) {
  if (!reader.readByteOrderMark(mark)) return Outcome::systemError(readLabel, reader.error());
  if (mark == ByteOrderMark::Utf16) {
    return Outcome::failure(readLabel,
                            std::string(fileName) + " is UTF-16 text; save it as ANSI or UTF-8");
  }
  return {};
}

}  // namespace text
