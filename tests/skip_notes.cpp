// ctest shows no more of a skipped test than its name. Each suite writes why it skipped a test to
// a file of its own in the folder QUELM_SKIP_NOTES names, and ctest prints them all after the
// last test (tests/ctest_steps.cmake): the reasons stand in ctest's own output.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

class SkipNotes : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& test) override {
    const char* folder = std::getenv("QUELM_SKIP_NOTES");
    if (folder == nullptr || *folder == '\0' || !test.result()->Skipped()) return;
    const std::string name = std::string(test.test_suite_name()) + "." + test.name();
    std::string note = name + ":";
    for (int i = 0; i < test.result()->total_part_count(); ++i) {
      const testing::TestPartResult& part = test.result()->GetTestPartResult(i);
      if (part.skipped()) note += std::string(" ") + part.message();
    }
    for (char& c : note) c = c == '\n' || c == '\r' ? ' ' : c;
    // A file for each test, named by it, so that suites run side by side never share one.
    std::string file = name;
    for (char& c : file) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (std::FILE* out = std::fopen((std::string(folder) + "/" + file).c_str(), "wb")) {
      std::fputs((note + "\n").c_str(), out);
      std::fclose(out);
    }
  }
};

// Before main: the suites use GoogleTest's own.
[[maybe_unused]] const bool registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new SkipNotes);
  return true;
}();

}  // namespace
