// Micro-benchmarks of the hot parts, each alone, so that a regression in one shows by itself:
//   cmake -B build -DQUELM_BENCHMARKS=ON && cmake --build build --target micro
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filter/priv.h"
#include "filter/scan.h"
#include "filter/section.h"
#include "roster/gm_list.h"
#include "text/classify.h"
#include "text/line_reader.h"
#include "text/text_writer.h"

namespace {

class MemorySource : public text::ByteSource {
 public:
  explicit MemorySource(const std::string& data) : data_(data) {}
  std::int64_t read(void* buffer, std::size_t size) override {
    std::size_t n = std::min(size, data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::int64_t>(n);
  }

 private:
  const std::string& data_;
  std::size_t pos_ = 0;
};

class NullSink : public text::ByteSink {
 public:
  bool writeAll(const void*, std::size_t) override { return true; }
};

// About 16 MB of accounts as the server writes them.
const std::string& accounts() {
  static const std::string text = [] {
    std::string t;
    for (int i = 0; t.size() < (16u << 20); ++i) {
      t += "[player" + std::to_string(i) + "]\r\nPriv=040\r\nPASSWORD=pw" +
           std::to_string(i * 7919) + "\r\nTOTALCONNECTTIME=" + std::to_string(i % 90000) +
           "\r\nFIRSTCONNECTDATE=2011/04/12 10:22:31\r\nLASTIP=192.0.2." + std::to_string(i % 250) +
           "\r\nLASTCHARUID=0" + std::to_string(i) + "\r\nLANG=ENU\r\nchatname=p" +
           std::to_string(i) + "\r\n\r\n";
    }
    return t;
  }();
  return text;
}

GmList listOfNames(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "gm" + std::to_string(i) + "\r\n";
  MemorySource source(text);
  GmList list;
  readGmList(source, list);
  return list;
}

// Every piece, one line at a time, with the carriage-return rule.
void BM_ReadPieces(benchmark::State& state) {
  const std::string& text = accounts();
  for (auto _ : state) {
    MemorySource source(text);
    text::LineReader reader(source);
    text::Piece piece;
    std::size_t n = 0;
    for (text::LineReader::Status status;
         (status = reader.next(piece)) != text::LineReader::Status::End;) {
      if (status == text::LineReader::Status::Piece) {
        n += piece.size;
      } else if (!reader.moveWindow()) {
        break;
      }
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadPieces);

// The vector scan over lines no one needs to look at.
void BM_PassingRun(benchmark::State& state) {
  std::string text;
  while (text.size() < (4u << 20)) text += "LASTIP=192.0.2.17\r\nTOTALCONNECTTIME=91234\r\n";
  for (auto _ : state) {
    std::size_t done = 0;
    while (done + 65 < text.size()) {
      std::size_t n = text::passingRunLength(text.data() + done, text.size() - done);
      if (n == 0) break;
      done += n;
    }
    benchmark::DoNotOptimize(done);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PassingRun);

// Each version of the classifier this processor runs, fastest first, portable last, over the same
// accounts: a version whose own file lost speed shows here even where it is not the one chosen.
void BM_ClassifierVersion(benchmark::State& state) {
  const auto versions = text::findLinesToInspectVersions();
  const auto index = static_cast<std::size_t>(state.range(0));
  if (index >= versions.size()) {
    state.SkipWithError("this processor runs fewer versions");
    return;
  }
  const std::string& text = accounts();
  std::vector<text::LineToInspect> found(4096);
  for (auto _ : state) {
    std::size_t done = 0;
    while (done + 65 < text.size()) {
      std::size_t count = 0;
      std::size_t n = versions[index](text.data() + done, text.size() - done, found.data(),
                                      found.size(), count);
      if (n == 0) break;
      done += n;
    }
    benchmark::DoNotOptimize(done);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ClassifierVersion)->DenseRange(0, 3);

void BM_ParsePriv(benchmark::State& state) {
  const char* values[] = {"040", "01040", "0x2000", "ffffffff", "-1", "", "0ffff", "1000"};
  for (auto _ : state) {
    std::uint32_t bits = 0;
    for (const char* v : values) bits ^= parsePrivValue(v, std::strlen(v));
    benchmark::DoNotOptimize(bits);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 8));
}
BENCHMARK(BM_ParsePriv);

// A header against lists of 20 and 100,000 names: the cost must not grow with the list.
void BM_HeaderLookup(benchmark::State& state) {
  GmList list = listOfNames(static_cast<int>(state.range(0)));
  const std::string headers[] = {"[player1234]", "[gm17]", "[Staff0]", "[someone_else]"};
  for (auto _ : state) {
    int staff = 0;
    for (const std::string& h : headers) staff += classifySection(h, list) == SectionState::Staff;
    benchmark::DoNotOptimize(staff);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 4));
}
BENCHMARK(BM_HeaderLookup)->Arg(20)->Arg(100000);

// Reading a list of 100,000 names and indexing them: what the long list adds to a run, before
// the account file is opened. The list's memory is fresh on every run of the tool; here it is
// mostly reused, so this is the work alone, without what touching new pages costs.
void BM_LoadGmList(benchmark::State& state) {
  std::string list;
  for (int i = 0; i < 100000; ++i) list += "Staff" + std::to_string(i * 7) + "\r\n";
  for (auto _ : state) {
    MemorySource source(list);
    GmList gmList;
    benchmark::DoNotOptimize(readGmList(source, gmList).ok());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 100000));
}
BENCHMARK(BM_LoadGmList);

// The whole pass in memory: reader, scan and writer, without the file system.
void BM_FilterAccounts(benchmark::State& state) {
  GmList list = listOfNames(20);
  const std::string& text = accounts();
  std::FILE* reports = std::tmpfile();
  for (auto _ : state) {
    MemorySource source(text);
    NullSink sink;
    text::TextWriter writer(sink);
    PassCount count;
    benchmark::DoNotOptimize(filterAccounts(source, list, writer, reports, count).ok());
  }
  std::fclose(reports);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FilterAccounts);

}  // namespace
