// Fails, one at a time, every system call the program makes, and kills it at every one, and
// checks after each run that the account file was neither lost nor corrupted and that the exit
// status tells the truth.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "fault/accounts.h"

namespace {

using e2e::RunResult;
using e2e::Scratch;

using fixtures::bigAccounts;
using fixtures::kDirty;
using fixtures::kFiltered;
using fixtures::kGmList;

const char kClean[] = "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=sparrow\r\n";
const char kEarlierBackup[] = "an earlier backup\r\n";

struct Scenario {
  const char* name;
  std::string accounts;
  const char* filtered;  // nullptr for a clean file, "" for bigAccounts(true)
  bool otherFileSystem = false;
  bool backupExists = false;
  std::string always;  // an operation that always fails, "link:1" (EPERM): no hard links
};

// Whether the scenario's account file is bigAccounts(false).
bool isBig(const Scenario& s) {
  return s.filtered != nullptr && *s.filtered == '\0';
}

// Test names, not bytes, in test listings.
void PrintTo(const Scenario& c, std::ostream* os) {
  *os << c.name;
}

// One run's directories: the account file's and the working directory.
struct RunDirs {
  Scratch save;
  Scratch work;
  std::string account;
  explicit RunDirs(const Scenario& s) : save(s.otherFileSystem ? "/dev/shm" : ""), work() {
    account = save / "accounts.scp";
    e2e::writeFile(account, s.accounts);
    if (s.backupExists) e2e::writeFile(account + ".old", kEarlierBackup);
    work.write("gm.txt", kGmList);
  }
};

struct Totals {
  int runs = 0;
  int faults = 0;
  int kills = 0;
};
Totals totals;

std::vector<std::string> baseEnv(const Scenario& s) {
  std::vector<std::string> env = {std::string("LD_PRELOAD=") + QUELM_FAULT_SHIM,
                                  "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
  if (!s.always.empty()) env.push_back("QUELM_FAULT_ALWAYS=" + s.always);
  return env;
}

RunResult run(const Scenario& s, RunDirs& setup, std::vector<std::string> extraEnv) {
  e2e::RunOptions options;
  options.env = baseEnv(s);
  options.env.insert(options.env.end(), extraEnv.begin(), extraEnv.end());
  ++totals.runs;
  return e2e::runQuelm({setup.account, "gm.txt"}, setup.work.path(), options);
}

std::map<std::string, long> countCalls(const Scenario& s) {
  RunDirs setup(s);
  std::string countFile = setup.work / "counts";
  run(s, setup, {"QUELM_FAULT_COUNT_FILE=" + countFile});
  std::map<std::string, long> counts;
  std::istringstream in(e2e::readFile(countFile));
  std::string op;
  long n;
  while (in >> op >> n) counts[op] = n;
  return counts;
}

// Everything that must hold after any run, failed, killed or not.
void checkInvariants(const Scenario& s, RunDirs& setup, const RunResult& r, bool killed,
                     const std::string& what) {
  SCOPED_TRACE(std::string(s.name) + ", " + what + ", status " + std::to_string(r.status) +
               ", stderr: " + r.err);
  const std::string old = s.accounts;
  const std::string filtered = s.filtered == nullptr ? s.accounts
                               : isBig(s)            ? bigAccounts(true)
                                                     : std::string(s.filtered);
  std::string account = e2e::readFile(setup.account);
  ASSERT_TRUE(account == old || account == filtered) << "the account file is damaged";
  std::string backupPath = setup.account + ".old";
  bool backup = e2e::fileExists(backupPath);
  if (s.backupExists) {
    EXPECT_EQ(e2e::readFile(backupPath), kEarlierBackup) << "an earlier backup was overwritten";
  } else if (backup) {
    EXPECT_EQ(e2e::readFile(backupPath), old) << "the backup is not the original";
  }
  if (account != old) {
    EXPECT_TRUE(backup) << "replaced without a backup";
  }
  if (killed) return;

  bool done = r.out.find("Done,") != std::string::npos;
  ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 2);
  if (r.status == 2) {
    EXPECT_EQ(account, old) << "status 2 with the account file changed";
    EXPECT_FALSE(done);
    EXPECT_FALSE(r.err.empty()) << "status 2 without a report";
    if (!s.backupExists && what.rfind("unlink", 0) != 0) {
      EXPECT_FALSE(backup) << "a failed run left its backup behind";
    }
  } else if (r.status == 1) {
    ASSERT_NE(s.filtered, nullptr);
    EXPECT_EQ(account, filtered);
    EXPECT_TRUE(done);
    if (r.err.find("warning: unlink(tmpFile)") == std::string::npos) {
      EXPECT_FALSE(setup.work.exists("..newaccu.scp"));
    }
  } else {
    EXPECT_EQ(s.filtered, nullptr) << "violations went unreported";
    EXPECT_EQ(account, old);
    EXPECT_EQ(setup.work.read("..newaccu.scp"), old) << "a clean run's copy is incomplete";
  }
  // No half-made copy is left beside the account file.
  for (auto& entry : std::filesystem::directory_iterator(setup.save.path())) {
    std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".quelm-"), std::string::npos) << name;
  }
}

