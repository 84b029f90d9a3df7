// The GM list's names, kept for look-up without regard to ASCII case.
//
// What it guarantees:
//  - A stored name keeps its bytes (at most kMaxName of them, never a NUL) in a GmEntry of its
//    own, with zeros after it to the end of the field, in the order they were added; entries
//    stay where they are for as long as the index lives.
//  - contains(name) tells whether a stored name equals name when the letters A to Z are taken
//    for a to z; no other byte is folded and a prefix is no match. A name stored twice is found
//    as once. A name looked up holds no NUL (a header's name never does: a NUL ends it).
//  - A look-up costs the same whether twenty names are stored or a hundred thousand: a bucket of
//    a few hashes, and one entry's name read on a matching hash.
// The reading of the list file (gm_list.cpp) decides what a name is; this file only keeps them.
// NameIndex's public part is the interface. Its workings are private: here what storing a name
// needs, so that it inlines into the reading loop; the rest in name_index.cpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

// One name of the GM list, as it stood in the file (cut to 31 characters), zeros after it.
struct GmEntry {
  char name[32];
};

namespace roster {

inline constexpr std::size_t kMaxName = sizeof(GmEntry::name) - 1;

// The stored names and their index. It owns their memory: a value, moved but not copied.
class NameIndex {
 public:
  NameIndex() = default;
  ~NameIndex() { clear(); }
  NameIndex(NameIndex&& other) noexcept
      : store_(std::exchange(other.store_, {})), index_(std::exchange(other.index_, {})) {}
  NameIndex& operator=(NameIndex&& other) noexcept {
    if (this != &other) {
      clear();
      store_ = std::exchange(other.store_, {});
      index_ = std::exchange(other.index_, {});
    }
    return *this;
  }

  // Stores a name of 2 to kMaxName bytes in a new entry, with its hash for the index; nullptr
  // when memory ran out. Inline: a long list passes every name through here.
  GmEntry* add(std::string_view name) {
    // Entry numbers are kept in 32 bits: four billion names would not fit in memory anyway.
    if (store_.count == 0xFFFFFFFEu) return nullptr;
    std::uint64_t w0 = nameWord(name, 0), w1 = nameWord(name, 1);
    std::uint64_t w2 = nameWord(name, 2), w3 = nameWord(name, 3);
    GmEntry* entry =
        store_.add(hashName({{foldWord(w0), foldWord(w1), foldWord(w2), foldWord(w3)}}));
    if (entry == nullptr) return nullptr;
    // Zeros after the name, all the way: the index compares the whole field.
    std::memcpy(entry->name, &w0, 8);
    std::memcpy(entry->name + 8, &w1, 8);
    std::memcpy(entry->name + 16, &w2, 8);
    std::memcpy(entry->name + 24, &w3, 8);
    return entry;
  }

  // Indexes what is stored, once every name is in. False when memory ran out.
  bool build() { return index_.build(store_); }

  bool contains(std::string_view name) const {
    return name.size() <= kMaxName && index_.contains(store_, name);
  }

  // The entries, in the order their names were added.
  std::size_t size() const { return store_.count; }
  const GmEntry& operator[](std::size_t i) const { return store_.at(i); }

 private:
  // A name as the index sees it: its 32 bytes, zero after the name, ASCII letters folded to lower
  // case, as four words. Two names are the same without regard to case exactly when these are
  // equal; no name holds a NUL, so the zeros cannot make different names equal.
  struct FoldedName {
    std::uint64_t word[4];
  };

  // Folds the letters A to Z of the eight bytes of a word to lower case, all at once.
  static std::uint64_t foldWord(std::uint64_t x) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::uint64_t atLeastA = (x & kLow7) + 0x3F3F3F3F3F3F3F3Full;  // high bit: byte >= 'A'
    std::uint64_t pastZ = (x & kLow7) + 0x2525252525252525ull;     // high bit: byte > 'Z'
    std::uint64_t upper = atLeastA & ~pastZ & ~x & kHigh;
    return x | (upper >> 2);
  }

  // Word i (0 to 3) of the 32-byte field that holds a name of at most 31 characters and zeros after
  // it, read from the name's own bytes. Each entry's field and each looked-up name are built this
  // way, in registers: copying the name into a zeroed field and reading that back as words stalls
  // the processor on every name (a load that spans several smaller stores waits for all of them).
  // Defined here, so inline: gcc would otherwise keep it out of line, called four times a name.
  static std::uint64_t nameWord(std::string_view name, std::size_t i) {
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

  // The hash of a folded name.
  static std::uint32_t hashName(const FoldedName& f) {
    std::uint64_t h = f.word[0] * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29) ^ f.word[1]) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 32) ^ f.word[2]) * 0x94D049BB133111EBull;
    h = (h ^ (h >> 29) ^ f.word[3]) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::uint32_t>(h >> 32);
  }

  // The entries live in chunks: one allocation for many names rather than one each, and none
  // moves once stored. The first chunk is small, for the usual list of a few dozen names; each next
  // one is twice the size of the one before, so that a list's memory grows with it (a long list's
  // last chunks are 1 and 2 MiB of large pages). Beside them, each name's hash by entry number,
  // taken as the name is read: building the index then need not read the entries again.
  static constexpr std::size_t kFirstChunkEntries = 64;

  struct EntryStore {
    GmEntry** chunks = nullptr;
    std::size_t chunkCount = 0;
    std::size_t chunkRoom = 0;
    std::size_t count = 0;
    std::size_t capacity = 0;         // entries in all chunks
    std::uint32_t* hashes = nullptr;  // capacity of them
    GmEntry* unused = nullptr;        // the next unused entry of the last chunk

    // Chunk k holds kFirstChunkEntries << k entries, beginning at entry
    // kFirstChunkEntries * (2^k - 1): k is the highest bit of i / kFirstChunkEntries + 1.
    GmEntry& at(std::size_t i) const {
      unsigned k = static_cast<unsigned>(std::bit_width(i / kFirstChunkEntries + 1)) - 1;
      return chunks[k][i - kFirstChunkEntries * ((std::size_t{1} << k) - 1)];
    }

    // A fresh entry for a name with the given hash, or nullptr when memory ran out.
    GmEntry* add(std::uint32_t hash) {
      if (count == capacity && !grow()) return nullptr;
      hashes[count++] = hash;
      return unused++;
    }

    // Another chunk, and room for its entries' hashes. False when memory ran out.
    bool grow();
    void clear();
  };

  // The hash buckets over the entries, so that a header costs the same whether the list holds
  // twenty names or a hundred thousand. Built once the whole list is read, by sorting the names'
  // hashes into buckets by their top bits: a count, then a placement. Both steps go through the
  // hashes in entry order and jump about only within tables small enough to stay in the processor's
  // cache, where inserting into a hash table would miss it once a name for a long list. A bucket
  // holds two to four names on average, so a look-up reads the bucket's bounds, compares a few
  // hashes, and reads an entry's name only when its hash matches. A name listed twice is in it
  // twice, which changes no answer.
  struct HashBuckets {
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
    bool build(const EntryStore& store);
    // Whether a name equal to name but for case is stored.
    bool contains(const EntryStore& store, std::string_view name) const;
    void clear();
  };

  void clear() {
    index_.clear();
    store_.clear();
  }

  EntryStore store_;
  HashBuckets index_;
};

}  // namespace roster
