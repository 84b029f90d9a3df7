// libFuzzer target: arbitrary bytes as a GM list and an account file, through the real reader,
// scan and writer, checked against the filter's rules applied one line at a time: the copy holds
// exactly the lines that may stay, in order, and there is one violation and one report per line
// removed.
// Input: the first byte is the GM list's length, then the GM list, then the account file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/scan.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t gmSize = data[0] < size - 1 ? data[0] : size - 1;
  std::string gm(reinterpret_cast<const char*>(data) + 1, gmSize);
  std::string accounts(reinterpret_cast<const char*>(data) + 1 + gmSize, size - 1 - gmSize);

  testing_util::StringSource gmSource(gm, 7);
  bool gmIsUtf16 = gm.starts_with("\xFF\xFE") || gm.starts_with("\xFE\xFF");
  GmList gmList;
  bool loaded = readGmList(gmSource, gmList).ok();
  check(loaded == !gmIsUtf16, "the GM list loads unless it is UTF-16");
  if (!loaded) return 0;

  testing_util::StringSource source(accounts, 1 + size % 300);
  testing_util::StringSink sink;
  text::TextWriter writer(sink, 600);
  char* reportText = nullptr;
  std::size_t reportSize = 0;
  std::FILE* reports = open_memstream(&reportText, &reportSize);
  std::int64_t violations = 0;
  if (!filterAccounts(source, gmList, writer, reports, violations).ok()) violations = -1;
  std::fclose(reports);
  std::string printed(reportText, reportSize);
  std::free(reportText);

  testing_util::ScanOutcome expected = testing_util::referenceScan(accounts, gmList);
  check(violations >= 0 || expected.violations < 0, "the pass succeeds unless the file is UTF-16");
  check(sink.data == expected.output, "the copy holds exactly the lines that may stay, in order");
  check(violations == expected.violations, "one violation per removed line");
  std::size_t reportLines = 0;
  for (char c : printed) reportLines += c == '\n' ? 1 : 0;
  std::int64_t removed = expected.violations < 0 ? 0 : expected.violations;
  check(reportLines == static_cast<std::size_t>(removed), "one report per removed line");

  return 0;
}
