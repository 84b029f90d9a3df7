#include "roster/gm_list.h"

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

// From a name of at most 31 characters.
FoldedName foldName(std::string_view name) {
  char field[32] = {};
  std::memcpy(field, name.data(), name.size());
  return foldNameField(field);
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

// The entries live in chunks: one allocation for thousands of names rather than one each. The
// first chunk is small, for the usual short list; the others hold 2 MiB of entries each, which a
// long list fills at once.
constexpr std::size_t kFirstChunkEntries = 4096;
constexpr std::size_t kChunkEntries = (std::size_t{2} << 20) / sizeof(GmEntry);

struct EntryStore {
  GmEntry** chunks = nullptr;
  std::size_t chunkCount = 0;
  std::size_t chunkRoom = 0;
  std::size_t count = 0;
  std::size_t capacity = 0;  // entries in all chunks

  GmEntry& at(std::size_t i) const {
    if (i < kFirstChunkEntries) return chunks[0][i];
    std::size_t j = i - kFirstChunkEntries;
    return chunks[1 + j / kChunkEntries][j % kChunkEntries];
  }

  // A fresh entry, or nullptr when memory ran out.
  GmEntry* add() {
    if (count == capacity) {
      if (chunkCount == chunkRoom) {
        std::size_t room = chunkRoom == 0 ? 16 : chunkRoom * 2;
        auto* grown = static_cast<GmEntry**>(std::realloc(chunks, room * sizeof(GmEntry*)));
        if (grown == nullptr) return nullptr;
        chunks = grown;
        chunkRoom = room;
      }
      std::size_t entries = chunkCount == 0 ? kFirstChunkEntries : kChunkEntries;
      auto* chunk = static_cast<GmEntry*>(sys::allocateLarge(entries * sizeof(GmEntry), false));
      if (chunk == nullptr) return nullptr;
      chunks[chunkCount++] = chunk;
      capacity += entries;
    }
    return &at(count++);
  }

  void clear() {
    for (std::size_t i = 0; i < chunkCount; ++i) sys::freeLarge(chunks[i]);
    std::free(chunks);
    *this = EntryStore{};
  }
};

// An index over the entries, so that a header costs the same whether the list holds twenty
// names or a hundred thousand. Built once the whole list is read, by sorting the names' hashes
// into buckets by their top bits: a count, then a placement. Both steps go through the entries in
// order and jump about only within tables small enough to stay in the processor's cache, where
// inserting into a hash table would miss it once a name for a long list. A bucket holds two to
// four names on average, so a look-up reads the bucket's bounds, compares a few hashes, and reads
// an entry's name only when its hash matches. A name listed twice is in it twice, which changes
// no answer.
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
    auto* hashes = static_cast<std::uint32_t*>(std::malloc(store.count * sizeof(std::uint32_t)));
    bounds = static_cast<std::uint32_t*>(
        sys::allocateLarge((buckets + 1) * sizeof(std::uint32_t), true));
    items = static_cast<Item*>(sys::allocateLarge(store.count * sizeof(Item), false));
    if (hashes == nullptr || bounds == nullptr || items == nullptr) {
      std::free(hashes);
      clear();
      return false;
    }
    // Each bucket's size, counted one place up...
    for (std::size_t i = 0; i < store.count; ++i) {
      hashes[i] = hashName(foldNameField(store.at(i).name));
      ++bounds[bucketOf(hashes[i]) + 1];
    }
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
    std::free(hashes);
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

// The candidate name of a line: its text up to the first CR, LF, NUL, blank or tab.
std::string_view candidateName(const sys::Piece& piece) {
  std::size_t n = 0;
  while (n < piece.size && !kNameEnds.has(piece.data[n])) ++n;
  return {piece.data, n};
}

int reportOutOfMemory() {
  sys::reportSystemError("malloc", sys::outOfMemoryError());
  return -1;
}

}  // namespace

int readGmList(sys::ByteSource& source) {
  sys::LineReader reader(source, std::size_t{64} << 10);
  sys::Piece piece;
  for (;;) {
    sys::LineReader::Status status = reader.next(piece);
    if (status == sys::LineReader::Status::End) break;
    if (status == sys::LineReader::Status::Error) {
      sys::reportSystemError("fread(gmFile)", reader.error());
      return -1;
    }
    // The rest of an overlong line is not a line of its own and names nobody.
    if (!piece.startsLine) continue;
    std::string_view name = candidateName(piece);
    if (name.size() < 2) continue;
    if (name.size() > kMaxName) name = name.substr(0, kMaxName);

    // Entry numbers are kept in 32 bits: four billion names would not fit in memory anyway.
    if (gmEntries.count == 0xFFFFFFFEu) return reportOutOfMemory();
    GmEntry* entry = gmEntries.add();
    if (entry == nullptr) return reportOutOfMemory();
    // Zeros after the name, all the way: the index reads the whole field.
    char field[sizeof entry->name] = {};
    std::memcpy(field, name.data(), name.size());
    std::memcpy(entry->name, field, sizeof field);
    entry->next = gmList;
    gmList = entry;
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
