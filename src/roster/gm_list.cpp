#include "roster/gm_list.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sys/line_reader.h"
#include "sys/platform.h"
#include "sys/report.h"

GmEntry* gmList = nullptr;

namespace {

constexpr std::size_t kMaxName = sizeof(GmEntry::name) - 1;

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::uint32_t hashName(std::string_view name) {
  std::uint32_t h = 2166136261u;
  for (char c : name) {
    h ^= static_cast<unsigned char>(fold(c));
    h *= 16777619u;
  }
  return h;
}

// An open-addressing table over the entries, so that a header costs the same whether the list
// holds twenty names or a hundred thousand. The linked list stays the owner of the entries; a
// slot keeps the name's hash beside the entry, so that a probe rarely needs to touch the entry.
struct NameIndex {
  struct Slot {
    GmEntry* entry;
    std::uint32_t hash;
  };
  Slot* slots = nullptr;
  std::size_t capacity = 0;  // a power of two, or 0
  std::size_t count = 0;

  Slot* find(std::string_view name, std::uint32_t hash) const {
    std::size_t mask = capacity - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot* slot = &slots[i];
      if (slot->entry == nullptr) return slot;
      if (slot->hash == hash && sameName(slot->entry->name, name)) return slot;
    }
  }

  bool grow() {
    std::size_t newCapacity = capacity == 0 ? 64 : capacity * 2;
    auto* newSlots = static_cast<Slot*>(std::calloc(newCapacity, sizeof(Slot)));
    if (newSlots == nullptr) return false;
    Slot* old = slots;
    std::size_t oldCapacity = capacity;
    slots = newSlots;
    capacity = newCapacity;
    for (std::size_t i = 0; i < oldCapacity; ++i) {
      if (old[i].entry == nullptr) continue;
      // Names in the table are distinct: the first empty slot along the probe is the place.
      std::size_t mask = capacity - 1;
      std::size_t j = old[i].hash & mask;
      while (slots[j].entry != nullptr) j = (j + 1) & mask;
      slots[j] = old[i];
    }
    std::free(old);
    return true;
  }

  // Adds an entry unless an equal name is indexed already. False when memory ran out.
  bool add(GmEntry* entry) {
    if ((count + 1) * 2 > capacity && !grow()) return false;
    std::string_view name = entry->name;
    std::uint32_t hash = hashName(name);
    Slot* slot = find(name, hash);
    if (slot->entry == nullptr) {
      *slot = {entry, hash};
      ++count;
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

  // Builds the filter once the list is complete: about ten bits a name, at most 128 KiB. Without
  // memory for it lookups simply go to the table.
  void buildFilter() {
    std::free(filter);
    filter = nullptr;
    std::uint32_t bits = 64;
    while (bits < count * 10 && bits < (1u << 20)) bits *= 2;
    filter = static_cast<std::uint64_t*>(std::calloc(bits / 64, sizeof(std::uint64_t)));
    if (filter == nullptr) return;
    filterMask = bits - 1;
    for (std::size_t i = 0; i < capacity; ++i) {
      if (slots[i].entry == nullptr) continue;
      std::uint32_t a = slots[i].hash & filterMask, b = secondBit(slots[i].hash) & filterMask;
      filter[a >> 6] |= std::uint64_t{1} << (a & 63);
      filter[b >> 6] |= std::uint64_t{1} << (b & 63);
    }
  }

  bool contains(std::string_view name) const {
    if (count == 0) return false;
    std::uint32_t hash = hashName(name);
    if (filter != nullptr && !mayContain(hash)) return false;
    return find(name, hash)->entry != nullptr;
  }

  void clear() {
    std::free(slots);
    std::free(filter);
    *this = NameIndex{};
  }
};

NameIndex gmIndex;

// The candidate name of a line: its text up to the first CR, LF, NUL, blank or tab.
std::string_view candidateName(const sys::Piece& piece) {
  std::size_t n = 0;
  while (n < piece.size) {
    char c = piece.data[n];
    if (c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t') break;
    ++n;
  }
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
    if (status == sys::LineReader::Status::End) {
      gmIndex.buildFilter();
      return 0;
    }
    if (status == sys::LineReader::Status::Error) {
      sys::reportSystemError("fread(gmFile)", reader.error());
      return -1;
    }
    // The rest of an overlong line is not a line of its own and names nobody.
    if (!piece.startsLine) continue;
    std::string_view name = candidateName(piece);
    if (name.size() < 2) continue;
    if (name.size() > kMaxName) name = name.substr(0, kMaxName);

    auto* entry = static_cast<GmEntry*>(std::malloc(sizeof(GmEntry)));
    if (entry == nullptr) return reportOutOfMemory();
    std::memcpy(entry->name, name.data(), name.size());
    entry->name[name.size()] = '\0';
    entry->next = gmList;
    gmList = entry;
    if (!gmIndex.add(entry)) return reportOutOfMemory();
  }
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
  return name.size() <= kMaxName && gmIndex.contains(name);
}

void clearGmList() {
  gmIndex.clear();
  while (gmList != nullptr) {
    GmEntry* next = gmList->next;
    std::free(gmList);
    gmList = next;
  }
}
