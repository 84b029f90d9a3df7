#include "roster/gm_list.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sys/byte_set.h"
#include "sys/line_reader.h"
#include "sys/platform.h"
#include "sys/report.h"

GmEntry* gmList = nullptr;

namespace {

constexpr std::size_t kMaxName = sizeof(GmEntry::name) - 1;

// A name as the index sees it: its 32 bytes, zero after the name, ASCII letters folded to lower
// case, as four words. Two names are the same without regard to case exactly when these are equal;
// no name holds a NUL, so the zeros cannot make different names equal.
struct FoldedName {
  std::uint64_t word[4];
};

// Folds the letters A to Z of the eight bytes of a word to lower case, all at once.
std::uint64_t foldWord(std::uint64_t x) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  std::uint64_t atLeastA = (x & kLow7) + 0x3F3F3F3F3F3F3F3Full;  // high bit: byte >= 'A'
  std::uint64_t pastZ = (x & kLow7) + 0x2525252525252525ull;     // high bit: byte > 'Z'
  std::uint64_t upper = atLeastA & ~pastZ & ~x & kHigh;
  return x | (upper >> 2);
}

// From 32 bytes that hold the name and zeros after it.
FoldedName foldNameField(const char* field) {
  FoldedName f;
  for (int i = 0; i < 4; ++i) {
    std::uint64_t w;
    std::memcpy(&w, field + 8 * i, sizeof w);
    f.word[i] = foldWord(w);
  }
  return f;
}

bool operator==(const FoldedName& a, const FoldedName& b) {
  return ((a.word[0] ^ b.word[0]) | (a.word[1] ^ b.word[1]) | (a.word[2] ^ b.word[2]) |
          (a.word[3] ^ b.word[3])) == 0;
}

std::uint32_t hashName(const FoldedName& f) {
  std::uint64_t h = f.word[0] * 0x9E3779B97F4A7C15ull;
  h = (h ^ (h >> 29) ^ f.word[1]) * 0xBF58476D1CE4E5B9ull;
  h = (h ^ (h >> 32) ^ f.word[2]) * 0x94D049BB133111EBull;
  h = (h ^ (h >> 29) ^ f.word[3]) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint32_t>(h >> 32);
}

// Word i (0 to 3) of the 32-byte field that holds a name of at most 31 characters and zeros after
// it, read from the name's own bytes. Each entry's field and each looked-up name are built this
// way, in registers: copying the name into a zeroed field and reading that back as words stalls
// the processor on every name (a load that spans several smaller stores waits for all of them).
// Marked inline because gcc otherwise keeps it out of line, called four times a name.
inline std::uint64_t nameWord(std::string_view name, std::size_t i) {
  const char* p = name.data();
  std::size_t n = name.size();
  std::size_t at = 8 * i;
  std::uint64_t w = 0;
  if (n >= at + 8) {
    std::memcpy(&w, p + at, 8);
  } else if (n > at) {
    std::size_t r = n - at;
    if constexpr (std::endian::native == std::endian::little) {
      // No load reaches past the name: the last bytes come from a word that ends where the
      // name ends, shifted down, or for a name shorter than a word from two loads that overlap
      // (the bytes they share are the same bytes).
      if (n >= 8) {
        std::memcpy(&w, p + n - 8, 8);
        w >>= 64 - 8 * r;
      } else if (r >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + r - 4, 4);
        w = lo | std::uint64_t{hi} << (8 * (r - 4));
      } else if (r >= 2) {
        std::uint16_t lo, hi;
        std::memcpy(&lo, p, 2);
        std::memcpy(&hi, p + r - 2, 2);
        w = lo | std::uint64_t{hi} << (8 * (r - 2));
      } else {
        w = static_cast<unsigned char>(p[0]);
      }
    } else {
      std::memcpy(&w, p + at, r);
    }
  }
  return w;
}

// From a name of at most 31 characters.
FoldedName foldName(std::string_view name) {
  return {{foldWord(nameWord(name, 0)), foldWord(nameWord(name, 1)), foldWord(nameWord(name, 2)),
           foldWord(nameWord(name, 3))}};
}

