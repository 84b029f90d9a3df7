#include "filter/priv.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct PrivCase {
  std::string text;
  std::uint32_t bits;
  bool forbidden;
};

TEST(PrivValue, ConversionAndVerdict) {
  const PrivCase cases[] = {
      {"", 0, false},
      {"0", 0, false},
      {"40", 0x40, false},
      {"1000", 0x1000, false},
      {"1040", 0x1040, false},
      {"0x1040", 0x1040, false},
      {"0X40", 0x40, false},
      {"01040", 0x1040, false},
      {"41", 0x41, true},
      {"2000", 0x2000, true},
      {"10000", 0x10000, true},
      {"0ffff", 0xffff, true},
      {"ffffffff", 0x7fffffff, true},
      {"80000000", 0x7fffffff, true},
      {"7fffffff", 0x7fffffff, true},
      {"123456789abcdef", 0x7fffffff, true},
      {"-1", 0xffffffff, true},
      {"-1040", 0xffffefc0, true},
      {"-80000000", 0x80000000, true},
      {"-ffffffffff", 0x80000000, true},
      {"+40", 0x40, false},
      {"  \t40", 0x40, false},
      {"40 junk", 0x40, false},
      {"4g0", 0x4, true},
      {"0x", 0, false},
      {"0xg", 0, false},
      {"x40", 0, false},
      {"--40", 0, false},
      {"- 40", 0, false},
  };
  for (const PrivCase& c : cases) {
    std::uint32_t bits = parsePrivValue(c.text.data(), c.text.size());
    EXPECT_EQ(bits, c.bits) << '"' << c.text << '"';
    EXPECT_EQ(isForbiddenPriv(bits), c.forbidden) << '"' << c.text << '"';
  }
}

TEST(PrivValue, StopsAtTheGivenEnd) {
  const char text[] = "40ff";
  EXPECT_EQ(parsePrivValue(text, 2), 0x40u);
}

}  // namespace
