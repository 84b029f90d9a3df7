#include "filter/replace.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "filter/scan.h"
#include "sys/platform.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

const char kAccounts[] = "[tobin]\r\nPLEVEL=2\r\nPASSWORD=sparrow\r\n";
const char kSaved[] = "[tobin]\r\nPLEVEL=2\r\nPASSWORD=sparrow\r\n[newbie]\r\nPASSWORD=x\r\n";

void write(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A working directory of its own, which the copy's relative name needs.
class ReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Test processes run side by side: a directory of this process and this test.
    dir_ = fs::temp_directory_path() /
           ("quelm-" + std::to_string(sys::processId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    cwd_ = fs::current_path();
    fs::current_path(dir_);
    write("accounts.scp", kAccounts);
  }
  void TearDown() override {
    fs::current_path(cwd_);
    fs::remove_all(dir_);
  }

  // Scans, lets change() act as another writer, then replaces: whether that was done, and the
  // report of a failure.
  template <typename Change>
  bool scanChangeReplace(Change change, std::string& err) {
    FilteredCopy copy;
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(scanAccountFile("accounts.scp", testing_util::gmListOf("Admin\n"), copy).ok());
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(copy.violations, 1);
    change();
    Outcome replaced = replaceAccountFile("accounts.scp", copy);
    ::testing::internal::CaptureStderr();
    if (!replaced.ok()) replaced.report();
    err = ::testing::internal::GetCapturedStderr();
    return replaced.ok();
  }

  fs::path dir_, cwd_;
};

// The server saved while the run was busy: the save stays, nothing is replaced or backed up, and
// the copy stays for inspection.
TEST_F(ReplaceTest, AccountFileChangedDuringTheRunIsLeftAsSaved) {
  const struct {
    const char* name;
    void (*save)();
  } cases[] = {
      {"rewritten in place, longer", [] { write("accounts.scp", kSaved); }},
      {"rewritten in place, shorter", [] { write("accounts.scp", "[tobin]\r\n"); }},
      {"renamed over",
       [] {
         write("saving", kSaved);
         fs::rename("saving", "accounts.scp");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("accounts.scp", kAccounts);
    std::string saved;
    std::string err;
    bool replaced = scanChangeReplace(
        [&] {
          c.save();
          saved = read("accounts.scp");
        },
        err);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(err, "stat(acctFile): the account file changed during the run; filter it again\n");
    EXPECT_EQ(read("accounts.scp"), saved);
    EXPECT_FALSE(fs::exists("accounts.scp.old"));
    EXPECT_TRUE(fs::exists(kTempFileName));
  }
}

#ifndef _WIN32
// Windows keeps anyone else from replacing the copy while the run holds it.
TEST_F(ReplaceTest, CopyReplacedUnderItsNameIsNotMoved) {
  std::string err;
  bool replaced = scanChangeReplace(
      [] {
        fs::remove(kTempFileName);
        write(kTempFileName, "another run's copy");
      },
      err);
  EXPECT_FALSE(replaced);
  EXPECT_EQ(err, "rename(tmpFile): ..newaccu.scp is no longer this run's copy\n");
  EXPECT_EQ(read("accounts.scp"), kAccounts);
  EXPECT_EQ(read(kTempFileName), "another run's copy");
  EXPECT_FALSE(fs::exists("accounts.scp.old"));
}
#endif

}  // namespace
