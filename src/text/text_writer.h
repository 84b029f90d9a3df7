// Writes a file as text in the tool's one fixed form: each line feed becomes a carriage return
// and line feed, every other byte (a lone CR and 0x1A included) is written unchanged. The same
// bytes come out on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sys/platform.h"
#include "text/line_reader.h"

namespace text {

// Where the writer's bytes go: a file, or memory in tests.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all bytes or fails with lastError() set.
  virtual bool writeAll(const void* data, std::size_t size) = 0;
  // Writes the spans in order, at most File::kMaxWriteSpans of them, or fails likewise.
  virtual bool writeSpans(const sys::WriteSpan* spans, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!writeAll(spans[i].data, spans[i].size)) return false;
    }
    return true;
  }
  // See File::startWriteback.
  virtual void startWriteback() {}
};

class FileSink : public ByteSink {
 public:
  explicit FileSink(sys::File& file) : file_(file) {}
  bool writeAll(const void* data, std::size_t size) override { return file_.writeAll(data, size); }
  bool writeSpans(const sys::WriteSpan* spans, std::size_t count) override {
    return file_.writeSpans(spans, count);
  }
  void startWriteback() override { file_.startWriteback(); }

 private:
  sys::File& file_;
};

class TextWriter {
 public:
  explicit TextWriter(ByteSink& sink, std::size_t bufferSize = std::size_t{256} << 10);

  // Writes one piece from the line reader. Raw pieces are not copied: the writer remembers
  // where they stand in the reader's window and writes them from there, many in one call, until
  // releaseWindow() (which must come before the reader moves its window on).
  void put(const Piece& piece);

  // Writes decoded text: a line feed at its end goes out as CR LF.
  void putText(const char* data, std::size_t size);

  // Writes everything remembered; afterwards the writer holds no pointer into the reader's
  // window.
  void releaseWindow();

  // From now on, asks the system every 2 MiB or so to start putting what is written on the
  // disk, for a file that will be synced at the end anyway.
  void startWritebackEarly() { writebackEarly_ = true; }

  // Writes everything still held. The result, like failed(), says whether every byte so far
  // reached the file.
  bool flush();

  bool failed() const { return failed_; }
  sys::ErrorCode error() const { return error_; }

  // The file is written in chunks of at most this size, none reaching past an offset that is a
  // multiple of it: Linux holds the data of a file being written in pieces of memory sized and
  // aligned by the writes, and this size measured fastest (doc/changelog). The bytes written are
  // the same whatever the chunk.
  static constexpr std::size_t kChunk = std::size_t{128} << 10;

 private:
  // With early writeback, how many bytes are written between two requests to start it.
  static constexpr std::uint64_t kWritebackEvery = std::uint64_t{2} << 20;

  std::size_t roomInChunk() const;
  void addSpan(const char* data, std::size_t size);
  void append(const char* data, std::size_t size);
  void writeSpans();

  ByteSink& sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;  // decoded text; only appended to until the spans are written
  std::size_t used_ = 0;
  sys::WriteSpan spans_[sys::File::kMaxWriteSpans];  // what is to be written, in order
  std::size_t spanCount_ = 0;
  std::size_t pending_ = 0;    // bytes in the spans
  std::uint64_t written_ = 0;  // bytes written before them: the offset in the file
  bool writebackEarly_ = false;
  bool failed_ = false;
  sys::ErrorCode error_ = 0;
};

}  // namespace text
