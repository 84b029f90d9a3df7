#include "text/classify.h"

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A line of at most 253 characters, its CR LF and no other CR or 0x1A.
bool isPlainLine(const std::string& line) {
  return line.size() >= 2 && line.size() <= 255 && line[line.size() - 2] == '\r' &&
         line.find_first_of(std::string("\r\x1a")) == line.size() - 2;
}

bool needsALook(const std::string& line) {
  return line[0] == '[' || (static_cast<signed char>(line[0]) <= ' ' && line[0] != '\r') ||
         ((line[0] | 0x20) == 'p' && ((line[1] | 0x20) == 'l' || (line[1] | 0x20) == 'r'));
}

// The lines to inspect by the definition, one line at a time: every line that ends within the first
// covered bytes is classified, and the end is the start of the first line that does not.
std::size_t referenceLinesToInspect(
    const std::string& t, std::size_t covered,
    std::vector<std::pair<std::uint32_t, std::uint32_t>>& expected) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = t.find('\n', start);
    if (lf == std::string::npos || lf >= covered) return start;
    std::string line = t.substr(start, lf + 1 - start);
    if (!isPlainLine(line) || needsALook(line)) {
      expected.emplace_back(static_cast<std::uint32_t>(start),
                            isPlainLine(line) ? static_cast<std::uint32_t>(lf + 1) : 0);
    }
    start = lf + 1;
  }
}

TEST(FindLinesToInspect, MatchesTheDefinitionOnRandomInput) {
  std::mt19937 rng(99);
  const char odd[] = {'[', 'p', 'P', 'l', 'R', '\r', '\n', 0x1a, ' ', '\t', '\xA0'};
  // White space that begins a line, and the bytes beside the range that do not count.
  const char* const keys[] = {"[",  "pl",   "PR",   "pR",   "Pa",   " ",    "\t",  "\v",
                              "\f", "\xA0", "\x80", "\xFF", "\x7F", "\x21", "\x60"};
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    while (t.size() < 900) {
      std::string body(rng() % 8 == 0 ? rng() % 300 : rng() % 40, 'a');
      for (char& c : body) {
        if (rng() % 60 == 0) c = odd[rng() % sizeof odd];
      }
      if (rng() % 3 == 0) body = keys[rng() % (sizeof keys / sizeof keys[0])] + body;
      t += body + (rng() % 30 == 0 ? "\n" : "\r\n");
    }
    std::size_t n = 65 + rng() % (t.size() - 65);
    // Whole 64-byte blocks are looked at, each with one byte after it.
    std::size_t covered = (n - 1) / 64 * 64;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> all;
    std::size_t allEnd = referenceLinesToInspect(t, covered, all);
    ASSERT_EQ(text::findLinesToInspectVersions().back(), text::findLinesToInspectPortable);
    for (std::size_t room : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> want(
          all.begin(), all.begin() + std::min(room, all.size()));
      std::size_t wantEnd = room < all.size() ? all[room].first : allEnd;
      int version = 0;
      for (auto find : text::findLinesToInspectVersions()) {
        std::vector<text::LineToInspect> found(room + 1);
        std::size_t count = 0;
        std::size_t end = find(t.data(), n, found.data(), room, count);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
        // A line to inspect that begins the unfinished last line may be listed too.
        for (std::size_t i = 0; i < count && found[i].start < end; ++i)
          got.emplace_back(found[i].start, found[i].end);
        ASSERT_EQ(end, wantEnd) << "round " << round << " room " << room << " version " << version;
        ASSERT_EQ(got, want) << "round " << round << " room " << room << " version " << version;
        ++version;
      }
    }
    ASSERT_EQ(text::passingRunLength(t.data(), n), all.empty() ? allEnd : all[0].first);
  }
}

TEST(FindLineSpecial, FindsTheFirstOfLfCrSubAndStopsAtTheLimit) {
  std::string plain(64, 'a');
  plain.append(32, '\0');  // room for whole-vector reads
  for (auto find : {text::findLineSpecialPortable, text::findLineSpecial}) {
    EXPECT_EQ(find(plain.data(), 64), 64u);
    for (char special : {'\n', '\r', '\x1a'}) {
      for (std::size_t at : {0u, 5u, 15u, 16u, 17u, 40u, 63u}) {
        std::string t = plain;
        t[at] = special;
        EXPECT_EQ(find(t.data(), 64), at);
        EXPECT_EQ(find(t.data(), at), at) << "beyond the limit is not looked at";
      }
    }
  }
}

}  // namespace