std::vector<int> errnosFor(const std::string& op) {
  if (op == "link") return {EEXIST, EPERM, EACCES, EIO};
  if (op == "rename") return {EXDEV, EACCES, EIO};
  if (op == "write") return {ENOSPC, EIO};
  if (op == "open") return {EACCES, ENOSPC};
  return {EIO};
}

class Faults : public ::testing::TestWithParam<Scenario> {};

TEST_P(Faults, EveryFailedCallLeavesTheAccountFileWhole) {
  const Scenario& s = GetParam();
  if (s.otherFileSystem && !std::filesystem::exists("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  std::map<std::string, long> counts = countCalls(s);
  ASSERT_GT(counts["total"], 0) << "the fault library was not loaded";
  if (isBig(s)) {
    EXPECT_GT(counts["mmap"], 0) << "the large file was read without a mapping";
  }
  for (const auto& [op, count] : counts) {
    if (op == "total") continue;
    for (long n = 1; n <= count; ++n) {
      for (int e : errnosFor(op)) {
        RunDirs setup(s);
        std::string what = op + " #" + std::to_string(n) + " errno " + std::to_string(e);
        RunResult r = run(s, setup,
                          {"QUELM_FAULT_OP=" + op, "QUELM_FAULT_NTH=" + std::to_string(n),
                           "QUELM_FAULT_ERRNO=" + std::to_string(e)});
        ++totals.faults;
        checkInvariants(s, setup, r, false, what);
        if (HasFatalFailure()) return;
      }
    }
  }
  std::printf("%s: %d faults injected so far\n", s.name, totals.faults);
}

TEST_P(Faults, KilledAtAnyCallLeavesTheAccountFileWhole) {
  const Scenario& s = GetParam();
  if (s.otherFileSystem && !std::filesystem::exists("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  long total = countCalls(s)["total"];
  ASSERT_GT(total, 0) << "the fault library was not loaded";
  for (long k = 1; k <= total; ++k) {
    RunDirs setup(s);
    RunResult r = run(s, setup, {"QUELM_FAULT_KILL_AT=" + std::to_string(k)});
    ++totals.kills;
    checkInvariants(s, setup, r, r.status == 128 + 9, "killed at call " + std::to_string(k));
    if (HasFatalFailure()) return;
  }
  std::printf("%s: %d kill points so far\n", s.name, totals.kills);
}

// A file system that reports a write error only when the file is closed (a network share) must
// not let a clean run end 0 with a damaged copy: the copy's close, the run's last, fails.
TEST(Faults, CleanRunWhoseCopyCannotBeCompletedEnds2) {
  const Scenario clean = {"CleanFile", kClean, nullptr, false, false, ""};
  long closes = countCalls(clean)["close"];
  ASSERT_GT(closes, 0);
  RunDirs setup(clean);
  RunResult r = run(clean, setup,
                    {"QUELM_FAULT_OP=close", "QUELM_FAULT_NTH=" + std::to_string(closes),
                     "QUELM_FAULT_ERRNO=" + std::to_string(EIO)});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "fclose(tmpFile): " + std::string(std::strerror(EIO)) + "\n");
  EXPECT_EQ(e2e::readFile(setup.account), kClean);
  EXPECT_FALSE(setup.work.exists("..newaccu.scp")) << "an incomplete copy is left";
}

// A run whose copy cannot take the account file's place removes its backup; should that fail
// too, the report names the backup left, so that the administrator can remove it.
TEST(Faults, BackupThatCannotBeTakenBackIsNamed) {
  const Scenario violations = {"Violations", kDirty, kFiltered, false, false, "unlink:5"};
  RunDirs setup(violations);
  RunResult r = run(
      violations, setup,
      {"QUELM_FAULT_OP=rename", "QUELM_FAULT_NTH=1", "QUELM_FAULT_ERRNO=" + std::to_string(EIO)});
  const std::string error = std::strerror(EIO);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "rename(tmpFile): " + error + "\nunlink(backup): " + setup.account +
                       ".old could not be removed (" + error +
                       "); remove it before the next run\n");
  EXPECT_EQ(e2e::readFile(setup.account), kDirty);
  EXPECT_EQ(e2e::readFile(setup.account + ".old"), kDirty);
}

const Scenario kScenarios[] = {
    {"CleanFile", kClean, nullptr, false, false, ""},
    {"Violations", kDirty, kFiltered, false, false, ""},
    {"ViolationsBackupPresent", kDirty, kFiltered, false, true, ""},
    {"ViolationsNoHardLinks", kDirty, kFiltered, false, false, "link:1"},
    {"ViolationsOtherFileSystem", kDirty, kFiltered, true, false, ""},
    {"LargeFile", bigAccounts(false), "", false, false, ""},
    {"LargeFileOtherFileSystem", bigAccounts(false), "", true, false, ""},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, Faults, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
