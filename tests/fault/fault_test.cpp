// Fails, one at a time, every system call the program makes, with each error that call gives in
// life, and kills it at every one, and checks after each run that the account file was neither
// lost nor corrupted and that the exit status tells the truth. The calls are those of the
// platform layer's table, failed by the fault build of the program (fault/fault_layer.h).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "fault/accounts.h"
#include "fault/fault_build.h"
#include "sys/platform.h"

namespace {

using e2e::RunResult;
using e2e::Scratch;

using fixtures::bigAccounts;
using fixtures::kDirty;
using fixtures::kFiltered;
using fixtures::kGmList;

const char kClean[] = "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=sparrow\r\n";
const char kEarlierBackup[] = "an earlier backup\r\n";

// The errors each call gives in life.
#ifdef _WIN32
std::vector<int> errorsFor(const std::string& op) {
  const int denied = ERROR_ACCESS_DENIED, shared = ERROR_SHARING_VIOLATION,
            locked = ERROR_LOCK_VIOLATION, full = ERROR_DISK_FULL,
            handleFull = ERROR_HANDLE_DISK_FULL, otherDevice = ERROR_NOT_SAME_DEVICE,
            invalid = ERROR_INVALID_FUNCTION, unsupported = ERROR_NOT_SUPPORTED,
            protectedMedium = ERROR_WRITE_PROTECT, notReady = ERROR_NOT_READY,
            gone = ERROR_NETNAME_DELETED, exists = ERROR_ALREADY_EXISTS;
  if (op == "CreateFileW") return {denied, shared, full, protectedMedium, notReady, gone};
  if (op == "ReadFile") return {locked, notReady, gone};
  if (op == "WriteFile") return {full, handleFull, locked, protectedMedium, gone};
  if (op == "FlushFileBuffers") return {full, protectedMedium, gone};
  if (op == "CloseHandle") return {full, gone};
  if (op == "SetFileInformationByHandle") {
    return {denied, shared, otherDevice, exists, protectedMedium, gone};
  }
  if (op == "CreateHardLinkW") {
    return {denied, shared, invalid, unsupported, exists, otherDevice, protectedMedium};
  }
  if (op == "MoveFileExW") return {denied, shared, otherDevice, exists, protectedMedium};
  if (op == "DeleteFileW") return {denied, shared, protectedMedium};
  if (op == "GetFileAttributesW") return {denied, notReady};
  if (op == "SetFileAttributesW") return {denied, protectedMedium};
  if (op == "GetVolumeInformationByHandleW") return {invalid, unsupported, gone};
  if (op == "GetKernelObjectSecurity") return {denied, unsupported};
  if (op == "SetKernelObjectSecurity") return {denied, unsupported, protectedMedium};
  if (op == "GetFullPathNameW") return {ERROR_FILENAME_EXCED_RANGE};
  return {notReady, gone};
}

#else
std::vector<int> errorsFor(const std::string& op) {
  if (op == "link") return {EEXIST, EPERM, EACCES, EIO};
  if (op == "rename") return {EXDEV, EACCES, EIO};
  if (op == "writev") return {ENOSPC, EIO};
  if (op == "open") return {EACCES, ENOSPC};
  if (op == "fallocate") return {ENOSPC, EOPNOTSUPP};
  return {EIO};
}
#endif

struct Scenario {
  const char* name;
  std::string accounts;
  const char* filtered;  // nullptr for a clean file, "" for bigAccounts(true)
  bool otherVolume = false;
  bool backupExists = false;
  bool noHardLinks = false;
  bool leftoverCopy = false;  // a copy that an earlier run, killed, left in the working directory
};

// Whether the scenario's account file is bigAccounts(false).
bool isBig(const Scenario& s) {
  return s.filtered != nullptr && *s.filtered == '\0';
}

// Test names, not bytes, in test listings.
void PrintTo(const Scenario& c, std::ostream* os) {
  *os << c.name;
}

// One run's directories: the account file's and the working directory; and the account file's
// access rights, made narrower than a new file's, which no run may widen.
struct RunDirs {
  Scratch save;
  Scratch work;
  std::string account;
  std::string rights;
  explicit RunDirs(const Scenario& s) : save(s.otherVolume ? e2e::otherVolume() : ""), work() {
    account = save / "accounts.scp";
    e2e::writeFile(account, s.accounts);
    e2e::restrictAccess(account);
    rights = e2e::accessOf(account);
    if (s.backupExists) e2e::writeFile(account + ".old", kEarlierBackup);
    work.write("gm.txt", kGmList);
    if (s.leftoverCopy) work.write("..newaccu.scp", kEarlierBackup);
  }
};

struct Totals {
  int runs = 0;
  int faults = 0;
  int kills = 0;
  std::map<std::string, int> faultsByCall;  // so that a call no run reaches shows
};
Totals totals;

RunResult run(const Scenario& s, RunDirs& setup, std::vector<std::string> extraEnv) {
  if (s.noHardLinks)
    extraEnv.push_back(std::string("QUELM_FAULT_ALWAYS=") + fault::kCalls.noHardLinks);
  e2e::RunOptions options = fault::options(extraEnv);
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
  EXPECT_TRUE(e2e::noWiderThan(e2e::accessOf(setup.account), setup.rights))
      << "the account file is open to more users: " << e2e::accessOf(setup.account) << " after "
      << setup.rights;
  // A run that ends leaves no copy beside the account file; one that is killed while it copies
  // there leaves it, but never open to more users than the account file once it holds a byte.
  for (const std::string& name : e2e::namesIn(setup.save.path())) {
    if (name == "accounts.scp" || name == "accounts.scp.old") continue;
    std::string path = setup.save / name;
    EXPECT_TRUE(killed) << name << " is left";
    EXPECT_TRUE(e2e::readFile(path).empty() || e2e::noWiderThan(e2e::accessOf(path), setup.rights))
        << name << " is open to more users: " << e2e::accessOf(path);
  }
  if (killed) return;

  bool done = r.out.find("Done,") != std::string::npos;
  ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 2);
  if (r.status == 2) {
    EXPECT_EQ(account, old) << "status 2 with the account file changed";
    EXPECT_FALSE(done);
    EXPECT_FALSE(r.err.empty()) << "status 2 without a report";
    if (!s.backupExists && what.rfind(fault::kCalls.remove, 0) != 0) {
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
}

class Faults : public ::testing::TestWithParam<Scenario> {};

TEST_P(Faults, EveryFailedCallLeavesTheAccountFileWhole) {
  const Scenario& s = GetParam();
  if (s.otherVolume && e2e::otherVolume().empty()) GTEST_SKIP() << e2e::kNoOtherVolume;
  std::map<std::string, long> counts = countCalls(s);
  ASSERT_GT(counts["total"], 0) << "the fault build counted no call";
  if (isBig(s) && !e2e::windowsBuild()) {
    EXPECT_GT(counts["mmap"], 0) << "the large file was read without a mapping";
  }
  for (const auto& [op, count] : counts) {
    if (op == "total") continue;
    for (long n = 1; n <= count; ++n) {
      for (int e : errorsFor(op)) {
        RunDirs setup(s);
        std::string what = op + " #" + std::to_string(n) + " errno " + std::to_string(e);
        RunResult r = run(s, setup,
                          {"QUELM_FAULT_OP=" + op, "QUELM_FAULT_NTH=" + std::to_string(n),
                           "QUELM_FAULT_ERRNO=" + std::to_string(e)});
        ++totals.faults;
        ++totals.faultsByCall[op];
        checkInvariants(s, setup, r, false, what);
        if (HasFatalFailure()) return;
      }
    }
  }
  std::printf("%s: %d faults injected so far, by call:", s.name, totals.faults);
  for (const auto& [op, faults] : totals.faultsByCall) std::printf(" %s %d", op.c_str(), faults);
  std::printf("\n");
}

TEST_P(Faults, KilledAtAnyCallLeavesTheAccountFileWhole) {
  const Scenario& s = GetParam();
  if (s.otherVolume && e2e::otherVolume().empty()) GTEST_SKIP() << e2e::kNoOtherVolume;
  long total = countCalls(s)["total"];
  ASSERT_GT(total, 0) << "the fault build counted no call";
  for (long k = 1; k <= total; ++k) {
    RunDirs setup(s);
    RunResult r = run(s, setup, {"QUELM_FAULT_KILL_AT=" + std::to_string(k)});
    ++totals.kills;
    checkInvariants(s, setup, r, r.status == e2e::kKilledStatus,
                    "killed at call " + std::to_string(k));
    if (HasFatalFailure()) return;
  }
  std::printf("%s: %d kill points so far\n", s.name, totals.kills);
}

// A file system that reports a write error only when the file is closed (a network share) must
// not let a clean run end 0 with a damaged copy: the copy's close, the run's last, fails.
TEST(Faults, CleanRunWhoseCopyCannotBeCompletedEnds2) {
  const Scenario clean = {"CleanFile", kClean, nullptr};
  long closes = countCalls(clean)[fault::kCalls.close];
  ASSERT_GT(closes, 0);
  RunDirs setup(clean);
  RunResult r = run(clean, setup,
                    {std::string("QUELM_FAULT_OP=") + fault::kCalls.close,
                     "QUELM_FAULT_NTH=" + std::to_string(closes),
                     "QUELM_FAULT_ERRNO=" + std::to_string(fault::kCalls.ioError)});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            e2e::console("fclose(tmpFile): " + sys::errorText(fault::kCalls.ioError) + "\n"));
  EXPECT_EQ(e2e::readFile(setup.account), kClean);
  EXPECT_FALSE(setup.work.exists("..newaccu.scp")) << "an incomplete copy is left";
}

// A run whose copy cannot take the account file's place removes its backup; should that fail
// too, the report names the backup left, so that the administrator can remove it.
TEST(Faults, BackupThatCannotBeTakenBackIsNamed) {
  const Scenario violations = {"Violations", kDirty, kFiltered};
  RunDirs setup(violations);
  const std::string code = std::to_string(fault::kCalls.ioError);
  RunResult r = run(violations, setup,
                    {std::string("QUELM_FAULT_ALWAYS=") + fault::kCalls.remove + ":" + code,
                     std::string("QUELM_FAULT_OP=") + fault::kCalls.renameCopy, "QUELM_FAULT_NTH=1",
                     "QUELM_FAULT_ERRNO=" + code});
  const std::string error = sys::errorText(fault::kCalls.ioError);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, e2e::console("rename(tmpFile): " + error + "\nunlink(backup): " + setup.account +
                                ".old could not be removed (" + error +
                                "); remove it before the next run\n"));
  EXPECT_EQ(e2e::readFile(setup.account), kDirty);
  EXPECT_EQ(e2e::readFile(setup.account + ".old"), kDirty);
}

