#include "filter/scan.h"

#include <cstdio>
#include <string_view>

#include "filter/priv.h"
#include "filter/retry.h"
#include "filter/section.h"
#include "roster/gm_list.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

// The labels of the scan's failures that more than one step reports.
constexpr const char* kAccountRead = "fread(acctFile)";
constexpr const char* kCopyOpen = "fopen(tmpFile)";

// The text of a raw CR LF line (which holds no other CR or LF): everything before them.
std::string_view untilLineEnd(const text::Piece& piece) {
  return {piece.data, piece.size - 2};
}

// The text of a line: the piece up to its first CR or LF, and never past a NUL.
std::string_view lineText(const text::Piece& piece) {
  if (piece.raw) {
    std::string_view text = untilLineEnd(piece);
    return text.substr(0, text.find('\0'));
  }
  std::size_t n = 0;
  while (n < piece.size) {
    char c = piece.data[n];
    if (c == '\r' || c == '\n' || c == '\0') break;
    ++n;
  }
  return {piece.data, n};
}

// Whether text begins with key (lower-case) in any mix of ASCII case.
bool startsWithKey(std::string_view text, std::string_view key) {
  if (text.size() < key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != key[i]) return false;
  }
  return true;
}

// A line the filter leaves out, and why.
struct Violation {
  enum class Kind { None, BrokenHeader, PrivilegeLevel, PrivilegeBits };
  Kind kind = Kind::None;
  std::string_view line;   // a broken header: the line, cut at its line end and at a NUL
  std::uint32_t bits = 0;  // a PRIV line: its value
};

class Scan {
 public:
  Scan(const GmList& gmList, std::FILE* reports) : gmList_(gmList), reports_(reports) {}

  // Whether the line a piece begins is left out; such a line is reported and counted here.
  bool dropsLine(const text::Piece& piece) {
    Violation violation = judge(piece);
    if (violation.kind == Violation::Kind::None) return false;
    report(violation);
    ++violations_;
    return true;
  }

  // Called before the reader moves its window on, where the current header line may still stand.
  void keepHeader() { section_.keepHeader(); }

  std::int64_t violations() const { return violations_; }
  bool sawHeader() const { return sawHeader_; }

 private:
  // What the line a piece begins is, entering a new section at a header.
  Violation judge(const text::Piece& piece) {
    char first = piece.data[0];
    if (first == '[') return enterSection(piece);
    // Most lines are settings the filter has no interest in; one byte tells.
    if ((first | 0x20) != 'p') return {};
    // Up to the line end only: a NUL can match no letter of a key, and ends the value's digits
    // as surely as the end of the text does, so the settings read the same either way.
    std::string_view text = piece.raw ? untilLineEnd(piece) : lineText(piece);
    if (startsWithKey(text, "plevel=")) {
      if (!sectionIsChecked()) return {};
      return {Violation::Kind::PrivilegeLevel, {}, 0};
    }
    if (startsWithKey(text, "priv=")) {
      std::uint32_t bits = parsePrivValue(text.data() + 5, text.size() - 5);
      if (isForbiddenPriv(bits) && sectionIsChecked()) {
        return {Violation::Kind::PrivilegeBits, {}, bits};
      }
    }
    return {};
  }

  // Whether the section's lines are checked: those of an ordinary account, and of a section
  // opened by a broken header, whose lines would otherwise pass as the account's above.
  bool sectionIsChecked() { return section_.state(gmList_) != SectionState::Staff; }

  Violation enterSection(const text::Piece& piece) {
    sawHeader_ = true;
    // A header short enough to be well formed is taken to its line end: a NUL in it stops the
    // search for the name as surely as the end of the text does, and the reports print the header
    // only up to a NUL. Anything else is cut at its NUL first.
    std::string_view text = piece.raw ? untilLineEnd(piece) : lineText(piece);
    if (text.size() > kMaxHeaderLength) text = lineText(piece);
    bool wellFormed = section_.enter(text);
    // A decoded piece is gone at the next one.
    if (!piece.raw) section_.keepHeader();
    if (wellFormed) return {};
    // The section's lines are still checked as an ordinary account's: with their header gone
    // they would otherwise join the account above them, privileges and all.
    return {Violation::Kind::BrokenHeader, lineText(piece), 0};
  }

