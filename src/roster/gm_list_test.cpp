#include "roster/gm_list.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using namespace std::string_literals;

// What a failed outcome reports on standard error.
std::string reportOf(const Outcome& outcome) {
  ::testing::internal::CaptureStderr();
  outcome.report();
  return ::testing::internal::GetCapturedStderr();
}

struct RosterCase {
  const char* name;
  std::string file;
  std::vector<std::string> listed;
  std::vector<std::string> notListed;
};

// Test names, not bytes, in test listings.
void PrintTo(const RosterCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string name31 = "abcdefghijklmnopqrstuvwxyz01234";

const RosterCase kRosterCases[] = {
    {"NameEndsAtBlankOrTab",
     "Admin head admin\r\nmoira\tcounselor\r\n",
     {"Admin", "moira"},
     {"Admin head admin", "head", "counselor"}},
    {"AnyAsciiCase",
     "GreyHawk\r\n",
     {"greyhawk", "GREYHAWK", "GreyHawk"},
     {"greyhaw", "greyhawks"}},
    {"OnlyAsciiLettersFold", "\xc9lan\r\n", {"\xc9lan", "\xc9LAN"}, {"\xe9lan"}},
    {"LeadingBlankOrTabGivesNoName", " lead\r\n\tsecond\r\n", {}, {"lead", "second", ""}},
    {"OneCharacterIsNoName", "a\r\nbb\r\n\r\n", {"bb"}, {"a", ""}},
    {"EmptyFile", "", {}, {"admin", ""}},
    {"ThirtyOneCharactersStoredWhole", name31 + "\n", {name31}, {name31 + "5"}},
    {"LongerNamesCutToThirtyOne", name31 + "56789\n", {name31}, {name31 + "56789"}},
    {"LastLineWithoutLineFeed", "one\r\ntwo", {"one", "two"}, {}},
    {"DuplicateNames", "gm1\ngm1\nGM1\n", {"gm1"}, {}},
    {"LoneCrJoinsText", "ab\rcd\r\n", {"abcd"}, {"ab", "cd"}},
    {"NulEndsTheName", "ab\0cd\r\n"s, {"ab"}, {"cd", "ab\0cd"s}},
    {"SubDoesNotEndTheList", "gm1\r\n\x1agm2\r\n\x1a\r\ngm3"s, {"gm1", "gm2", "gm3"}, {}},
    {"Utf8MarkIsNotPartOfTheFirstName",
     "\xEF\xBB\xBF"
     "admin\r\ngm2\r\n",
     {"admin", "gm2"},
     {"\xEF\xBB\xBF"
      "admin"}},
    {"MarkBytesOnALaterLineArePartOfTheName",
     "admin\r\n\xEF\xBB\xBFgm2\r\n",
     {"admin", "\xEF\xBB\xBFgm2"},
     {"gm2"}},
    {"RestOfAnOverlongLineNamesNobody",
     "first " + std::string(248, 'x') + "tailname more\r\nsecond\r\n",
     {"first", "second"},
     {"tailname", "xxtailname"}},
};

class RosterTable : public ::testing::TestWithParam<RosterCase> {};

TEST_P(RosterTable, Lookup) {
  const RosterCase& c = GetParam();
  testing_util::StringSource source(c.file);
  GmList list;
  ASSERT_TRUE(readGmList(source, list).ok());
  for (const std::string& name : c.listed) EXPECT_TRUE(list.contains(name)) << name;
  for (const std::string& name : c.notListed) EXPECT_FALSE(list.contains(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(Rules, RosterTable, ::testing::ValuesIn(kRosterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GmList, ManyNamesAllFound) {
  const int kNames = 120000;
  std::string file;
  for (int i = 0; i < kNames; ++i) file += "gm" + std::to_string(i) + "\r\n";
  testing_util::StringSource source(file);
  GmList list;
  ASSERT_TRUE(readGmList(source, list).ok());
  for (int i = 0; i < kNames; ++i) ASSERT_TRUE(list.contains("GM" + std::to_string(i))) << i;
  EXPECT_TRUE(list.contains("gm" + std::to_string(kNames - 1)));
  EXPECT_FALSE(list.contains("gm" + std::to_string(kNames)));
  EXPECT_EQ(list.size(), std::size_t{kNames});
}

// Lists of every size around the index's bucket counts: each name is found, in any case, and
// none of a run of names that are not listed.
TEST(GmList, EveryListSizeFindsItsNames) {
  for (int size : {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 33, 64, 65, 257, 1000, 4096, 4097}) {
    std::string file;
    for (int i = 0; i < size; ++i) file += "Name" + std::to_string(i) + "\r\n";
    testing_util::StringSource source(file);
    GmList list;
    ASSERT_TRUE(readGmList(source, list).ok()) << size;
    for (int i = 0; i < size; ++i) {
      ASSERT_TRUE(list.contains("name" + std::to_string(i))) << size << " names, " << i;
      ASSERT_TRUE(list.contains("NAME" + std::to_string(i))) << size << " names, " << i;
    }
    for (int i = size; i < 2 * size + 10; ++i) {
      ASSERT_FALSE(list.contains("name" + std::to_string(i))) << size << " names, " << i;
    }
  }
}

// Names of every length, from bytes of every kind: each entry holds exactly the name, cut to 31
// characters, and zeros after it, and the name is found in another case, but not with any one of
// its bytes changed.
TEST(GmList, EveryNameLengthStoredExactly) {
  for (std::size_t length = 2; length <= 40; ++length) {
    // Letters of both cases, bytes above 127, and no byte that ends a name or is translated.
    const std::string kBytes = "aZ~\x7f\x80\xf0"s + "9_";
    std::string name;
    for (std::size_t i = 0; i < length; ++i) name += static_cast<char>(kBytes[i % 8] + i / 8);
    testing_util::StringSource source(name + "\r\n");
    GmList list;
    ASSERT_TRUE(readGmList(source, list).ok()) << length;
    std::string stored = name.substr(0, 31);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list.entry(0).name, sizeof list.entry(0).name),
              stored + std::string(32 - stored.size(), '\0'))
        << length;
    std::string upper = stored;
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
    EXPECT_TRUE(list.contains(upper)) << length;
    for (std::size_t i = 0; i < stored.size(); ++i) {
      std::string changed = stored;
      changed[i] = static_cast<char>(changed[i] ^ 0x01);
      EXPECT_FALSE(list.contains(changed)) << length << " changed at " << i;
    }
  }
}

// A long list of lines of every kind, through whatever way the loading takes for each, gives
// the names that reading it a piece at a time by the rules gives, in the list's order.
TEST(GmList, MixedLinesGiveTheNamesOfTheirPieces) {
  std::string file;
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  const std::string kOdd[] = {"\r\n",
                              "x\r\n",
                              " lead\r\n",
                              "\tlead\r\n",
                              "pl\r\n",
                              "PRIVy\r\n",
                              "[bracket]\r\n",
                              "ab\0cd\r\n"s,
                              "lf only\n",
                              "ab\rcd\r\n",
                              "\x1a"
                              "sub\r\n",
                              "cr\r\r\n",
                              "tail\x1a\r\n",
                              "joined\r"};
  for (int line = 0; line < 30000; ++line) {
    std::uint32_t kind = next(10);
    if (kind < 6) {
      std::size_t length = 2 + next(34);
      for (std::size_t i = 0; i < length; ++i) {
        // Now and then a byte below the blank that ends nothing, or one above 127.
        file += next(10) == 0 ? "\x01\x0b\x0c\x1b\x1f\x7f\x80\xff"[next(8)]
                              : static_cast<char>('A' + next(58));
      }
      if (kind == 5) file += next(2) == 0 ? " more words" : "\tmore";
      file += "\r\n";
    } else if (kind < 9) {
      file += kOdd[next(std::size(kOdd))];
    } else {
      file += "overlong" + std::string(240 + next(300), next(2) == 0 ? 'o' : ' ') + "next\r\n";
    }
  }

  std::vector<std::string> expected = reference::gmNames(file).value();
  for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{4093}}) {
    testing_util::StringSource source(file, chunk);
    GmList list;
    ASSERT_TRUE(readGmList(source, list).ok());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) names.push_back(list.entry(i).name);
    EXPECT_EQ(names, expected) << chunk;
    for (const std::string& name : expected) ASSERT_TRUE(list.contains(name)) << name;
  }
}