// The filtered copy must never be open to more users than the account file: a failure to read
// the account file's rights or to give them to the copy ends the run before the copy holds a
// byte, and the copy goes.
TEST(Faults, AccessRightsThatCannotBeCarriedEnd2) {
  struct Case {
    const char* call;
    const char* label;
  };
#ifdef _WIN32
  const Case cases[] = {{"GetKernelObjectSecurity", "fstat(acctFile)"},
                        {"SetKernelObjectSecurity", "fchmod(tmpFile)"},
                        {"SetFileAttributesW", "fchmod(tmpFile)"}};
#else
  const Case cases[] = {{"fstat", "fstat(acctFile)"}, {"fchmod", "fchmod(tmpFile)"}};
#endif
  const Scenario violations = {"Violations", kDirty, kFiltered};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RunDirs setup(violations);
    RunResult r = run(violations, setup,
                      {std::string("QUELM_FAULT_OP=") + c.call, "QUELM_FAULT_NTH=1",
                       "QUELM_FAULT_ERRNO=" + std::to_string(fault::kCalls.denied)});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, e2e::console(std::string(c.label) + ": " +
                                  sys::errorText(fault::kCalls.denied) + "\n"));
    EXPECT_EQ(e2e::readFile(setup.account), kDirty);
    EXPECT_EQ(e2e::accessOf(setup.account), setup.rights);
    EXPECT_FALSE(e2e::fileExists(setup.account + ".old"));
    EXPECT_FALSE(setup.work.exists("..newaccu.scp")) << "a copy with other rights is left";
  }
}

