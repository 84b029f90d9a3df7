#include "filter/scan.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "filter/priv.h"
#include "filter/retry.h"
#include "filter/section.h"
#include "filter/setting.h"
#include "roster/gm_list.h"
#include "sys/platform.h"
#include "sys/report.h"

// judge() runs for every header and privilege line, judgeSetting() for the rare others: the one
// belongs in its callers' loops, the other out of them.
#if defined(_MSC_VER) && !defined(__clang__)
#define QUELM_INLINE __forceinline
#define QUELM_NOINLINE __declspec(noinline)
#else
#define QUELM_INLINE inline __attribute__((always_inline))
#define QUELM_NOINLINE __attribute__((noinline))
#endif

namespace {

// The labels of the scan's failures that more than one step reports.
constexpr const char* kAccountRead = "fread(acctFile)";
constexpr const char* kCopyOpen = "fopen(tmpFile)";

// The bytes of a line that the server reads as its text: up to its line feed (a raw line's CR
// LF), any other CR included. A NUL ends the text for the server; whoever looks at a setting ends
// it there, and a header is read as it always has been.
std::string_view serverText(std::string_view line) {
  if (line.ends_with(text::kLF)) line.remove_suffix(1);
  return line;
}

std::string_view serverText(const text::Piece& piece) {
  std::string_view line(piece.data, piece.size);
  if (piece.raw) line.remove_suffix(2);
  return serverText(line);
}

// Whether the letters at text's start, folded to lower case, are key's (lower-case letters and
// then "="): for letters, setting the 0x20 bit is the folding.
bool startsWithKey(std::string_view text, std::string_view key) {
  if (text.size() < key.size()) return false;
  for (std::size_t i = 0; i + 1 < key.size(); ++i) {
    if ((text[i] | 0x20) != key[i]) return false;
  }
  return text[key.size() - 1] == '=';
}

// The value of a PRIV setting as the server writes it, 0 and at most 7 hexadecimal digits to the
// line's end, which the server reads as the filter does, into bits; false for any other value.
bool readServersOwnPriv(const char* value, std::size_t size, std::uint32_t& bits) {
  if (size == 0 || size > 8 || value[0] != '0') return false;
  bits = 0;
  for (std::size_t i = 1; i < size; ++i) {
    unsigned c = static_cast<unsigned char>(value[i]);
    unsigned digit = c - '0';
    if (digit > 9) {
      digit = (c | 0x20) - 'a' + 10;
      if (digit < 10 || digit > 15) return false;
    }
    bits = bits * 16 + digit;
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

// The judge of every line that needs a look, in order: which section it is in, which lines go.
// A line goes when it is a broken header, or a privilege line the server would honour in a section
// whose lines are checked; and so does every line of a section whose header went, up to the next
// line that begins with "[", which would otherwise join the account above it.
class Scan {
 public:
  Scan(const GmList& gmList, std::FILE* reports) : gmList_(gmList), reports_(reports) {}

  // Whether a line that came as one piece is left out; such a line is reported and counted here.
  bool dropsLine(const text::Piece& piece) { return dropsText(serverText(piece), piece.raw); }

  // The same for a line of any length (its text as decoded, its line feed included if it has one),
  // which stands in no window. The server reads a line of more than kServerLineBytes bytes of the
  // copy as several, each of them a line of its own: the line goes whole if any of them would, and
  // is reported once, as the first of them.
  bool dropsLongLine(std::string_view line) {
    bool lineFeed = line.ends_with(text::kLF);
    std::size_t copyBytes = line.size() + (lineFeed ? 1 : 0);
    std::string_view textPart = line.substr(0, line.size() - (lineFeed ? 1 : 0));
    if (copyBytes <= text::kServerLineBytes) return dropsText(textPart, false);
    bool reported = false;
    enteredSection_ = false;
    // The parts, at offsets of the copy, which are those of the text: only the last LF grows.
    for (std::size_t at = 0; at < textPart.size(); at += text::kServerLineBytes) {
      std::string_view part = serverText(textPart.substr(at, text::kServerLineBytes));
      Violation violation = judge(part, false);
      if (part.starts_with('[') && (at == 0 || violation.kind == Violation::Kind::BrokenHeader)) {
        removing_ = violation.kind == Violation::Kind::BrokenHeader;
      }
      if (!reported && violation.kind != Violation::Kind::None) {
        report(violation);
        ++violations_;
        reported = true;
      }
    }
    if (!reported) return removing_;
    // The sections its parts opened go with it.
    if (enteredSection_) removing_ = true;
    section_.checkFromHere();
    return true;
  }

  // Whether the lines up to the next one that needs a look are left out: those of a section whose
  // header went.
  bool removingSection() const { return removing_; }

  // Called before the reader moves its window on, where the current header line may still stand.
  void keepHeader() { section_.keepHeader(); }

  std::int64_t violations() const { return violations_; }
  bool sawHeader() const { return sawHeader_; }

 private:
  // Whether a line the server reads as one, given its text, is left out.
  bool dropsText(std::string_view line, bool raw) {
    return settle(judge(line, raw), line.starts_with('['));
  }

  // A line's fate once judged: one that opens a section ends a removed one or begins it.
  bool settle(const Violation& violation, bool opensSection) {
    if (opensSection) removing_ = violation.kind == Violation::Kind::BrokenHeader;
    if (violation.kind == Violation::Kind::None) return removing_;
    report(violation);
    ++violations_;
    return true;
  }

  // What a line's server text is, entering a new section at a header. A raw line stays where it is
  // until keepHeader(), and holds no CR.
  QUELM_INLINE Violation judge(std::string_view line, bool raw) {
    if (line.empty()) return {};
    char first = line[0];
    if (first == '[') return enterSection(line, raw);
    // Most lines are settings the filter has no interest in; one byte tells.
    if ((first | 0x20) != 'p' && !text::isServerSpace(first)) return {};
    // The forms the server itself writes, PLEVEL=name and PRIV=0 and hexadecimal digits, are read
    // at once.
    std::uint32_t bits = 0;
    if (startsWithKey(line, "priv=") &&
        readServersOwnPriv(line.data() + 5, line.size() - 5, bits)) {
      if (isForbiddenPriv(bits) && sectionIsChecked()) {
        return {Violation::Kind::PrivilegeBits, {}, bits};
      }
      return {};
    }
    if (startsWithKey(line, "plevel=")) {
      if (sectionIsChecked()) return {Violation::Kind::PrivilegeLevel, {}, 0};
      return {};
    }
    return judgeSetting(line.substr(0, line.find('\0')), raw);
  }

  // The rest, rare in a file the server wrote: white space first, another separator, another
  // form of value.
  QUELM_NOINLINE Violation judgeSetting(std::string_view line, bool raw) {
    Setting setting = readSetting(line);
    switch (setting.kind) {
      case SettingKind::Other:
        break;
      case SettingKind::IndentedHeader:
        enteredSection_ = true;
        section_.enterIndented(setting.text);
        if (!raw) section_.keepHeader();
        break;
      case SettingKind::PrivilegeLevel:
        if (sectionIsChecked()) return {Violation::Kind::PrivilegeLevel, {}, 0};
        break;
      case SettingKind::PrivilegeBits: {
        std::uint32_t bits = 0;
        std::size_t offset = static_cast<std::size_t>(setting.text.data() - line.data());
        if (privLineGoes(setting.text, setting.plainKey, offset, bits) && sectionIsChecked()) {
          return {Violation::Kind::PrivilegeBits, {}, bits};
        }
        break;
      }
    }
    return {};
  }

  // Whether the section's lines are checked: those of an ordinary account, and of a section
  // opened by a broken header, whose lines would otherwise pass as the account's above.
  // Asked only of a line that would go: out of line, the look-up leaves judge() small.
  QUELM_NOINLINE bool sectionIsChecked() { return section_.state(gmList_) != SectionState::Staff; }

  Violation enterSection(std::string_view line, bool raw) {
    sawHeader_ = true;
    enteredSection_ = true;
    // A header is read as it always has been: up to its first CR. One short enough to be well
    // formed is taken so: a NUL in it stops the search for the name as surely as the end of the
    // text does, and the reports print the header only up to a NUL. Anything else is cut at its
    // NUL first.
    std::string_view header = raw ? line : line.substr(0, line.find(text::kCR));
    if (header.size() > kMaxHeaderLength) header = header.substr(0, header.find('\0'));
    bool wellFormed = section_.enter(header);
    if (!raw) section_.keepHeader();
    if (wellFormed) return {};
    // The section's lines are still checked as an ordinary account's, and reported.
    return {Violation::Kind::BrokenHeader, header.substr(0, text::kMaxPieceChars), 0};
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
  bool enteredSection_ = false;  // since dropsLongLine began
  bool removing_ = false;        // in a section whose header went
};

// Hands the writer the plain lines the reader had ready, less those the scan drops: the kept
// lines between two dropped ones go out as one run, and none of those in a section whose header
// went.
void filterPlainLines(const text::PlainLines& lines, Scan& scan, text::TextWriter& output) {
  text::Piece run;
  run.raw = true;
  run.data = lines.base + lines.begin;
  text::Piece line;
  line.raw = true;
  for (std::size_t i = 0; i < lines.toInspectCount; ++i) {
    line.data = lines.base + lines.toInspect[i].start;
    line.size = lines.toInspect[i].end - lines.toInspect[i].start;
    // The lines since the last look are in the section the last look found.
    if (scan.removingSection()) run.data = line.data;
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
  if (scan.removingSection()) return;
  run.size = static_cast<std::size_t>(lines.base + lines.end - run.data);
  if (run.size > 0) output.put(run);
}

// A line that comes in several pieces, or that ends the file without a line feed, gathered whole
// before it is judged: the server reads it whole, up to kServerLineBytes bytes at a time.
class LongLine {
 public:
  bool open() const { return !text_.empty(); }
  // Adds a piece; true once the line is complete.
  bool add(const text::Piece& piece) {
    // A raw piece holds the CR of its CR LF, which the writer adds again.
    std::size_t size = piece.raw ? piece.size - 2 : piece.size;
    text_.append(piece.data, size);
    if (piece.raw) text_ += text::kLF;
    return text_.back() == text::kLF;
  }
  // Judges the line, writes it unless it goes, and makes room for the next.
  void finish(Scan& scan, text::TextWriter& output) {
    if (scan.dropsLongLine(text_)) {
      output.startWritebackEarly();
    } else {
      output.putText(text_.data(), text_.size());
    }
    text_.clear();
  }

 private:
  std::string text_;
};

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
  LongLine longLine;
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
    bool whole = piece.startsLine && piece.data[piece.size - 1] == text::kLF;
    if (whole) {
      if (scan.dropsLine(piece)) {
        output.startWritebackEarly();
      } else {
        output.put(piece);
      }
    } else if (longLine.add(piece)) {
      longLine.finish(scan, output);
    }
  }
  if (longLine.open() && !output.failed()) longLine.finish(scan, output);
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