// The entries live in chunks: one allocation for thousands of names rather than one each. The
// first chunk is small, for the usual short list; the others hold 2 MiB of entries each, which a
// long list fills at once. Beside them, each name's hash by entry number, taken as the name is
// read: building the index then need not read the entries again.
constexpr std::size_t kFirstChunkEntries = 4096;
constexpr std::size_t kChunkEntries = (std::size_t{2} << 20) / sizeof(GmEntry);

struct EntryStore {
  GmEntry** chunks = nullptr;
  std::size_t chunkCount = 0;
  std::size_t chunkRoom = 0;
  std::size_t count = 0;
  std::size_t capacity = 0;         // entries in all chunks
  std::uint32_t* hashes = nullptr;  // capacity of them
  GmEntry* unused = nullptr;        // the next unused entry of the last chunk

  GmEntry& at(std::size_t i) const {
    if (i < kFirstChunkEntries) return chunks[0][i];
    std::size_t j = i - kFirstChunkEntries;
    return chunks[1 + j / kChunkEntries][j % kChunkEntries];
  }

  // A fresh entry for a name with the given hash, or nullptr when memory ran out.
  GmEntry* add(std::uint32_t hash) {
    if (count == capacity && !grow()) return nullptr;
    hashes[count++] = hash;
    return unused++;
  }

  // Another chunk, and room for its entries' hashes. False when memory ran out.
  bool grow() {
    if (chunkCount == chunkRoom) {
      std::size_t room = chunkRoom == 0 ? 16 : chunkRoom * 2;
      auto* grown = static_cast<GmEntry**>(std::realloc(chunks, room * sizeof(GmEntry*)));
      if (grown == nullptr) return false;
      chunks = grown;
      chunkRoom = room;
    }
    std::size_t entries = chunkCount == 0 ? kFirstChunkEntries : kChunkEntries;
    auto* grownHashes = static_cast<std::uint32_t*>(
        std::realloc(hashes, (capacity + entries) * sizeof(std::uint32_t)));
    if (grownHashes == nullptr) return false;
    hashes = grownHashes;
    auto* chunk = static_cast<GmEntry*>(sys::allocateLarge(entries * sizeof(GmEntry), false));
    if (chunk == nullptr) return false;
    chunks[chunkCount++] = chunk;
    capacity += entries;
    unused = chunk;
    return true;
  }

  void clear() {
    for (std::size_t i = 0; i < chunkCount; ++i) sys::freeLarge(chunks[i]);
    std::free(chunks);
    std::free(hashes);
    *this = EntryStore{};
  }
};

// An index over the entries, so that a header costs the same whether the list holds twenty
// names or a hundred thousand. Built once the whole list is read, by sorting the names' hashes
// into buckets by their top bits: a count, then a placement. Both steps go through the hashes in
// entry order and jump about only within tables small enough to stay in the processor's cache,
// where inserting into a hash table would miss it once a name for a long list. A bucket holds two
// to four names on average, so a look-up reads the bucket's bounds, compares a few hashes, and
// reads an entry's name only when its hash matches. A name listed twice is in it twice, which
// changes no answer.
struct NameIndex {
  struct Item {
    std::uint32_t hash;
    std::uint32_t entry;  // number in the store
  };
  Item* items = nullptr;            // count of them, bucket after bucket
  std::uint32_t* bounds = nullptr;  // bucket b's items are [bounds[b], bounds[b + 1])
  unsigned shift = 0;               // a hash's bucket is its top bits: hash >> shift
  std::size_t count = 0;

  std::size_t bucketOf(std::uint32_t hash) const { return std::uint64_t{hash} >> shift; }