// Every byte against every byte: only A to Z and a to z match across case, and nothing else
// matches anything but itself.
TEST(GmList, CaseFoldingByteByByte) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  std::string file;
  std::vector<unsigned char> listed;
  for (int c = 1; c < 256; ++c) {
    // Bytes that end a name or that the reading of the file translates.
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == 0x1a) continue;
    if (c >= 'a' && c <= 'z') continue;  // listed in upper case only
    file += 'q';
    file += static_cast<char>(c);
    file += "x\n";
    listed.push_back(static_cast<unsigned char>(c));
  }
  testing_util::StringSource source(file);
  GmList list;
  ASSERT_TRUE(readGmList(source, list).ok());
  for (int d = 1; d < 256; ++d) {
    if (d == '\r' || d == '\n' || d == ' ' || d == '\t') continue;
    bool want = false;
    for (unsigned char c : listed) want = want || fold(c) == fold(static_cast<unsigned char>(d));
    std::string name(1, 'q');
    name += static_cast<char>(d);
    name += 'X';
    EXPECT_EQ(list.contains(name), want) << "byte " << d;
  }
}

TEST(GmList, ReadErrorFailsTheLoad) {
  testing_util::StringSource source(std::string(5000, 'n') + "\n", 100, 1000);
  GmList list;
  Outcome read = readGmList(source, list);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(reportOf(read).rfind("fread(gmFile): ", 0), 0u) << reportOf(read);
}

// What Windows PowerShell 5.1 writes by default: no name of it would ever match.
TEST(GmList, Utf16IsRefused) {
  for (std::string file : {"\xFF\xFE"
                           "a\0d\0m\0i\0n\0\r\0\n\0"s,
                           "\xFE\xFF\0a\0d\0m\0i\0n"s}) {
    testing_util::StringSource source(file);
    GmList list;
    EXPECT_EQ(reportOf(readGmList(source, list)),
              "fread(gmFile): the GM list is UTF-16 text; save it as ANSI or UTF-8\n");
  }
}

TEST(GmList, MissingFileIsReported) {
  GmList list;
  std::string err = reportOf(loadGmList("no/such/gm/list.txt", list));
  EXPECT_EQ(err.rfind("fopen(gmFile): ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
}

}  // namespace
