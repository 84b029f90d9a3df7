#include "sys/line_reader.h"

#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using testing_util::ReadPiece;
using testing_util::readPieces;
using testing_util::referencePieces;
using namespace std::string_literals;

struct ReaderCase {
  const char* name;
  std::string input;
  std::vector<ReadPiece> expected;
};

// Test names, not bytes, in test listings.
void PrintTo(const ReaderCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string x253(253, 'x');
const std::string x254(254, 'x');

const ReaderCase kReaderCases[] = {
    {"Empty", "", {}},
    {"CrLfReadsAsLf", "ab\r\ncd\r\n", {{"ab\n", true}, {"cd\n", true}}},
    {"LfAlone", "ab\ncd\n", {{"ab\n", true}, {"cd\n", true}}},
    {"LoneCrJoinsBothSides", "ab\rcd\n", {{"abcd\n", true}}},
    {"CrCrReadsAsOneCr", "ab\r\r\n", {{"ab\r\n", true}}},
    {"CrCrCrLf", "ab\r\r\r\n", {{"ab\r\n", true}}},
    {"CrAtEndOfFileIsLost", "ab\r", {{"ab", true}}},
    {"LoneCrFile", "\r", {}},
    {"LastLineWithoutLineFeed", "ab\ncd", {{"ab\n", true}, {"cd", true}}},
    {"SubInsideLineIsDropped", "a\x1a"s + "b\r\n", {{"ab\n", true}}},
    {"SubFirstInPieceDoesNotEndFile", "ab\n\x1a"s + "cd\n", {{"ab\n", true}, {"cd\n", true}}},
    {"SubAsLastByte", "ab\n\x1a"s, {{"ab\n", true}}},
    {"OnlySub", "\x1a"s, {}},
    {"CrSubCrLfDropsBothCrs", "a\r\x1a\r\n"s, {{"a\n", true}}},
    {"NulIsAnOrdinaryByte", "a\0b\r\n"s, {{"a\0b\n"s, true}}},
    {"BlankLines", "\n\r\n\n", {{"\n", true}, {"\n", true}, {"\n", true}}},
    {"Line253Fits", x253 + "\r\n", {{x253 + "\n", true}}},
    {"Line254SplitsBeforeLineFeed", x254 + "\r\n", {{x254, true}, {"\n", false}}},
    {"Line254LfOnly", x254 + "\n", {{x254, true}, {"\n", false}}},
    {"Line255", x254 + "y\n", {{x254, true}, {"y\n", false}}},
    {"Line600",
     std::string(600, 'z') + "\r\nnext\r\n",
     {{std::string(254, 'z'), true},
      {std::string(254, 'z'), false},
      {std::string(92, 'z') + "\n", false},
      {"next\n", true}}},
    {"LongLineWithoutLineFeedAtEnd", x254 + "ab", {{x254, true}, {"ab", false}}},
    {"DroppedCrsDoNotCountTowardsTheLimit",
     std::string(300, '\r') + "ab\n",
     {{std::string(150, '\r') + "ab\n", true}}},
};

class ReaderTable : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderTable, PiecesMatch) {
  const ReaderCase& c = GetParam();
  EXPECT_EQ(readPieces(c.input), c.expected);
  // The same pieces however the bytes arrive and however small the block is.
  EXPECT_EQ(readPieces(c.input, 1, 512), c.expected);
  EXPECT_EQ(readPieces(c.input, 255, 512), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, ReaderTable, ::testing::ValuesIn(kReaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineReader, MatchesTheByteRulesOnRandomInput) {
  std::mt19937 rng(20261207);
  const char alphabet[] = {'a', 'b', '[', 'p', ' ', '\r', '\n', 0x1a, '\0'};
  for (int round = 0; round < 400; ++round) {
    std::string input;
    int lines = static_cast<int>(rng() % 40);
    for (int l = 0; l < lines; ++l) {
      // Mostly ordinary CR LF lines, some long ones, some full of special bytes.
      std::size_t length = rng() % 8 == 0 ? rng() % 700 : rng() % 40;
      bool special = rng() % 4 == 0;
      for (std::size_t i = 0; i < length; ++i) {
        input += special ? alphabet[rng() % sizeof alphabet] : static_cast<char>('a' + rng() % 26);
      }
      input += rng() % 3 == 0 ? "\n" : "\r\n";
    }
    if (rng() % 2 == 0 && !input.empty()) input.pop_back();
    std::vector<ReadPiece> expected = referencePieces(input);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{13}, std::size_t{1} << 20}) {
      ASSERT_EQ(readPieces(input, chunk, 512), expected) << "round " << round;
    }
  }
}

TEST(LineReader, HandsOutCrLfLinesInFileForm) {
  testing_util::StringSource source("key=value\r\nbare\n");
  sys::LineReader reader(source);
  sys::Piece piece;
  ASSERT_EQ(reader.next(piece), sys::LineReader::Status::Piece);
  EXPECT_TRUE(piece.fileForm);
  EXPECT_EQ(std::string(piece.data, piece.size), "key=value\r\n");
  ASSERT_EQ(reader.next(piece), sys::LineReader::Status::Piece);
  EXPECT_FALSE(piece.fileForm);
  EXPECT_EQ(std::string(piece.data, piece.size), "bare\n");
}

