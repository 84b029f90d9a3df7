#include "sys/text_writer.h"

#include <cstring>

namespace sys {

TextWriter::TextWriter(ByteSink& sink, std::size_t bufferSize)
    : sink_(sink), capacity_(bufferSize < 512 ? 512 : bufferSize), buffer_(new char[capacity_]) {}

void TextWriter::put(const Piece& piece) {
  if (!piece.fileForm) {
    putText(piece.data, piece.size);
    return;
  }
  if (run_ != nullptr && run_ + runSize_ == piece.data) {
    runSize_ += piece.size;
    return;
  }
  releaseBlock();
  if (used_ > 0 && used_ + piece.size <= capacity_) {
    // Text is waiting in the buffer; keep the order by queueing behind it. Once the buffer is
    // full and written, raw runs go out straight from the block again.
    std::memcpy(buffer_.get() + used_, piece.data, piece.size);
    used_ += piece.size;
    return;
  }
  flushBuffer();
  run_ = piece.data;
  runSize_ = piece.size;
}

void TextWriter::putText(const char* data, std::size_t size) {
  releaseBlock();
  // A piece holds at most one line feed, as its last character.
  if (size > 0 && data[size - 1] == '\n') {
    append(data, size - 1);
    append("\r\n", 2);
  } else {
    append(data, size);
  }
}

void TextWriter::releaseBlock() {
  if (runSize_ == 0) {
    run_ = nullptr;
    return;
  }
  flushBuffer();
  write(run_, runSize_);
  run_ = nullptr;
  runSize_ = 0;
}

bool TextWriter::flush() {
  releaseBlock();
  flushBuffer();
  return !failed_;
}

void TextWriter::append(const char* data, std::size_t size) {
  if (used_ + size > capacity_) flushBuffer();
  if (size > capacity_) {
    write(data, size);
    return;
  }
  std::memcpy(buffer_.get() + used_, data, size);
  used_ += size;
}

void TextWriter::flushBuffer() {
  if (used_ == 0) return;
  write(buffer_.get(), used_);
  used_ = 0;
}

void TextWriter::write(const char* data, std::size_t size) {
  if (failed_) return;
  if (!sink_.writeAll(data, size)) {
    failed_ = true;
    error_ = lastError();
  }
}

}  // namespace sys
