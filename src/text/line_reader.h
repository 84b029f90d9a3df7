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
#include <vector>

#include "sys/platform.h"

namespace sys {

// Where the reader's bytes come from: a file, or memory in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to size bytes: the count, 0 at the end, -1 on failure (with lastError() set).
  virtual std::int64_t read(void* buffer, std::size_t size) = 0;

  // Shows the bytes from offset on without copying them: at least want of them unless the end
  // comes first, valid until the next call. Returns the count (last tells whether they reach the
  // end), -1 on failure, or kCannotView for a source that can only be read.
  static constexpr std::int64_t kCannotView = -2;
  virtual std::int64_t view(std::uint64_t offset, std::size_t want, const char*& data, bool& last) {
    (void)offset, (void)want, (void)data, (void)last;
    return kCannotView;
  }
};

class FileSource : public ByteSource {
 public:
  // With readLabel, a large regular file is shown through a memory mapping; should the file
  // shrink meanwhile, the process reports "readLabel: ..." and ends with status 2.
  explicit FileSource(File& file, const char* readLabel = nullptr)
      : file_(file), readLabel_(readLabel) {}
  std::int64_t read(void* buffer, std::size_t size) override { return file_.read(buffer, size); }
  std::int64_t view(std::uint64_t offset, std::size_t want, const char*& data,
                    bool& last) override {
    if (readLabel_ == nullptr) return kCannotView;
    return file_.view(offset, want, data, last, readLabel_);
  }

 private:
  File& file_;
  const char* readLabel_;
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

// A line that is not quiet (see quietRunLength): where it starts and, for a plain CR LF line of
// at most 253 characters, where it ends (after its LF); 0 for any other.
struct LoudLine {
  std::uint32_t start;
  std::uint32_t end;
};

// Whole plain CR LF lines (each at most 253 characters, CR, LF, so each one piece in file form)
// straight from the reader's window: the bytes from base + begin to base + end. The lookCount
// lines listed in looks (offsets from base, each up to the end of its LF) are those that begin
// with "[", "pl" or "pr" in some case; no other line needs a look.
struct PlainLines {
  const char* base = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
  const LoudLine* looks = nullptr;
  std::size_t lookCount = 0;
};

class LineReader {
 public:
  enum class Status { Piece, End, Error };

  explicit LineReader(ByteSource& source, std::size_t blockSize = std::size_t{1} << 20);

  // Produces the next piece. Its data stays valid until the next call.
  Status next(Piece& piece);

  // Hands out at once the plain CR LF lines from the reading position on, up to the first line
  // that needs decoding, classifying the next stretch of what is in hand first when need be.
  // False when no such line stands there (a line that needs decoding, the rest of a long line,
  // too little in hand); next() then goes on. Valid until the next call of either.
  bool nextPlainLines(PlainLines& lines);

  // The reason for Status::Error.
  ErrorCode error() const { return error_; }

  // Called before the block buffer is reused, so that whoever still points into it (the text
  // writer, holding on to a run of raw lines) can finish with it first.
  void onBufferReuse(std::function<void()> callback) { onReuse_ = std::move(callback); }

 private:
  bool fill();
  bool decodeSlowly(Piece& piece);
  void classifyLines();

  ByteSource& source_;
  bool viewing_ = true;       // until the source says it cannot show its bytes
  std::uint64_t offset_ = 0;  // of data_[0] in the source, while viewing
  std::size_t capacity_;
  std::unique_ptr<char[]> block_;
  const char* data_ = nullptr;  // the window: the source's view, or block_
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool atLineStart_ = true;
  ErrorCode error_ = 0;
  char piece_[kMaxPieceChars + 2] = {};
  // For nextPlainLines: the lines from pos_ up to loudEnd_ are classified, and those that are
  // not quiet are listed in loud_ (offsets from loudBase_, where the stretch began), nextLoud_
  // being the first not passed.
  static constexpr std::size_t kLoudRoom = 4096;
  std::unique_ptr<LoudLine[]> loud_;
  std::size_t loudCount_ = 0;
  std::size_t nextLoud_ = 0;
  std::size_t loudBase_ = 0;
  std::size_t loudEnd_ = 0;
  std::function<void()> onReuse_;
};

// The index of the first LF, CR or 0x1A among the first n bytes at p, or n if none.
std::size_t findLineSpecial(const char* p, std::size_t n);

// The length of the longest run of whole lines at the start of the n bytes at p (which begin a
// line) that are each at most 253 characters and CR LF, hold no other CR or 0x1A, and begin with
// neither "[" nor "pl" or "pr" in any case. Only whole 64-byte blocks are looked at, so the run may
// stop short of the last such line.
std::size_t quietRunLength(const char* p, std::size_t n);

// A version of the line classification: lists the lines that are not quiet in the sense above
// among those that start in the n bytes at p (which begin a line): their offsets and, for plain
// CR LF lines, their ends, in order, at most room of them, with their number in count. Returns the
// offset up to which every line start is classified, a line start; once the room is taken, the
// offset of the first loud line left out. Whole 64-byte blocks only, as above.
using FindLoudLinesFunction = std::size_t (*)(const char* p, std::size_t n, LoudLine* loud,
                                              std::size_t room, std::size_t& count);

// Every version that this processor can run, the fastest first and the one without vector
// instructions last: the reader uses the first, the tests hold them all to the same definition.
std::vector<FindLoudLinesFunction> findLoudLinesVersions();

}  // namespace sys
