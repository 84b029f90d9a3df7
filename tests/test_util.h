// In-memory sources and sinks for the unit tests, and ways to drive the product with them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference.h"
#include "roster/gm_list.h"
#include "text/line_reader.h"
#include "text/text_writer.h"

namespace testing_util {

// The platform error codes the in-memory sources and sinks fail with.
extern const sys::ErrorCode kReadError;
extern const sys::ErrorCode kDiskFull;

// Hands out a string in reads of at most chunk bytes; can fail once failAt bytes are read.
class StringSource : public text::ByteSource {
 public:
  explicit StringSource(std::string data, std::size_t chunk = 1 << 20,
                        std::size_t failAt = std::string::npos)
      : data_(std::move(data)), chunk_(chunk), failAt_(failAt) {}
  std::int64_t read(void* buffer, std::size_t size) override;

 private:
  std::string data_;
  std::size_t pos_ = 0;
  std::size_t chunk_;
  std::size_t failAt_;
};

// Collects what is written; refuses writes once more than limit bytes would be held.
class StringSink : public text::ByteSink {
 public:
  explicit StringSink(std::size_t limit = std::string::npos) : limit_(limit) {}
  bool writeAll(const void* data, std::size_t size) override;
  std::string data;
  int writes = 0;

 private:
  std::size_t limit_;
};

// The decoded text of a piece: what it holds once the reader's rules are applied.
std::string decodedText(const text::Piece& piece);

using ReadPiece = reference::Piece;

// The reader's next piece, for a caller that keeps nothing from one piece to the next: the window
// is moved on whenever it is used up. False at the end, and on a read error.
bool nextPiece(text::LineReader& reader, text::Piece& piece);

// Reads all pieces of input, reading chunk bytes at a time, through a reader of the given block.
std::vector<ReadPiece> readPieces(const std::string& input, std::size_t chunk = 1 << 20,
                                  std::size_t block = 1 << 20);

// The GM list that text holds.
GmList gmListOf(const std::string& text);

// Everything written to a stdio stream, for checking reports.
class CapturedFile {
 public:
  CapturedFile();
  ~CapturedFile();
  std::FILE* get() const { return file_; }
  std::string text() const;

 private:
  std::FILE* file_;
  std::string path_;  // of a named file standing in for tmpfile(), removed at the end
};

}  // namespace testing_util
