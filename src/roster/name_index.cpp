#include "roster/name_index.h"

#include <cstdlib>
#include <cstring>

#include "sys/platform.h"

namespace roster {

bool NameIndex::EntryStore::grow() {
  if (chunkCount == chunkRoom) {
    std::size_t room = chunkRoom == 0 ? 16 : chunkRoom * 2;
    auto* grown = static_cast<GmEntry**>(std::realloc(chunks, room * sizeof(GmEntry*)));
    if (grown == nullptr) return false;
    chunks = grown;
    chunkRoom = room;
  }
  std::size_t entries = kFirstChunkEntries << chunkCount;
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

void NameIndex::EntryStore::clear() {
  for (std::size_t i = 0; i < chunkCount; ++i) sys::freeLarge(chunks[i]);
  std::free(chunks);
  std::free(hashes);
  *this = EntryStore{};
}

bool NameIndex::HashBuckets::build(const EntryStore& store) {
  clear();
  if (store.count == 0) return true;
  unsigned bits = 0;
  while (bits < 30 && (std::size_t{4} << bits) < store.count) ++bits;
  std::size_t buckets = std::size_t{1} << bits;
  shift = 32 - bits;
  bounds =
      static_cast<std::uint32_t*>(sys::allocateLarge((buckets + 1) * sizeof(std::uint32_t), true));
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

bool NameIndex::HashBuckets::contains(const EntryStore& store, std::string_view name) const {
  if (count == 0) return false;
  FoldedName folded = {{foldWord(nameWord(name, 0)), foldWord(nameWord(name, 1)),
                        foldWord(nameWord(name, 2)), foldWord(nameWord(name, 3))}};
  std::uint32_t hash = hashName(folded);
  std::size_t b = bucketOf(hash);
  for (std::uint32_t i = bounds[b]; i < bounds[b + 1]; ++i) {
    if (items[i].hash != hash) continue;
    // The entry's field holds its name and zeros after it, as the folded name does.
    const char* field = store.at(items[i].entry).name;
    std::uint64_t differ = 0;
    for (int k = 0; k < 4; ++k) {
      std::uint64_t w;
      std::memcpy(&w, field + 8 * k, sizeof w);
      differ |= foldWord(w) ^ folded.word[k];
    }
    if (differ == 0) return true;
  }
  return false;
}

void NameIndex::HashBuckets::clear() {
  sys::freeLarge(items);
  sys::freeLarge(bounds);
  *this = HashBuckets{};
}

}  // namespace roster
