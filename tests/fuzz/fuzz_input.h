// What the fuzz targets share: how a property is checked, and how an input holds a GM list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Stops the run when a property is broken, so that libFuzzer keeps the input.
inline void check(bool condition, const char* property) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
  }
}

// An input that is the GM list's length in its first byte, the GM list, then the rest.
struct ListAndRest {
  std::string gmList;
  std::string rest;
};

inline ListAndRest splitInput(const std::uint8_t* data, std::size_t size) {
  std::size_t gmSize = data[0] < size - 1 ? data[0] : size - 1;
  const char* bytes = reinterpret_cast<const char*>(data);
  return {std::string(bytes + 1, gmSize), std::string(bytes + 1 + gmSize, size - 1 - gmSize)};
}

}  // namespace fuzz
