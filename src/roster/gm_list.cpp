#include "roster/gm_list.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "roster/name_index.h"
#include "sys/platform.h"
#include "sys/report.h"
#include "text/byte_set.h"
#include "text/line_reader.h"

GmEntry* gmList = nullptr;

namespace {

using roster::kMaxName;

// The names read so far, and once the list is read, their index.
roster::NameIndex gmNames;

// The bytes that end a candidate name. A long list passes every byte of every name through
// here: one look-up a byte beats five comparisons.
constexpr text::ByteSet kNameEnds{'\r', '\n', '\0', ' ', '\t'};

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
      if (kNameEnds.has(p[n])) return n;
      ++n;
    }
  }
  while (n < size && !kNameEnds.has(p[n])) ++n;
  return n;
}

int reportOutOfMemory() {
  sys::reportSystemError("malloc", sys::outOfMemoryError());
  return -1;
}

// Puts the name of a line on the list, if it is one. False when memory ran out.
bool addCandidate(std::string_view name) {
  if (name.size() < 2) return true;
  if (name.size() > kMaxName) name = name.substr(0, kMaxName);
  GmEntry* entry = gmNames.add(name);
  if (entry == nullptr) return false;
  entry->next = gmList;
  gmList = entry;
  return true;
}

// The names of a run of whole plain CR LF lines, a line at a time without the reader's work for
// each: a long list is mostly such lines.
bool addPlainLines(const text::PlainLines& lines) {
  const char* p = lines.base + lines.begin;
  const char* end = lines.base + lines.end;
  while (p < end) {
    std::size_t n = candidateLength(p, static_cast<std::size_t>(end - p));
    if (!addCandidate({p, n})) return false;
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

int readGmList(text::ByteSource& source) {
  text::LineReader reader(source, std::size_t{64} << 10);
  text::ByteOrderMark mark;
  if (!reader.readByteOrderMark(mark)) {
    sys::reportSystemError("fread(gmFile)", reader.error());
    return -1;
  }
  if (mark == text::ByteOrderMark::Utf16) {
    sys::reportFailure("fread(gmFile)", "the GM list is UTF-16 text; save it as ANSI or UTF-8");
    return -1;
  }
  text::Piece piece;
  text::PlainLines lines;
  for (;;) {
    if (reader.nextPlainLines(lines)) {
      if (!addPlainLines(lines)) return reportOutOfMemory();
      continue;
    }
    text::LineReader::Status status = reader.next(piece);
    if (status == text::LineReader::Status::End) break;
    if (status == text::LineReader::Status::Error) {
      sys::reportSystemError("fread(gmFile)", reader.error());
      return -1;
    }
    // The rest of an overlong line is not a line of its own and names nobody.
    if (!piece.startsLine) continue;
    if (!addCandidate({piece.data, candidateLength(piece.data, piece.size)})) {
      return reportOutOfMemory();
    }
  }
  if (!gmNames.build()) return reportOutOfMemory();
  return 0;
}

int loadGmList(const char* path) {
  sys::File file;
  if (!file.openForReading(path)) {
    sys::reportSystemError("fopen(gmFile)", sys::lastError());
    return -1;
  }
  text::FileSource source(file);
  int result = readGmList(source);
  if (result == 0) file.close();
  return result;
}

bool isOnGmList(std::string_view name) {
  return gmNames.contains(name);
}

void clearGmList() {
  gmNames.clear();
  gmList = nullptr;
}
