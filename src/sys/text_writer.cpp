#include "sys/text_writer.h"

#include <cstring>

namespace sys {

TextWriter::TextWriter(ByteSink& sink, std::size_t bufferSize)
    : sink_(sink), capacity_(bufferSize < 512 ? 512 : bufferSize), buffer_(new char[capacity_]) {}

void TextWriter::put(const Piece& piece) {
  if (piece.fileForm) {
    addSpan(piece.data, piece.size);
  } else {
    putText(piece.data, piece.size);
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

void TextWriter::releaseBlock() {
  writeSpans();
}

bool TextWriter::flush() {
  writeSpans();
  return !failed_;
}

// Pieces that follow each other in the reader's block, or in the buffer, make one span.
void TextWriter::addSpan(const char* data, std::size_t size) {
  if (spanCount_ > 0) {
    WriteSpan& last = spans_[spanCount_ - 1];
    if (last.data + last.size == data) {
      last.size += size;
      return;
    }
  }
  if (spanCount_ == File::kMaxWriteSpans) writeSpans();
  spans_[spanCount_++] = {data, size};
}

void TextWriter::append(const char* data, std::size_t size) {
  while (size > 0) {
    // Writing the spans empties the buffer, so it must not happen between the copy and its span.
    if (used_ == capacity_ || spanCount_ == File::kMaxWriteSpans) writeSpans();
    std::size_t n = size < capacity_ - used_ ? size : capacity_ - used_;
    std::memcpy(buffer_.get() + used_, data, n);
    addSpan(buffer_.get() + used_, n);
    used_ += n;
    data += n;
    size -= n;
  }
}

void TextWriter::writeSpans() {
  if (spanCount_ > 0 && !failed_) {
    if (!sink_.writeSpans(spans_, spanCount_)) {
      failed_ = true;
      error_ = lastError();
    } else if (writebackEarly_) {
      sink_.startWriteback();
    }
  }
  spanCount_ = 0;
  used_ = 0;
}

}  // namespace sys