  // %.*s stops at a NUL: each text is printed up to its first one.
  void report(const Violation& violation) {
    std::string_view header = section_.header();
    switch (violation.kind) {
      case Violation::Kind::BrokenHeader:
        std::fprintf(reports_, "File is BROKEN! (%.*s)\n", static_cast<int>(violation.line.size()),
                     violation.line.data());
        break;
      case Violation::Kind::PrivilegeLevel:
        std::fprintf(reports_, "PLEVEL found. Varmo=%.*s\n", static_cast<int>(header.size()),
                     header.data());
        break;
      case Violation::Kind::PrivilegeBits:
        std::fprintf(reports_, "PRIV %lx found. Varmo=%.*s\n",
                     static_cast<unsigned long>(violation.bits), static_cast<int>(header.size()),
                     header.data());
        break;
      case Violation::Kind::None:
        break;
    }
  }

  const GmList& gmList_;
  std::FILE* reports_;
  CurrentSection section_;
  std::int64_t violations_ = 0;
  bool sawHeader_ = false;
};

// Hands the writer the plain lines the reader had ready, less those the scan drops: the kept
// lines between two dropped ones go out as one run.
void filterPlainLines(const text::PlainLines& lines, Scan& scan, text::TextWriter& output) {
  text::Piece run;
  run.raw = true;
  run.data = lines.base + lines.begin;
  text::Piece line;
  line.raw = true;
  for (std::size_t i = 0; i < lines.toInspectCount; ++i) {
    line.data = lines.base + lines.toInspect[i].start;
    line.size = lines.toInspect[i].end - lines.toInspect[i].start;
    if (!scan.dropsLine(line)) continue;
    run.size = static_cast<std::size_t>(line.data - run.data);
    if (run.size > 0) output.put(run);
    // Once the copy cannot be written, the pass ends without looking further.
    if (output.failed()) return;
    run.data = line.data + line.size;
    // A copy that is to replace the account file gets synced at the end: the disk may as well
    // start on it now.
    output.startWritebackEarly();
  }
  run.size = static_cast<std::size_t>(lines.base + lines.end - run.data);
  if (run.size > 0) output.put(run);
}

// Opens the account file, noting which file it is and its access rights, and creates the
// filtered copy, held by this run, with those rights and room for as much as the account file
// holds.
Outcome openAccountFileAndCopy(const char* accountPath, sys::File& account, FilteredCopy& copy) {
  if (Outcome opened = retryBriefLocks([&] {
        return account.openForReading(accountPath) ? Outcome{}
                                                   : Outcome::lastError("fopen(acctFile)");
      });
      !opened.ok()) {
    return opened;
  }
  sys::AccessRights rights;
  if (!account.accessRights(rights) || !account.identity(copy.original)) {
    return Outcome::lastError("fstat(acctFile)");
  }
  // Making the copy starts by removing the old one; were that the account file itself, its
  // only name would go with it.
  sys::FileIdentity there;
  if (sys::identityOf(kTempFileName, there) && there.isSameFile(copy.original)) {
    return Outcome::failure(kCopyOpen, "..newaccu.scp is the account file itself");
  }
  if (!copy.file.createHeld(kTempFileName)) {
    sys::ErrorCode code = sys::lastError();
    if (sys::isHeldElsewhere(code)) {
      return Outcome::failure(kCopyOpen, "another run is using ..newaccu.scp");
    }
    return Outcome::systemError(kCopyOpen, code);
  }
  // The copy holds the same passwords as the original: readable by the same users, no more.
  if (!copy.file.applyAccessRights(rights)) return Outcome::lastError("fchmod(tmpFile)");
  // Setting the copy's space aside at once spares the file system finding room for it piece by
  // piece.
  std::uint64_t accountSize = 0;
  if (account.size(accountSize)) copy.file.reserveSpace(accountSize);
  return {};
}

// Whether a name on the GM list is a well-formed section header, as no account's name is: then
// the list is an account file, given where the GM list belongs. With the arguments the other way
// round, the account file given, really the GM list, holds no header, every line of it is
// checked as an ordinary account's and found clean, and the run would report a clean server.
bool namesASectionHeader(const GmList& gmList) {
  for (std::size_t i = 0; i < gmList.size(); ++i) {
    std::string_view name = gmList.entry(i).name, account;
    if (name.starts_with('[') && headerAccountName(name, account)) return true;
  }
  return false;
}

