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

void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
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

// An open-addressing table over the entries, so that a header costs the same whether the list
// holds twenty names or a hundred thousand. Built once the whole list is read, at its final size.
// A slot keeps the name's hash beside the entry's number, so that a probe rarely needs to touch
// the entry, and is small so that the table is.
struct NameIndex {
  struct Slot {
    std::uint32_t hash;
    std::uint32_t entry;  // number + 1; 0 for an empty slot
  };
  Slot* slots = nullptr;
  std::size_t capacity = 0;  // a power of two, or 0
  std::size_t count = 0;

  // The slot holding name, or the empty one where it would go.
  Slot* find(const EntryStore& store, const FoldedName& name, std::uint32_t hash) const {
    std::size_t mask = capacity - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot* slot = &slots[i];
      if (slot->entry == 0) return slot;
      if (slot->hash == hash && foldNameField(store.at(slot->entry - 1).name) == name) return slot;
    }
  }

  // Indexes every entry, each name once. False when memory ran out.
  bool build(const EntryStore& store) {
    clear();
    std::size_t want = 64;
    while (want < store.count * 2) want *= 2;
    slots = static_cast<Slot*>(sys::allocateLarge(want * sizeof(Slot), true));
    if (slots == nullptr) return false;
    capacity = want;
    allocateFilter(store.count);
    // The table is larger than the processor's cache: the slots of the entries a few places
    // ahead are fetched while the current one goes in.
    constexpr std::size_t kAhead = 8;
    FoldedName names[kAhead];
    std::uint32_t hashes[kAhead];
    std::size_t fetched = 0;
    auto fetch = [&] {
      FoldedName& f = names[fetched % kAhead];
      f = foldNameField(store.at(fetched).name);
      hashes[fetched % kAhead] = hashName(f);
      prefetch(&slots[hashes[fetched % kAhead] & (capacity - 1)]);
      ++fetched;
    };
    while (fetched < kAhead && fetched < store.count) fetch();
    for (std::size_t i = 0; i < store.count; ++i) {
      FoldedName name = names[i % kAhead];
      std::uint32_t hash = hashes[i % kAhead];
      if (fetched < store.count) fetch();
      Slot* slot = find(store, name, hash);
      if (slot->entry == 0) {
        *slot = {hash, static_cast<std::uint32_t>(i + 1)};
        ++count;
        addToFilter(hash);
      }
    }
    return true;
  }

  // A bit filter in front of the table, small enough to stay in the processor's cache: most
  // account names are not on the list, and most of those are turned away here without a look
  // into a table that, for a long list, is too large to stay cached.
  std::uint64_t* filter = nullptr;
  std::uint32_t filterMask = 0;  // bit count - 1

  static std::uint32_t secondBit(std::uint32_t hash) {
    return ((hash << 16) | (hash >> 16)) * 0x9E3779B1u;
  }

  bool mayContain(std::uint32_t hash) const {
    std::uint32_t a = hash & filterMask, b = secondBit(hash) & filterMask;
    return ((filter[a >> 6] >> (a & 63)) & (filter[b >> 6] >> (b & 63)) & 1) != 0;
  }

  // About ten bits a name, at most 128 KiB. Without memory for it lookups simply go to the table.
  void allocateFilter(std::size_t names) {
    std::uint32_t bits = 64;
    while (bits < names * 10 && bits < (1u << 20)) bits *= 2;
    filter = static_cast<std::uint64_t*>(std::calloc(bits / 64, sizeof(std::uint64_t)));
    if (filter != nullptr) filterMask = bits - 1;
  }

  void addToFilter(std::uint32_t hash) {
    if (filter == nullptr) return;
    std::uint32_t a = hash & filterMask, b = secondBit(hash) & filterMask;
    filter[a >> 6] |= std::uint64_t{1} << (a & 63);
    filter[b >> 6] |= std::uint64_t{1} << (b & 63);
  }

  bool contains(const EntryStore& store, std::string_view name) const {
    if (count == 0) return false;
    FoldedName folded = foldName(name);
    std::uint32_t hash = hashName(folded);
    if (filter != nullptr && !mayContain(hash)) return false;
    return find(store, folded, hash)->entry != 0;
  }

  void clear() {
    sys::freeLarge(slots);
    std::free(filter);
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