  // Indexes every entry. False when memory ran out.
  bool build(const EntryStore& store) {
    clear();
    if (store.count == 0) return true;
    unsigned bits = 0;
    while (bits < 30 && (std::size_t{4} << bits) < store.count) ++bits;
    std::size_t buckets = std::size_t{1} << bits;
    shift = 32 - bits;
    bounds = static_cast<std::uint32_t*>(
        sys::allocateLarge((buckets + 1) * sizeof(std::uint32_t), true));
    items = static_cast<Item*>(sys::allocateLarge(store.count * sizeof(Item), false));
    if (bounds == nullptr || items == nullptr) {
      clear();
      return false;
    }
    const std::uint32_t* hashes = store.hashes;
    // Each bucket's size, counted one place up...
    for (std::size_t i = 0; i < store.count; ++i) ++bounds[bucketOf(hashes[i]) + 1];
    // ...turned into where the bucket starts, the place each item goes as it comes...
    std::uint32_t start = 0;
    for (std::size_t b = 1; b <= buckets; ++b) {
      std::uint32_t size = bounds[b];
      bounds[b] = start;
      start += size;
    }
    // ...which leaves each bucket's end where the next one starts.
    for (std::size_t i = 0; i < store.count; ++i) {
      std::uint32_t& next = bounds[bucketOf(hashes[i]) + 1];
      items[next++] = {hashes[i], static_cast<std::uint32_t>(i)};
    }
    count = store.count;
    return true;
  }

  bool contains(const EntryStore& store, std::string_view name) const {
    if (count == 0) return false;
    FoldedName folded = foldName(name);
    std::uint32_t hash = hashName(folded);
    std::size_t b = bucketOf(hash);
    for (std::uint32_t i = bounds[b]; i < bounds[b + 1]; ++i) {
      if (items[i].hash == hash && foldNameField(store.at(items[i].entry).name) == folded) {
        return true;
      }
    }
    return false;
  }

  void clear() {
    sys::freeLarge(items);
    sys::freeLarge(bounds);
    *this = NameIndex{};
  }
};

EntryStore gmEntries;
NameIndex gmIndex;

// The bytes that end a candidate name. A long list passes every byte of every name through
// here: one look-up a byte beats five comparisons.
constexpr sys::ByteSet kNameEnds{'\r', '\n', '\0', ' ', '\t'};

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
  // Entry numbers are kept in 32 bits: four billion names would not fit in memory anyway.
  if (gmEntries.count == 0xFFFFFFFEu) return false;
  std::uint64_t w0 = nameWord(name, 0), w1 = nameWord(name, 1);
  std::uint64_t w2 = nameWord(name, 2), w3 = nameWord(name, 3);
  GmEntry* entry =
      gmEntries.add(hashName({{foldWord(w0), foldWord(w1), foldWord(w2), foldWord(w3)}}));
  if (entry == nullptr) return false;
  // Zeros after the name, all the way: the index compares the whole field.
  std::memcpy(entry->name, &w0, 8);
  std::memcpy(entry->name + 8, &w1, 8);
  std::memcpy(entry->name + 16, &w2, 8);
  std::memcpy(entry->name + 24, &w3, 8);
  entry->next = gmList;
  gmList = entry;
  return true;
}

// The names of a run of whole plain CR LF lines, a line at a time without the reader's work for
// each: a long list is mostly such lines.
bool addPlainLines(const sys::PlainLines& lines) {
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

int readGmList(sys::ByteSource& source) {
  sys::LineReader reader(source, std::size_t{64} << 10);
  sys::Piece piece;
  sys::PlainLines lines;
  for (;;) {
    if (reader.nextPlainLines(lines)) {
      if (!addPlainLines(lines)) return reportOutOfMemory();
      continue;
    }
    sys::LineReader::Status status = reader.next(piece);
    if (status == sys::LineReader::Status::End) break;
    if (status == sys::LineReader::Status::Error) {
      sys::reportSystemError("fread(gmFile)", reader.error());
      return -1;
    }
    // The rest of an overlong line is not a line of its own and names nobody.
    if (!piece.startsLine) continue;
    if (!addCandidate({piece.data, candidateLength(piece.data, piece.size)})) {
      return reportOutOfMemory();
    }
  }
  if (!gmIndex.build(gmEntries)) return reportOutOfMemory();
  return 0;
}

int loadGmList(const char* path) {
  sys::File file;
  if (!file.openForReading(path)) {
    sys::reportSystemError("fopen(gmFile)", sys::lastError());
    return -1;
  }
  sys::FileSource source(file);
  int result = readGmList(source);
  if (result == 0) file.close();
  return result;
}

bool isOnGmList(std::string_view name) {
  return name.size() <= kMaxName && gmIndex.contains(gmEntries, name);
}

void clearGmList() {
  gmIndex.clear();
  gmEntries.clear();
  gmList = nullptr;
}
