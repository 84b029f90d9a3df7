#include "filter/scan.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "filter/priv.h"
#include "filter/retry.h"
#include "filter/section.h"
#include "roster/gm_list.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

// The text of a raw CR LF line (which holds no other CR or LF): everything before them.
std::string_view untilLineEnd(const text::Piece& piece) {
  return {piece.data, piece.size - 2};
}

// The text of a line: the piece up to its first CR or LF, and never past a NUL.
std::string_view lineText(const text::Piece& piece) {
  if (piece.fileForm) {
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

class Scan {
 public:
  explicit Scan(std::FILE* reports) : reports_(reports) {}

  // Looks at the line a piece begins; true if the line is to be left out.
  bool dropsLine(const text::Piece& piece) {
    char first = piece.data[0];
    if (first == '[') return enterSection(piece);
    // Most lines are settings the filter has no interest in; one byte tells.
    if (state_ == SectionState::Staff || (first | 0x20) != 'p') return false;
    // Up to the line end only: a NUL can match no letter of a key, and ends the value's digits
    // as surely as the end of the text does, so the settings read the same either way.
    std::string_view text = piece.fileForm ? untilLineEnd(piece) : lineText(piece);
    if (startsWithKey(text, "plevel=")) {
      if (isStaff()) return false;
      std::fprintf(reports_, "PLEVEL found. Varmo=%s\n", header());
      ++violations_;
      return true;
    }
    if (startsWithKey(text, "priv=")) {
      std::uint32_t bits = parsePrivValue(text.data() + 5, text.size() - 5);
      if (isForbiddenPriv(bits) && !isStaff()) {
        std::fprintf(reports_, "PRIV %lx found. Varmo=%s\n", static_cast<unsigned long>(bits),
                     header());
        ++violations_;
        return true;
      }
    }
    return false;
  }

  std::int64_t violations() const { return violations_; }

  // Called before the reader reuses its block, where the current header line may still stand.
  void keepHeader() { header(); }

 private:
  bool enterSection(const text::Piece& piece) {
    // A header short enough to be well formed is taken to its line end: a NUL in it stops the
    // search for the name as surely as the end of the text does, and the header is printed with
    // %s, which stops there too. Anything else is cut at its NUL first.
    std::string_view text = piece.fileForm ? untilLineEnd(piece) : lineText(piece);
    if (text.size() > kMaxHeaderLength) text = lineText(piece);
    // The header is copied only when it is needed, as most never are: it stays in the reader's
    // block until that is reused, but a decoded piece is gone at the next one.
    headerText_ = text.data();
    headerSize_ = text.size();
    headerCopied_ = false;
    if (!piece.fileForm) header();
    std::string_view name;
    if (headerAccountName(text, name)) {
      // Ordinary until a line needs the GM list's word.
      state_ = SectionState::Ordinary;
      nameSize_ = name.size();
      return false;
    }
    state_ = SectionState::Broken;
    nameSize_ = kNoName;
    text = lineText(piece);
    std::fprintf(reports_, "File is BROKEN! (%.*s)\n", static_cast<int>(text.size()), text.data());
    ++violations_;
    // The section's lines are still checked as an ordinary account's: with their header gone
    // they would otherwise join the account above them, privileges and all.
    return true;
  }

  // The current header line, cut to 63 characters.
  const char* header() {
    if (!headerCopied_) {
      std::size_t keep = headerSize_ < sizeof(header_) ? headerSize_ : sizeof(header_) - 1;
      if (keep > 0) std::memcpy(header_, headerText_, keep);
      header_[keep] = '\0';
      headerCopied_ = true;
    }
    return header_;
  }

  // Whether the current section's account is on the GM list, asked once per section at most.
  bool isStaff() {
    if (nameSize_ == kNoName) return false;
    // A well-formed header is at most 38 characters: the name is all in the copy.
    if (isOnGmList(std::string_view(header() + 1, nameSize_))) state_ = SectionState::Staff;
    nameSize_ = kNoName;
    return state_ == SectionState::Staff;
  }

  static constexpr std::size_t kNoName = ~std::size_t{0};

  std::FILE* reports_;
  // Lines before the first header are checked like an ordinary account's.
  SectionState state_ = SectionState::Ordinary;
  std::size_t nameSize_ = kNoName;  // of the name in the header not yet looked up
  const char* headerText_ = "";
  std::size_t headerSize_ = 0;
  bool headerCopied_ = true;
  char header_[64] = "";
  std::int64_t violations_ = 0;
};

// Hands the writer the plain lines the reader had ready, less those the scan drops: the kept
// lines between two dropped ones go out as one run.
void filterPlainLines(const text::PlainLines& lines, Scan& scan, text::TextWriter& output) {
  text::Piece run;
  run.fileForm = true;
  run.data = lines.base + lines.begin;
  text::Piece line;
  line.fileForm = true;
  for (std::size_t i = 0; i < lines.lookCount; ++i) {
    line.data = lines.base + lines.looks[i].start;
    line.size = lines.looks[i].end - lines.looks[i].start;
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

}  // namespace

std::int64_t filterAccounts(text::ByteSource& input, text::TextWriter& output, std::FILE* reports) {
  text::LineReader reader(input);
  Scan scan(reports);
  reader.onBufferReuse([&output, &scan] {
    output.releaseBlock();
    scan.keepHeader();
  });
  text::ByteOrderMark mark;
  if (!reader.readByteOrderMark(mark)) {
    sys::reportSystemError("fread(acctFile)", reader.error());
    return -1;
  }
  if (mark == text::ByteOrderMark::Utf16) {
    sys::reportFailure("fread(acctFile)",
                       "the account file is UTF-16 text; save it as ANSI or UTF-8");
    return -1;
  }
  // The copy keeps the file's form: the mark that begins the file begins the copy.
  if (mark == text::ByteOrderMark::Utf8)
    output.putText(text::kUtf8Mark.data(), text::kUtf8Mark.size());
  bool dropping = false;
  text::Piece piece;
  text::PlainLines lines;
  for (;;) {
    // The common case: many whole CR LF lines at once, only those that need a look one by one.
    if (reader.nextPlainLines(lines)) {
      filterPlainLines(lines, scan, output);
      if (output.failed()) break;
      continue;
    }
    text::LineReader::Status status = reader.next(piece);
    if (status == text::LineReader::Status::End) break;
    if (status == text::LineReader::Status::Error) {
      sys::reportSystemError("fread(acctFile)", reader.error());
      return -1;
    }
    // The rest of an overlong line shares the fate of its first piece.
    if (piece.startsLine) {
      dropping = scan.dropsLine(piece);
      if (dropping) output.startWritebackEarly();
    }
    if (!dropping) output.put(piece);
    if (output.failed()) break;
  }
  if (!output.flush()) {
    sys::reportSystemError("fwrite(tmpFile)", output.error());
    return -1;
  }
  return scan.violations();
}

std::int64_t scanAccountFile(const char* accountPath, FilteredCopy& copy) {
  sys::File account;
  if (Failure f = retryBriefLocks([&] {
        return account.openForReading(accountPath) ? Failure{} : failure("fopen(acctFile)");
      })) {
    report(f);
    return -1;
  }
  sys::AccessRights rights;
  if (!account.accessRights(rights) || !account.identity(copy.original)) {
    sys::reportSystemError("fstat(acctFile)", sys::lastError());
    return -1;
  }

  // Making the copy starts by removing the old one; were that the account file itself, its
  // only name would go with it.
  sys::FileIdentity there;
  if (sys::identityOf(kTempFileName, there) && there.isSameFile(copy.original)) {
    sys::reportFailure("fopen(tmpFile)", "..newaccu.scp is the account file itself");
    return -1;
  }
  sys::File& temp = copy.file;
  if (!temp.createHeld(kTempFileName)) {
    sys::ErrorCode code = sys::lastError();
    if (sys::isHeldElsewhere(code)) {
      sys::reportFailure("fopen(tmpFile)", "another run is using ..newaccu.scp");
    } else {
      sys::reportSystemError("fopen(tmpFile)", code);
    }
    return -1;
  }
  // An incomplete copy is worth nothing and must not be mistaken for a filtered file.
  auto fail = [&temp](const char* label, sys::ErrorCode code) -> std::int64_t {
    if (label != nullptr) sys::reportSystemError(label, code);
    temp.discard();
    temp.close();
    return -1;
  };
  // The copy holds the same passwords as the original: readable by the same users, no more.
  if (!temp.applyAccessRights(rights)) return fail("fchmod(tmpFile)", sys::lastError());

  // The copy will be about the account file's size: setting its space aside at once spares
  // the file system finding room for it piece by piece.
  std::uint64_t accountSize = 0;
  if (account.size(accountSize)) temp.reserveSpace(accountSize);

  text::FileSource source(account, "fread(acctFile)");
  text::FileSink sink(temp);
  text::TextWriter writer(sink);
  std::int64_t violations = filterAccounts(source, writer, stdout);
  if (violations < 0) return fail(nullptr, 0);
  account.close();
  temp.releaseUnusedSpace();
  // A copy that is to replace the account file must be on disk before it does. It stays open,
  // and so held, until the run ends.
  if (violations > 0 && !temp.sync()) return fail("fsync(tmpFile)", sys::lastError());
  return violations;
}
