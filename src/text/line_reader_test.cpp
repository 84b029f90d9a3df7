#include "text/line_reader.h"

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
    std::vector<ReadPiece> expected = reference::pieces(input);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{13}, std::size_t{1} << 20}) {
      ASSERT_EQ(readPieces(input, chunk, 512), expected) << "round " << round;
    }
  }
}

TEST(LineReader, HandsOutPlainLinesRaw) {
  testing_util::StringSource source("key=value\r\nbare\n");
  text::LineReader reader(source);
  text::Piece piece;
  ASSERT_TRUE(testing_util::nextPiece(reader, piece));
  EXPECT_TRUE(piece.raw);
  EXPECT_EQ(std::string(piece.data, piece.size), "key=value\r\n");
  ASSERT_TRUE(testing_util::nextPiece(reader, piece));
  EXPECT_FALSE(piece.raw);
  EXPECT_EQ(std::string(piece.data, piece.size), "bare\n");
}

TEST(LineReader, ReadErrorIsNotAnEndOfFile) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "line\r\n";
  testing_util::StringSource source(input, 100, 3000);
  text::LineReader reader(source, 512);
  text::Piece piece;
  text::LineReader::Status status;
  int pieces = 0;
  bool moved = true;
  while (moved && (status = reader.next(piece)) != text::LineReader::Status::End) {
    if (status == text::LineReader::Status::WindowUsedUp) {
      moved = reader.moveWindow();
    } else {
      ++pieces;
    }
  }
  EXPECT_FALSE(moved) << "the read error ended the file";
  EXPECT_EQ(reader.error(), testing_util::kReadError);
  EXPECT_LT(pieces, 500);
}

// The reader never moves its window by itself: every raw piece it handed out still holds its
// line when it says the window is used up, however the lines fall on the window's edges.
TEST(LineReader, RawPiecesLastUntilTheWindowMoves) {
  std::string input;
  for (int i = 0; i < 1000; ++i) input += "line" + std::to_string(i % 7) + "\r\n";
  for (std::size_t chunk : {std::size_t{1}, std::size_t{100}, std::size_t{1} << 20}) {
    testing_util::StringSource source(input, chunk);
    text::LineReader reader(source, 1024);
    std::vector<std::pair<text::Piece, std::string>> handedOut;
    std::string read;
    int moves = 0;
    for (text::Piece piece;;) {
      text::LineReader::Status status = reader.next(piece);
      if (status == text::LineReader::Status::End) break;
      if (status == text::LineReader::Status::Piece) {
        ASSERT_TRUE(piece.raw);
        handedOut.push_back({piece, std::string(piece.data, piece.size)});
        read += handedOut.back().second;
        continue;
      }
      for (const auto& [piece, bytes] : handedOut) {
        ASSERT_EQ(std::string(piece.data, piece.size), bytes) << "chunk " << chunk;
      }
      handedOut.clear();
      ASSERT_TRUE(reader.moveWindow());
      ++moves;
    }
    EXPECT_EQ(read, input) << "chunk " << chunk;
    EXPECT_GE(moves, static_cast<int>(input.size() / 1024)) << "chunk " << chunk;
  }
}

}  // namespace
