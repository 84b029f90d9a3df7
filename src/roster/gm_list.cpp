#include "roster/gm_list.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "roster/name_index.h"
#include "sys/platform.h"
#include "text/byte_set.h"
#include "text/line_reader.h"

namespace {

using roster::kMaxName;

// The bytes that end a name on the list: the line ends, NUL, blank and tab. A long list passes
// every byte of every name through here: one look-up a byte beats five comparisons.
constexpr text::ByteSet kListedNameEnds{'\r', '\n', '\0', ' ', '\t'};

// The length of the candidate name at p: the text up to the first CR, LF, NUL, blank or tab,
// which come at the latest after size bytes.
std::size_t candidateLength(const char* p, std::size_t size) {
  std::size_t n = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Every byte that ends a name is at most 0x20, and names seldom hold such bytes: eight
    // bytes at a time up to the first of them, which alone needs the look-up.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    while (n + 8 <= size) {
      std::uint64_t w;
      std::memcpy(&w, p + n, sizeof w);
      // The high bit of each byte below 0x21, exact up to the first such byte.
      std::uint64_t low = (w - 0x21 * kOnes) & ~w & 0x80 * kOnes;
      if (low == 0) {
        n += 8;
        continue;
      }
      n += static_cast<std::size_t>(std::countr_zero(low)) / 8;
      if (kListedNameEnds.has(p[n])) return n;
      ++n;
    }
  }
  while (n < size && !kListedNameEnds.has(p[n])) ++n;
  return n;
}

// Puts the name of a line on the list, if it is one. False when memory ran out.
bool addCandidate(std::string_view name, roster::NameIndex& names) {
  if (name.size() < 2) return true;
  if (name.size() > kMaxName) name = name.substr(0, kMaxName);
  return names.add(name) != nullptr;
}

// The names of a run of whole plain CR LF lines, a line at a time without the reader's work for
// each: a long list is mostly such lines.
bool addPlainLines(const text::PlainLines& lines, roster::NameIndex& names) {
  const char* p = lines.base + lines.begin;
  const char* end = lines.base + lines.end;
  while (p < end) {
    std::size_t n = candidateLength(p, static_cast<std::size_t>(end - p));
    if (!addCandidate({p, n}, names)) return false;
    // Such a line holds no CR but the one before its LF.
    if (p[n] == '\r') {
      p += n + 2;
    } else {
      p = static_cast<const char*>(
              std::memchr(p + n, '\n', static_cast<std::size_t>(end - p) - n)) +
          1;
    }
  }
  return true;
}

}  // namespace

Outcome readGmList(text::ByteSource& source, GmList& list, std::size_t blockSize) {
  text::LineReader reader(source, blockSize);
  text::ByteOrderMark mark;
  if (Outcome started = text::readFileStart(reader, kGmListRead, "the GM list", mark);
      !started.ok()) {
    return started;
  }
  roster::NameIndex& names = list.names_;
  text::PlainLines lines;
  text::Piece piece;
  for (;;) {
    if (reader.nextPlainLines(lines)) {
      if (!addPlainLines(lines, names)) return Outcome::outOfMemory();
      continue;
    }
    text::LineReader::Status status = reader.next(piece);
    if (status == text::LineReader::Status::End) break;
    if (status == text::LineReader::Status::WindowUsedUp) {
      // The names are copied out of the window as they are read: nothing points into it.
      if (!reader.moveWindow()) return Outcome::systemError(kGmListRead, reader.error());
      continue;
    }
    // The rest of an overlong line is not a line of its own and names nobody.
    if (piece.startsLine &&
        !addCandidate({piece.data, candidateLength(piece.data, piece.size)}, names)) {
      return Outcome::outOfMemory();
    }
  }
  if (!names.build()) return Outcome::outOfMemory();
  return {};
}

Outcome loadGmList(const char* path, GmList& list) {
  sys::File file;
  if (!file.openForReading(path)) return Outcome::lastError("fopen(gmFile)");
  text::FileSource source(file);
  return readGmList(source, list);
}
