// Reads a text file the way the tool's files have always been read (rules.h, "Reading"): in pieces
// of at most 254 characters, with its carriage-return and 0x1A rules, so that every platform sees
// the same pieces.
//
// For speed the reader hands out pieces straight from its window where it can: its block, or a
// view of the file. A plain line (at most 253 characters, then CR LF, no other CR and no 0x1A) is
// handed out raw: as its own bytes, CR included, which are exactly the bytes the text writer
// would produce for it, and whose text cut at the first CR or LF is the decoded piece's. Runs of
// plain lines go out whole, with the few among them that the filter must inspect listed
// (classify.h).
//
// The window is the reader's alone, and it never moves it on by itself: when what it holds is
// used up, next() says so (Status::WindowUsedUp), and the caller moves it with moveWindow() once
// nothing of its own points into it any more. Everything handed out from the window stays valid
// until then, and not a moment longer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "sys/platform.h"
#include "sys/report.h"
#include "text/classify.h"
#include "text/rules.h"

namespace text {

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
  // How the file's bytes reach the reader: read into its block, or, for a large regular file,
  // shown through a memory mapping (sys::File::view), which spares copying them.
  enum class Access { Read, MapWhenLarge };
  explicit FileSource(sys::File& file, Access access = Access::Read)
      : file_(file), access_(access) {}
  std::int64_t read(void* buffer, std::size_t size) override { return file_.read(buffer, size); }
  std::int64_t view(std::uint64_t offset, std::size_t want, const char*& data,
                    bool& last) override {
    if (access_ == Access::Read) return kCannotView;
    return file_.view(offset, want, data, last);
  }

 private:
  sys::File& file_;
  Access access_;
};

// A piece of a line. Raw, its bytes stand in the reader's window, until the window moves on;
// decoded, in the reader's own buffer, until the next piece.
struct Piece {
  const char* data = nullptr;
  std::size_t size = 0;
  // False for the second and later pieces of a line longer than 254 characters.
  bool startsLine = true;
  // True for a plain line handed out raw: data is already what the text writer writes for it.
  // False for decoded text, whose final line feed still needs its CR.
  bool raw = false;
};

// Whole plain lines straight from the reader's window, each one raw piece: the bytes from
// base + begin to base + end, which stay there until the window moves on. The toInspectCount lines
// listed in toInspect (offsets from base, each up to the end of its LF) are those that begin with
// "[", "pl" or "pr" in some case; every other line passes without a look.
struct PlainLines {
  const char* base = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
  const LineToInspect* toInspect = nullptr;
  std::size_t toInspectCount = 0;
};

// The byte-order marks a text file may begin with. Notepad saves "UTF-8 with BOM" beginning with
// EF BB BF; Windows PowerShell 5.1 writes UTF-16 beginning with FF FE, and FE FF begins UTF-16
// in the other byte order.
enum class ByteOrderMark { None, Utf8, Utf16 };
inline constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

class LineReader {
 public:
  // What next() found: a piece, the end of the window (moveWindow() goes on), the end of the file.
  enum class Status { Piece, WindowUsedUp, End };

  explicit LineReader(ByteSource& source, std::size_t blockSize = std::size_t{1} << 20);

  // Reads the mark the file begins with, before the first piece. A UTF-8 mark is passed over:
  // the pieces begin after it, as if the file did. Any other bytes stay to be read (a UTF-16 file
  // is not one to read as text at all). False on a read error.
  bool readByteOrderMark(ByteOrderMark& mark);

  // Produces the next piece, or tells that the window is used up: too little of the file is in
  // hand for the next piece, or, for a view of the file, the end is reached and the view is
  // still held. A piece that the window's end cuts short waits in the reader for the rest.
  Status next(Piece& piece);

  // Hands out at once the plain lines from the reading position on, up to the first line that
  // needs decoding, classifying the next stretch of what is in hand first when need be. False
  // when no such line stands there (a line that needs decoding, the rest of a long line, too
  // little in hand); next() then goes on.
  bool nextPlainLines(PlainLines& lines);

  // Moves the window on through the file, reading into the block or viewing the next stretch;
  // every raw piece and run of lines handed out so far is gone. At the end of a viewed file it
  // lets go of the view, which is when a file that shrank while it was viewed is found out. False
  // on a read error.
  bool moveWindow();

  // The reason moveWindow() failed.
  sys::ErrorCode error() const { return error_; }

 private:
  // Whether the window shows a view of the file that is still held, at its end or not.
  bool holdsView() const { return viewing_ && end_ != 0; }
  void handOut(Piece& piece, const char* data, std::size_t size, bool raw);
  Status decodePiece(Piece& piece);
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
  sys::ErrorCode error_ = 0;
  // The piece being decoded, as far as it has come: decoding_ while one is under way (the window's
  // end may hold it up), afterCR_ when the last byte taken was a carriage return, whose next byte
  // belongs to the piece whatever it is.
  char piece_[kMaxPieceChars + 2] = {};
  std::size_t decoded_ = 0;
  bool afterCR_ = false;
  bool decoding_ = false;
  // For nextPlainLines: the lines from pos_ up to inspectedEnd_ are classified, and those to
  // inspect are listed in toInspect_ (offsets from inspectedBase_, where the stretch began),
  // nextToInspect_ being the first not handed out.
  static constexpr std::size_t kInspectRoom = 4096;
  std::size_t inspectRoom_ = kInspectRoom;
  std::unique_ptr<LineToInspect[]> toInspect_;
  std::size_t toInspectCount_ = 0;
  std::size_t nextToInspect_ = 0;
  std::size_t inspectedBase_ = 0;
  std::size_t inspectedEnd_ = 0;
};

// How the tool starts reading either of its files: reads the byte-order mark (a UTF-8 one is
// passed over) and refuses a file in UTF-16, whose text the byte rules would misread, with
// "readLabel: fileName is UTF-16 text; save it as ANSI or UTF-8".
Outcome readFileStart(LineReader& reader, const char* readLabel, const char* fileName,
                      ByteOrderMark& mark);

}  // namespace text
