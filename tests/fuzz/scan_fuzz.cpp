// libFuzzer target: arbitrary bytes as a GM list and an account file, through the real reader,
// GM list, scan and writer, against the rules applied one piece at a time (reference.h): the
// copy holds exactly the lines that may stay, in order, with one report per line left out.
// Input: the first byte is the GM list's length, then the GM list, then the account file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/scan.h"
#include "reference.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// Small blocks, so that a few hundred bytes cross their edges, and no mebibyte is allocated and
// freed for every input.
constexpr std::size_t kBlock = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t gmSize = data[0] < size - 1 ? data[0] : size - 1;
  std::string gm(reinterpret_cast<const char*>(data) + 1, gmSize);
  std::string accounts(reinterpret_cast<const char*>(data) + 1 + gmSize, size - 1 - gmSize);

  GmList gmList;
  testing_util::StringSource gmSource(gm, 7);
  bool loaded = readGmList(gmSource, gmList, kBlock).ok();
  check(loaded == reference::gmNames(gm).has_value(), "the GM list loads unless it is UTF-16");
  if (!loaded) return 0;

  testing_util::StringSource source(accounts, 1 + size % 300);
  testing_util::StringSink sink;
  text::TextWriter writer(sink, 600);
  char* reportText = nullptr;
  std::size_t reportSize = 0;
  std::FILE* reports = open_memstream(&reportText, &reportSize);
  std::int64_t violations = 0;
  bool passed = filterAccounts(source, gmList, writer, reports, violations, kBlock).ok();
  std::fclose(reports);
  std::string printed(reportText, reportSize);
  std::free(reportText);

  reference::ScanOutcome expected = reference::scan(accounts, gm);
  check(passed == (expected.violations >= 0), "the pass succeeds unless the file is UTF-16");
  if (!passed) return 0;
  check(sink.data == expected.output, "the copy holds exactly the lines that may stay, in order");
  check(printed == expected.reports, "one report per line left out, as the rules word it");
  check(violations == expected.violations, "one violation per line left out");
  return 0;
}
