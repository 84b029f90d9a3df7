#include "sys/utf16.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
  const char* name;
  std::u16string wide;
  std::string utf8;
};

// Every name Windows takes goes to UTF-8 and back unchanged, also one with a surrogate that
// stands alone; and the path limit counts what Windows counts.
TEST(Utf16, NamesGoThereAndBackWhole) {
  const PathCase cases[] = {
      {"ascii", u"C:\\sphere\\save\\sphereaccu.scp", "C:\\sphere\\save\\sphereaccu.scp"},
      {"greek and cyrillic", u"\u03a9\u043c\u044f", "\xCE\xA9\xD0\xBC\xD1\x8F"},
      {"cjk", u"\u6f22\u5b57", "\xE6\xBC\xA2\xE5\xAD\x97"},
      {"beyond U+FFFF", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"lone high surrogate", std::u16string{u'\xD83D', u'x'}, "\xED\xA0\xBDx"},
      {"lone low surrogate at the end", std::u16string{u'x', u'\xDE00'}, "x\xED\xB8\x80"},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sys::toUtf8(c.wide), c.utf8);
    std::u16string back;
    ASSERT_TRUE(sys::toUtf16(c.utf8, back));
    EXPECT_EQ(back, c.wide);
    EXPECT_EQ(sys::utf16Length(c.utf8), c.wide.size());
  }
}

TEST(Utf16, BytesThatAreNotUtf8AreRefused) {
  for (const char* bytes : {"\xFF", "\xC0\x80", "\xE2\x82", "a\x80", "\xF4\x90\x80\x80"}) {
    std::u16string out;
    EXPECT_FALSE(sys::toUtf16(bytes, out)) << bytes;
  }
  // Each such byte counts as one unit towards the path limit.
  EXPECT_EQ(sys::utf16Length("\xFF\xFEx"), 3u);
}

}  // namespace
