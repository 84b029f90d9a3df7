// libFuzzer target: arbitrary bytes as a GM list file, through the real reader and name index,
// against the list's rules applied line by line (reference.h): the same names, in order, each
// stored whole and found in any ASCII case; names that differ are not found; a UTF-16 file is
// refused. Input: the GM list file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "reference.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

std::string swapCase(std::string name) {
  for (char& c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) c = static_cast<char>(c ^ 0x20);
  }
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string file(reinterpret_cast<const char*>(data), size);
  GmList list;
  testing_util::StringSource source(file, 1 + size % 61);
  bool loaded = readGmList(source, list, 512).ok();
  std::optional<std::vector<std::string>> names = reference::gmNames(file);
  fuzz::check(loaded == names.has_value(), "a list loads unless it is UTF-16");
  if (!loaded) return 0;

  fuzz::check(list.size() == names->size(), "one entry per name, in the file's order");
  for (std::size_t i = 0; i < names->size(); ++i) {
    const std::string& name = (*names)[i];
    char field[32] = {};
    std::memcpy(field, name.data(), name.size());
    fuzz::check(std::memcmp(list.entry(i).name, field, sizeof field) == 0,
                "each entry holds its name, zeros after it");
    fuzz::check(list.contains(name), "every name is found");
    // In another case, and names next to a listed one: one byte more or less, or one byte
    // changed. For the first few names only, which keeps the cost of an input down.
    if (i >= 8) continue;
    fuzz::check(list.contains(swapCase(name)), "a name is found in any case");
    const std::string near[] = {name + "x", name.substr(0, name.size() - 1), name.substr(1),
                                std::string(1, '\x01') + name.substr(1)};
    for (const std::string& other : near) {
      fuzz::check(list.contains(other) == reference::isListed(*names, other),
                  "a name is found exactly when it is listed");
    }
  }
  // Slices of the input itself, which the fuzzer steers towards names; as a header's name, cut at
  // a NUL.
  for (std::size_t at = 0; at + 2 <= size && at < 64; at += 7) {
    std::string slice = file.substr(at, 2 + (data[at] % 30));
    slice = slice.substr(0, slice.find('\0'));
    fuzz::check(list.contains(slice) == reference::isListed(*names, slice),
                "a name is found exactly when it is listed");
  }
  return 0;
}
