#include "text/text_writer.h"

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using namespace std::string_literals;
using testing_util::StringSink;
using testing_util::StringSource;

text::Piece textPiece(const std::string& s) {
  return {s.data(), s.size(), true, false};
}

TEST(TextWriter, WritesLineFeedAsCrLfAndEverythingElseUnchanged) {
  struct Case {
    std::string piece;
    std::string written;
  } cases[] = {
      {"key=value\n", "key=value\r\n"},       {"\n", "\r\n"},
      {"no line end", "no line end"},         {"ab\r\n", "ab\r\r\n"},
      {"a\x1a"s + "b\n", "a\x1a"s + "b\r\n"}, {"a\0b\n"s, "a\0b\r\n"s},
  };
  for (const Case& c : cases) {
    StringSink sink;
    text::TextWriter writer(sink);
    writer.put(textPiece(c.piece));
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.data, c.written) << c.piece;
  }
}

TEST(TextWriter, WritesAdjacentRawPiecesInOneGoAndKeepsOrder) {
  std::string block = "one\r\ntwo\r\nthree\r\n";
  StringSink sink;
  text::TextWriter writer(sink);
  writer.put({block.data(), 5, true, true});
  writer.put({block.data() + 5, 5, true, true});
  writer.put(textPiece("mid\n"));
  writer.put({block.data() + 10, 7, true, true});
  ASSERT_TRUE(writer.flush());
  EXPECT_EQ(sink.data, "one\r\ntwo\r\nmid\r\nthree\r\n");
}

TEST(TextWriter, WriteFailureIsKeptAndReported) {
  StringSink sink(10);
  text::TextWriter writer(sink, 512);
  std::string line(100, 'a');
  line += '\n';
  for (int i = 0; i < 20; ++i) writer.put(textPiece(line));
  EXPECT_FALSE(writer.flush());
  EXPECT_TRUE(writer.failed());
  EXPECT_EQ(writer.error(), testing_util::kDiskFull);
}

// Raw and decoded pieces taking turns, far more of them than one batch of writes holds, with a
// buffer that fills up now and then.
TEST(TextWriter, KeepsOrderAcrossManyBatches) {
  std::string block;
  for (int i = 0; i < 3000; ++i) block += "raw" + std::to_string(i) + "\r\n";
  for (std::size_t bufferSize : {std::size_t{512}, std::size_t{1} << 16}) {
    StringSink sink;
    text::TextWriter writer(sink, bufferSize);
    // Text first, so that a batch fills up on text as well as on raw pieces.
    writer.put(textPiece("first\n"));
    std::string expected = "first\r\n";
    std::size_t at = 0;
    for (int i = 0; i < 3000; ++i) {
      std::size_t size = block.find('\n', at) + 1 - at;
      writer.put({block.data() + at, size, true, true});
      expected += block.substr(at, size);
      at += size;
      std::string text = "text" + std::to_string(i) + "\n";
      writer.put(textPiece(text));
      expected += "text" + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(writer.flush());
    ASSERT_EQ(sink.data, expected) << bufferSize;
  }
}

// A string sink that also records where each of the writer's writes begins and ends.
class ChunkSink : public StringSink {
 public:
  bool writeSpans(const sys::WriteSpan* spans, std::size_t count) override {
    std::size_t start = data.size();
    bool ok = StringSink::writeSpans(spans, count);
    writes_.push_back({start, data.size()});
    return ok;
  }
  std::vector<std::pair<std::size_t, std::size_t>> writes_;
};

// However the pieces come, no write reaches past a chunk boundary, and where nothing else asks
// for a write (a released window, a full batch), each one fills its chunk.
TEST(TextWriter, WritesWithinAlignedChunks) {
  constexpr std::size_t kChunk = text::TextWriter::kChunk;
  std::string block;
  for (int i = 0; block.size() < 5 * kChunk; ++i) block += "line" + std::to_string(i) + "\r\n";
  struct Case {
    const char* name;
    bool raw;
    bool text;
    int releaseEvery;  // pieces; 0 for never
    bool wholeChunks;
  } cases[] = {
      {"raw", true, false, 0, true},
      {"text", false, true, 0, true},
      {"raw and text", true, true, 0, false},
      {"raw, window released", true, false, 1000, false},
  };
  for (const Case& c : cases) {
    ChunkSink sink;
    text::TextWriter writer(sink);
    std::string expected;
    int pieces = 0;
    for (std::size_t at = 0; at < block.size(); ++pieces) {
      std::size_t size = block.find('\n', at) + 1 - at;
      if (c.raw) {
        writer.put({block.data() + at, size, true, true});
        expected += block.substr(at, size);
      }
      if (c.text) {
        writer.putText(block.data() + at, size - 2);
        expected += block.substr(at, size - 2);
      }
      if (c.releaseEvery != 0 && pieces % c.releaseEvery == 0) writer.releaseWindow();
      at += size;
    }
    ASSERT_TRUE(writer.flush());
    ASSERT_EQ(sink.data, expected) << c.name;
    ASSERT_GT(sink.writes_.size(), 4u) << c.name;
    for (std::size_t i = 0; i < sink.writes_.size(); ++i) {
      auto [start, end] = sink.writes_[i];
      EXPECT_EQ(start / kChunk, (end - 1) / kChunk) << c.name << ", write " << i;
      if (c.wholeChunks && i + 1 < sink.writes_.size()) {
        EXPECT_EQ(end % kChunk, 0u) << c.name << ", write " << i;
      }
    }
  }
}

// Reader and writer together, the window moving on included: every line comes out exactly as the
// rules say, whatever mix of raw and decoded pieces the input gives.
TEST(TextWriter, CopiesThroughTheReaderByTheRules) {
  constexpr text::LineReader::Status End = text::LineReader::Status::End;
  std::mt19937 rng(7);
  const char alphabet[] = {'a', '\r', '\n', 0x1a, 'b'};
  for (int round = 0; round < 200; ++round) {
    std::string input;
    std::string expected;
    int lines = static_cast<int>(rng() % 300);
    for (int l = 0; l < lines; ++l) {
      std::string body(rng() % 30, 'k');
      if (rng() % 10 == 0) {
        for (char& c : body) c = alphabet[rng() % sizeof alphabet];
      }
      input += body + (rng() % 5 == 0 ? "\n" : "\r\n");
    }
    // What the rules give, by the reference reading: decode, then LF becomes CR LF.
    for (const auto& piece : reference::pieces(input)) {
      for (char c : piece.text) expected += c == '\n' ? "\r\n"s : std::string(1, c);
    }
    StringSource source(input, 97);
    text::LineReader reader(source, 600);
    StringSink sink;
    text::TextWriter writer(sink, 700);
    text::Piece piece;
    for (text::LineReader::Status status; (status = reader.next(piece)) != End;) {
      if (status == text::LineReader::Status::Piece) {
        writer.put(piece);
        continue;
      }
      writer.releaseWindow();
      ASSERT_TRUE(reader.moveWindow());
    }
    ASSERT_TRUE(writer.flush());
    ASSERT_EQ(sink.data, expected) << "round " << round;
  }
}

}  // namespace
