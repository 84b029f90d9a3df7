// In-memory sources and sinks for the unit tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

struct ReadPiece {
  std::string text;
  bool startsLine;
  bool operator==(const ReadPiece&) const = default;
};

// Reads all pieces of input, reading chunk bytes at a time, through a reader of the given block.
std::vector<ReadPiece> readPieces(const std::string& input, std::size_t chunk = 1 << 20,
                                  std::size_t block = 1 << 20);

// The reader's rules applied one byte at a time with nothing clever: the yardstick for the
// reader's fast paths.
std::vector<ReadPiece> referencePieces(const std::string& input);

// What a scan gives: the copy, the reports and the violation count.
struct ScanOutcome {
  std::string output;
  std::string reports;
  std::int64_t violations;
};

// The filter's rules applied to the reference pieces one at a time, with nothing clever: the
// yardstick for the scan, against the GM list as loaded. A broken header's lines are checked as
// an ordinary account's. A file that begins with a UTF-8 byte-order mark is read after it, and
// its copy begins with it; a UTF-16 one gives -1 violations and nothing else.
ScanOutcome referenceScan(const std::string& file, const GmList& gmList);

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
