// Writes a file as text in the tool's one fixed form: each line feed becomes a carriage return
// and line feed, every other byte (a lone CR and 0x1A included) is written unchanged. The same
// bytes come out on every platform.
#pragma once

#include <cstddef>
#include <memory>

#include "sys/line_reader.h"
#include "sys/platform.h"

namespace sys {

// Where the writer's bytes go: a file, or memory in tests.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all bytes or fails with lastError() set.
  virtual bool writeAll(const void* data, std::size_t size) = 0;
};

class FileSink : public ByteSink {
 public:
  explicit FileSink(File& file) : file_(file) {}
  bool writeAll(const void* data, std::size_t size) override { return file_.writeAll(data, size); }

 private:
  File& file_;
};

class TextWriter {
 public:
  explicit TextWriter(ByteSink& sink, std::size_t bufferSize = std::size_t{256} << 10);

  // Writes one piece from the line reader. Consecutive raw pieces are not copied: the writer
  // remembers the run they form in the reader's block and writes it straight from there, so the
  // reader must call releaseBlock() before it reuses that block.
  void put(const Piece& piece);

  // Writes decoded text: a line feed at its end goes out as CR LF.
  void putText(const char* data, std::size_t size);

  // Writes the remembered run of raw pieces; afterwards the writer holds no pointer into the
  // reader's block.
  void releaseBlock();

  // Writes everything still held. The result, like failed(), says whether every byte so far
  // reached the file.
  bool flush();

  bool failed() const { return failed_; }
  ErrorCode error() const { return error_; }

 private:
  void append(const char* data, std::size_t size);
  void flushBuffer();
  void write(const char* data, std::size_t size);

  ByteSink& sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  const char* run_ = nullptr;  // raw pieces not yet written, in the reader's block
  std::size_t runSize_ = 0;
  bool failed_ = false;
  ErrorCode error_ = 0;
};

}  // namespace sys
