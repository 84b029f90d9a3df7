// A set of bytes to test membership in with one look-up, for loops that run over every byte of
// a name or a header.
#pragma once

#include <initializer_list>

namespace text {

class ByteSet {
 public:
  constexpr ByteSet(std::initializer_list<char> bytes) : has_() {
    for (char c : bytes) has_[static_cast<unsigned char>(c)] = true;
  }
  constexpr bool has(char c) const { return has_[static_cast<unsigned char>(c)]; }

 private:
  bool has_[256];
};

}  // namespace text