// A path of 200 characters, relative to a working directory so deep that the whole path is
// longer than MAX_PATH, works. On Windows every path reaches the file calls either shorter than
// MAX_PATH or as "\\?\" and the full path, the one form that Windows takes at any length
// without its long-path setting; wine takes any path, so only the paths themselves can show it.
TEST(Paths, LongPathFromADeepWorkingDirectory) {
  Scratch root;
  // A path the tests themselves may use at any length.
  auto whole = [](const std::string& path) {
    return e2e::windowsBuild() ? "\\\\?\\" + e2e::platformPath(path) : path;
  };
  // The deepest working directory a program may be started in: under MAX_PATH less 12.
  std::string work = root.path();
  while (work.size() < 200) {
    work += "/" + std::string(std::min<std::size_t>(24, 223 - work.size()), 'w');
    e2e::makeDirectory(whole(work));
  }
  const std::string folder(187, 'f');
  e2e::makeDirectory(whole(work + "/" + folder));
  const std::string account = folder + "/accounts.scp", gm = folder + "/gm.txt";
  ASSERT_EQ(account.size(), 200u);
  e2e::writeFile(whole(work + "/" + account), kDirty);
  e2e::writeFile(whole(work + "/" + gm), kGmList);
  RunResult r = e2e::runQuelm({account, gm}, work,
                              fault::options({"QUELM_FAULT_PATHS_FILE=" + root / "paths"}));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(e2e::readFile(whole(work + "/" + account)), kFiltered);
  EXPECT_EQ(e2e::readFile(whole(work + "/" + account + ".old")), kDirty);
  if (!e2e::windowsBuild()) return;
  std::istringstream paths(e2e::readFile(root / "paths"));
  int seenWhole = 0;
  for (std::string path; std::getline(paths, path);) {
    EXPECT_TRUE(path.size() < 260 || path.rfind("\\\\?\\", 0) == 0) << path;
    seenWhole += path == whole(work + "/" + account);
  }
  EXPECT_GT(seenWhole, 0) << "the account file never reached a call as its whole path";
}

const Scenario kScenarios[] = {
    {"CleanFile", kClean, nullptr},
    {"Violations", kDirty, kFiltered},
    {"ViolationsBackupPresent", kDirty, kFiltered, false, true},
    {"ViolationsNoHardLinks", kDirty, kFiltered, false, false, true},
    {"ViolationsLeftoverCopy", kDirty, kFiltered, false, false, false, true},
    {"ViolationsOtherVolume", kDirty, kFiltered, true},
    {"LargeFile", bigAccounts(false), ""},
    {"LargeFileOtherVolume", bigAccounts(false), "", true},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, Faults, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
