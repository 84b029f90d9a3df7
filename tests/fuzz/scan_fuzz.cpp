// libFuzzer target: arbitrary bytes as a GM list and an account file, through the real reader,
// GM list, scan and writer, against the rules applied one piece at a time (reference.h): the
// copy holds exactly the lines that may stay, in order, with one report per line left out.
// Input: the first byte is the GM list's length, then the GM list, then the account file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/scan.h"
#include "fuzz/fuzz_input.h"
#include "reference.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

// Small blocks, so that a few hundred bytes cross their edges, and no mebibyte is allocated and
// freed for every input.
constexpr std::size_t kBlock = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto [gm, accounts] = fuzz::splitInput(data, size);

  GmList gmList;
  testing_util::StringSource gmSource(gm, 7);
  bool loaded = readGmList(gmSource, gmList, kBlock).ok();
  fuzz::check(loaded == reference::gmNames(gm).has_value(),
              "the GM list loads unless it is UTF-16");
  if (!loaded) return 0;

  testing_util::StringSource source(accounts, 1 + size % 300);
  testing_util::StringSink sink;
  text::TextWriter writer(sink, 600);
  char* reportText = nullptr;
  std::size_t reportSize = 0;
  std::FILE* reports = open_memstream(&reportText, &reportSize);
  PassCount count;
  bool passed = filterAccounts(source, gmList, writer, reports, count, kBlock).ok();
  std::fclose(reports);
  std::string printed(reportText, reportSize);
  std::free(reportText);

  reference::ScanOutcome expected = reference::scan(accounts, gm);
  fuzz::check(passed == (expected.violations >= 0), "the pass succeeds unless the file is UTF-16");
  if (!passed) return 0;
  fuzz::check(sink.data == expected.output,
              "the copy holds exactly the lines that may stay, in order");
  fuzz::check(printed == expected.reports, "one report per line left out, as the rules word it");
  fuzz::check(count.violations == expected.violations, "one violation per line left out");
  return 0;
}
