// Reads a text file the way the tool's files have always been read: in pieces of at most 254
// characters, with its carriage-return rule, so that every platform sees the same pieces.
//
// The rules, byte by byte:
//  - A carriage return (0x0D) is dropped and the byte after it is taken instead, whatever it is:
//    CR LF reads as LF, a lone CR vanishes, CR CR reads as one CR, a final CR is lost.
//  - A 0x1A byte is dropped wherever it stands (also right after a CR), and the reading goes on
//    afresh after it. Only the real end of the file ends the reading.
//  - A piece ends after a line feed, which it keeps, after 254 characters, or at the end of the
//    file. A longer line therefore arrives as several pieces; only the first begins the line.
// A NUL byte is an ordinary byte here; the consumers end their texts at it.
//
// For speed the reader hands out pieces straight from its block buffer where it can. A line that
// ends in CR LF and holds no other CR or 0x1A is handed out as its raw bytes, CR included: those
// are exactly the bytes the text writer would produce for it, and cutting its text at the first CR
// or LF gives the same text as for the decoded piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "sys/platform.h"

namespace sys {

// Where the reader's bytes come from: a file, or memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to size bytes: the count, 0 at the end, -1 on failure (with lastError() set).
  virtual std::int64_t read(void* buffer, std::size_t size) = 0;
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(File& file) : file_(file) {}
  std::int64_t read(void* buffer, std::size_t size) override { return file_.read(buffer, size); }

 private:
  File& file_;
};

// The longest piece, in characters.
inline constexpr std::size_t kMaxPieceChars = 254;

struct Piece {
  const char* data = nullptr;
  std::size_t size = 0;
  // False for the second and later pieces of a line longer than 254 characters.
  bool startsLine = true;
  // True when data already is what the text writer would write for the piece (a CR LF line
  // handed out raw); false when data is decoded text whose final line feed still needs its CR.
  bool fileForm = false;
};

class LineReader {
 public:
  enum class Status { Piece, End, Error };

  explicit LineReader(ByteSource& source, std::size_t blockSize = std::size_t{1} << 20);

  // Produces the next piece. Its data stays valid until the next call.
  Status next(Piece& piece);

  // The reason for Status::Error.
  ErrorCode error() const { return error_; }

  // Called before the block buffer is reused, so that whoever still points into it (the text
  // writer, holding on to a run of raw lines) can finish with it first.
  void onBufferReuse(std::function<void()> callback) { onReuse_ = std::move(callback); }

 private:
  bool fill();
  bool decodeSlowly(Piece& piece);

  ByteSource& source_;
  std::size_t capacity_;
  std::unique_ptr<char[]> block_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool atLineStart_ = true;
  ErrorCode error_ = 0;
  char piece_[kMaxPieceChars + 2] = {};
  std::function<void()> onReuse_;
};

// The index of the first LF, CR or 0x1A among the first n bytes at p, or n if none. May read up
// to 15 bytes past p + n.
std::size_t findLineSpecial(const char* p, std::size_t n);

}  // namespace sys