TEST(LineReader, ReadErrorIsNotAnEndOfFile) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "line\r\n";
  testing_util::StringSource source(input, 100, 3000);
  sys::LineReader reader(source, 512);
  sys::Piece piece;
  sys::LineReader::Status status;
  int pieces = 0;
  while ((status = reader.next(piece)) == sys::LineReader::Status::Piece) ++pieces;
  EXPECT_EQ(status, sys::LineReader::Status::Error);
  EXPECT_EQ(reader.error(), testing_util::kReadError);
  EXPECT_LT(pieces, 500);
}

TEST(LineReader, TellsBeforeReusingItsBlock) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "line\r\n";
  testing_util::StringSource source(input);
  sys::LineReader reader(source, 1024);
  int reuses = 0;
  reader.onBufferReuse([&reuses] { ++reuses; });
  sys::Piece piece;
  while (reader.next(piece) == sys::LineReader::Status::Piece) {
  }
  EXPECT_GE(reuses, 6000 / 1024);
}

// A line of at most 253 characters, its CR LF and no other CR or 0x1A.
bool isPlainLine(const std::string& line) {
  return line.size() >= 2 && line.size() <= 255 && line[line.size() - 2] == '\r' &&
         line.find_first_of(std::string("\r\x1a")) == line.size() - 2;
}

bool needsALook(const std::string& line) {
  return line[0] == '[' ||
         ((line[0] | 0x20) == 'p' && ((line[1] | 0x20) == 'l' || (line[1] | 0x20) == 'r'));
}

// The loud lines by the definition, one line at a time: every line that ends within the first
// covered bytes is classified, and the end is the start of the first line that does not.
std::size_t referenceLoudLines(const std::string& t, std::size_t covered,
                               std::vector<std::pair<std::uint32_t, std::uint32_t>>& loud) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = t.find('\n', start);
    if (lf == std::string::npos || lf >= covered) return start;
    std::string line = t.substr(start, lf + 1 - start);
    if (!isPlainLine(line) || needsALook(line)) {
      loud.emplace_back(static_cast<std::uint32_t>(start),
                        isPlainLine(line) ? static_cast<std::uint32_t>(lf + 1) : 0);
    }
    start = lf + 1;
  }
}

TEST(FindLoudLines, MatchesTheDefinitionOnRandomInput) {
  std::mt19937 rng(99);
  const char odd[] = {'[', 'p', 'P', 'l', 'R', '\r', '\n', 0x1a};
  const char* const keys[] = {"[", "pl", "PR", "pR", "Pa"};
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    while (t.size() < 900) {
      std::string body(rng() % 8 == 0 ? rng() % 300 : rng() % 40, 'a');
      for (char& c : body) {
        if (rng() % 60 == 0) c = odd[rng() % sizeof odd];
      }
      if (rng() % 3 == 0) body = keys[rng() % 5] + body;
      t += body + (rng() % 30 == 0 ? "\n" : "\r\n");
    }
    std::size_t n = 65 + rng() % (t.size() - 65);
    // Whole 64-byte blocks are looked at, each with one byte after it.
    std::size_t covered = (n - 1) / 64 * 64;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> all;
    std::size_t allEnd = referenceLoudLines(t, covered, all);
    for (std::size_t room : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
      std::vector<std::pair<std::uint32_t, std::uint32_t>> want(
          all.begin(), all.begin() + std::min(room, all.size()));
      std::size_t wantEnd = room < all.size() ? all[room].first : allEnd;
      int version = 0;
      for (auto find : sys::findLoudLinesVersions()) {
        std::vector<sys::LoudLine> loud(room + 1);
        std::size_t count = 0;
        std::size_t end = find(t.data(), n, loud.data(), room, count);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
        // A loud line that begins the unfinished last line may be listed too.
        for (std::size_t i = 0; i < count && loud[i].start < end; ++i)
          got.emplace_back(loud[i].start, loud[i].end);
        ASSERT_EQ(end, wantEnd) << "round " << round << " room " << room << " version " << version;
        ASSERT_EQ(got, want) << "round " << round << " room " << room << " version " << version;
        ++version;
      }
    }
    ASSERT_EQ(sys::quietRunLength(t.data(), n), all.empty() ? allEnd : all[0].first);
  }
}

TEST(FindLineSpecial, FindsTheFirstOfLfCrSubAndStopsAtTheLimit) {
  std::string text(64, 'a');
  text.append(32, '\0');  // room for whole-vector reads
  EXPECT_EQ(sys::findLineSpecial(text.data(), 64), 64u);
  for (char special : {'\n', '\r', '\x1a'}) {
    for (std::size_t at : {0u, 5u, 15u, 16u, 17u, 40u, 63u}) {
      std::string t = text;
      t[at] = special;
      EXPECT_EQ(sys::findLineSpecial(t.data(), 64), at);
      EXPECT_EQ(sys::findLineSpecial(t.data(), at), at) << "beyond the limit is not looked at";
    }
  }
}

}  // namespace
