#include "text/text_writer.h"

#include <algorithm>
#include <cstring>

namespace text {

TextWriter::TextWriter(ByteSink& sink, std::size_t bufferSize)
    : sink_(sink), capacity_(bufferSize < 512 ? 512 : bufferSize), buffer_(new char[capacity_]) {}

void TextWriter::put(const Piece& piece) {
  if (!piece.raw) {
    putText(piece.data, piece.size);
    return;
  }
  const char* data = piece.data;
  std::size_t size = piece.size;
  while (size > 0) {
    std::size_t n = std::min(size, roomInChunk());
    addSpan(data, n);
    data += n;
    size -= n;
  }
}

void TextWriter::putText(const char* data, std::size_t size) {
  // A piece holds at most one line feed, as its last character.
  if (size > 0 && data[size - 1] == '\n') {
    append(data, size - 1);
    append("\r\n", 2);
  } else {
    append(data, size);
  }
}

void TextWriter::releaseWindow() {
  writeSpans();
}

bool TextWriter::flush() {
  writeSpans();
  return !failed_;
}

std::size_t TextWriter::roomInChunk() const {
  return kChunk - (written_ + pending_) % kChunk;
}

// Pieces that follow each other in the reader's window, or in the buffer, make one span. The
// bytes never reach past the end of the current chunk, and a full chunk is written at once.
void TextWriter::addSpan(const char* data, std::size_t size) {
  if (spanCount_ > 0 && spans_[spanCount_ - 1].data + spans_[spanCount_ - 1].size == data) {
    spans_[spanCount_ - 1].size += size;
  } else {
    if (spanCount_ == sys::File::kMaxWriteSpans) writeSpans();
    spans_[spanCount_++] = {data, size};
  }
  pending_ += size;
  if (roomInChunk() == kChunk) writeSpans();
}

void TextWriter::append(const char* data, std::size_t size) {
  while (size > 0) {
    // Writing the spans empties the buffer, so it must not happen between the copy and its span.
    if (used_ == capacity_ || spanCount_ == sys::File::kMaxWriteSpans) writeSpans();
    std::size_t n = std::min({size, capacity_ - used_, roomInChunk()});
    char* at = buffer_.get() + used_;
    std::memcpy(at, data, n);
    used_ += n;
    addSpan(at, n);
    data += n;
    size -= n;
  }
}

void TextWriter::writeSpans() {
  if (spanCount_ > 0 && !failed_) {
    if (!sink_.writeSpans(spans_, spanCount_)) {
      failed_ = true;
      error_ = sys::lastError();
    } else if (writebackEarly_ &&
               (written_ + pending_) / kWritebackEvery != written_ / kWritebackEvery) {
      sink_.startWriteback();
    }
  }
  written_ += pending_;
  pending_ = 0;
  spanCount_ = 0;
  used_ = 0;
}

}  // namespace text