// A clean copy is complete once it is closed: closing is where a file system that defers its
// write errors (a network share) reports them. One whose writing cannot be completed is removed,
// while its name still leads to it.
Outcome closeCleanCopy(FilteredCopy& copy) {
  sys::FileIdentity mine;
  bool known = copy.file.identity(mine);
  if (copy.file.close()) return {};
  Outcome unfinished = Outcome::lastError("fclose(tmpFile)");
  sys::FileIdentity there;
  if (known && sys::identityOf(kTempFileName, there) && there.isSameFile(mine)) {
    sys::removeFile(kTempFileName);
  }
  return unfinished;
}

// Ends the copy's writing: the account file closed, the space set aside and not used given back;
// a clean copy closed and left in the working directory, the run's product; a copy that is to
// replace the account file on disk before it does, and still open, and so held, until the run
// ends.
Outcome finishCopy(sys::File& account, FilteredCopy& copy) {
  account.close();
  copy.file.releaseUnusedSpace();
  if (copy.violations == 0) return closeCleanCopy(copy);
  if (!copy.file.sync()) return Outcome::lastError("fsync(tmpFile)");
  return {};
}

}  // namespace

Outcome filterAccounts(text::ByteSource& input, const GmList& gmList, text::TextWriter& output,
                       std::FILE* reports, PassCount& count, std::size_t blockSize) {
  text::LineReader reader(input, blockSize);
  Scan scan(gmList, reports);
  text::ByteOrderMark mark;
  if (Outcome started = text::readFileStart(reader, kAccountRead, "the account file", mark);
      !started.ok()) {
    return started;
  }
  // The copy keeps the file's form: the mark that begins the file begins the copy.
  if (mark == text::ByteOrderMark::Utf8) {
    output.putText(text::kUtf8Mark.data(), text::kUtf8Mark.size());
  }
  text::PlainLines lines;
  text::Piece piece;
  bool dropping = false;
  // Once the copy cannot be written, the pass ends without looking further.
  while (!output.failed()) {
    if (reader.nextPlainLines(lines)) {
      // The common case: many whole lines at once, only those to inspect one by one.
      filterPlainLines(lines, scan, output);
      continue;
    }
    text::LineReader::Status status = reader.next(piece);
    if (status == text::LineReader::Status::End) break;
    if (status == text::LineReader::Status::WindowUsedUp) {
      // What points into the window is done with before it moves on: the lines the writer holds
      // on to go out, the section's header line is copied.
      output.releaseWindow();
      scan.keepHeader();
      if (!reader.moveWindow()) return Outcome::systemError(kAccountRead, reader.error());
      continue;
    }
    // The rest of an overlong line shares the fate of its first piece.
    if (piece.startsLine) {
      dropping = scan.dropsLine(piece);
      if (dropping) output.startWritebackEarly();
    }
    if (!dropping) output.put(piece);
  }
  if (!output.flush()) return Outcome::systemError("fwrite(tmpFile)", output.error());
  count = {scan.violations(), scan.sawHeader()};
  return {};
}

Outcome scanAccountFile(const char* accountPath, const GmList& gmList, FilteredCopy& copy) {
  sys::File account;
  Outcome scanned = openAccountFileAndCopy(accountPath, account, copy);
  if (scanned.ok()) {
    text::FileSource source(account, text::FileSource::Access::MapWhenLarge);
    text::FileSink sink(copy.file);
    text::TextWriter writer(sink);
    PassCount count;
    scanned = filterAccounts(source, gmList, writer, stdout, count);
    copy.violations = count.violations;
    if (scanned.ok() && !count.sawHeader && namesASectionHeader(gmList)) {
      scanned = Outcome::failure(kGmListRead,
                                 "the GM list holds account sections; are the arguments swapped?");
    }
  }
  if (scanned.ok()) scanned = finishCopy(account, copy);
  // An incomplete copy is worth nothing and must not be mistaken for a filtered file.
  if (!scanned.ok() && copy.file.isOpen()) {
    copy.file.discard();
    copy.file.close();
  }
  return scanned;
}
