// Pauses the program before each of its calls in turn, lets another writer act on the same files
// (another run in the same working directory, another run on the same account file, the server
// saving its account file), lets the program go on, and checks that no account file was lost or
// misplaced and that the exit status tells the truth.
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <stdexcept>
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

// An account file's contents before and after filtering.
struct Contents {
  std::string old;
  std::string filtered;
};

const Contents kShardA = {fixtures::kDirty, fixtures::kFiltered};
const Contents kShardB = {"[Admin]\r\nPLEVEL=7\r\n[wren]\r\nPRIV=ffff\r\nPASSWORD=b\r\n[ash]\r\n",
                          "[Admin]\r\nPLEVEL=7\r\n[wren]\r\nPASSWORD=b\r\n[ash]\r\n"};
// What the server saves over kShardA: longer, and shorter.
const Contents kSavedLonger = {kShardA.old + "[newbie]\r\nPASSWORD=fresh\r\n",
                               kShardA.filtered + "[newbie]\r\nPASSWORD=fresh\r\n"};
const Contents kSavedShorter = {"[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=3\r\n",
                                "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\n"};

enum class Writer {
  RunHere,          // another run on another account file, in the same working directory
  RunOnSameFile,    // another run on the same account file, from another working directory
  SaveRenamedOver,  // the server saves a new file and renames it over the account file
  SaveRewritten,    // the server rewrites the account file in place
};

// Where in its calls the other run is itself paused, as a share of them: its first call, a
// quarter, half and three quarters of them, its last call but two, its last.
const char* const kOtherPauses[] = {"AtStart",         "AtQuarter", "AtHalf",
                                    "AtThreeQuarters", "NearEnd",   "AtEnd"};
constexpr int kOtherPauseCount = 6;

struct Scenario {
  std::string name;
  Writer writer;
  int otherPause = -1;   // the other run paused at this of kOtherPauses, -1 for never
  bool big = false;      // files of a few megabytes, read in many calls
  bool shorter = false;  // the save is shorter than the file it replaces
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

Contents firstShard(const Scenario& s) {
  if (!s.big) return kShardA;
  return {fixtures::bigAccounts(false), fixtures::bigAccounts(true)};
}

Contents savedShard(const Scenario& s) {
  if (!s.big) return s.shorter ? kSavedShorter : kSavedLonger;
  int users = s.shorter ? fixtures::kBigUsers * 2 / 3 : fixtures::kBigUsers + 1000;
  return {fixtures::bigAccounts(false, users), fixtures::bigAccounts(true, users)};
}

// A run of the program on account in directory work, standing still before its pauseAt-th
// call (0: never).
e2e::Started start(const std::string& account, const Scratch& work, long pauseAt) {
  e2e::RunOptions options = fault::options();
  options.pauseAt = pauseAt;
  return e2e::startQuelm({account, "gm.txt"}, work.path(), options);
}

// The calls of a run left alone, in order.
std::vector<std::string> callsOf(const Contents& accounts) {
  Scratch dir;
  dir.write("accounts.scp", accounts.old);
  dir.write("gm.txt", fixtures::kGmList);
  e2e::runQuelm({"accounts.scp", "gm.txt"}, dir.path(),
                fault::options({"QUELM_FAULT_TRACE_FILE=" + (dir / "trace")}));
  std::vector<std::string> calls;
  std::istringstream in(dir.read("trace"));
  for (std::string op; in >> op;) calls.push_back(op);
  return calls;
}

bool printedDone(const RunResult& r) {
  return r.out.find("Done,") != std::string::npos;
}

// What must hold for a run that had its account file to itself.
void checkOwnFile(const RunResult& r, const std::string& account, const Contents& c) {
  SCOPED_TRACE(account + ": status " + std::to_string(r.status) + ", stderr: " + r.err);
  ASSERT_TRUE(r.status == 1 || r.status == 2) << "ended by a signal, or hung";
  std::string now = e2e::readFile(account);
  bool backup = e2e::fileExists(account + ".old");
  if (r.status == 1) {
    EXPECT_TRUE(printedDone(r));
    EXPECT_TRUE(now == c.filtered) << "not its own filtered contents";
    EXPECT_TRUE(backup && e2e::readFile(account + ".old") == c.old) << "the backup is not its own";
  } else {
    EXPECT_FALSE(printedDone(r));
    EXPECT_FALSE(r.err.empty()) << "status 2 without a report";
    EXPECT_TRUE(now == c.old) << "status 2 with the account file changed";
    EXPECT_FALSE(backup) << "status 2 left a backup behind";
  }
}

// What must hold for two runs on one account file: at most one replaced it, and then with its
// filtered contents and the original as the backup. A run that read the filtered file is clean.
void checkSharedFile(const RunResult (&runs)[2], const std::string& account, const Contents& c) {
  int replaced = 0;
  for (const RunResult& r : runs) {
    SCOPED_TRACE("status " + std::to_string(r.status) + ", stderr: " + r.err);
    ASSERT_TRUE(r.status >= 0 && r.status <= 2) << "ended by a signal, or hung";
    EXPECT_EQ(printedDone(r), r.status == 1);
    EXPECT_TRUE(r.status != 2 || !r.err.empty()) << "status 2 without a report";
    replaced += r.status == 1;
  }
  EXPECT_LE(replaced, 1) << "both runs replaced the account file";
  bool backup = e2e::fileExists(account + ".old");
  EXPECT_TRUE(e2e::readFile(account) == (replaced > 0 ? c.filtered : c.old));
  EXPECT_EQ(backup, replaced > 0);
  EXPECT_TRUE(!backup || e2e::readFile(account + ".old") == c.old);
}

// What must hold after the server saved while the run stood before its pausedAt-th call. The
// save is never lost: it is at the account file's path, or the run read it and its filtered
// form is in place with the save as the backup. The one exception is a save in the moment
// between the run's last look at the account file and its rename (the call window: the rename,
// and on Windows also closing the handle the look took and making the rename's path).
struct Window {
  long first = 0;
  long rename = 0;
};

void checkSave(const RunResult& r, const std::string& account, const Contents& old,
               const Contents& saved, long pausedAt, const Window& window) {
  SCOPED_TRACE("paused before call " + std::to_string(pausedAt) + ", status " +
               std::to_string(r.status) + ", stderr: " + r.err);
  ASSERT_TRUE(r.status == 1 || r.status == 2) << "ended by a signal, or hung";
  std::string now = e2e::readFile(account);
  bool hasBackup = e2e::fileExists(account + ".old");
  std::string backup = hasBackup ? e2e::readFile(account + ".old") : "";
  if (r.status == 2) {
    EXPECT_FALSE(printedDone(r));
    EXPECT_FALSE(r.err.empty()) << "status 2 without a report";
    EXPECT_TRUE(now == saved.old) << "the save is lost";
    EXPECT_FALSE(hasBackup) << "status 2 left a backup behind";
    return;
  }
  EXPECT_TRUE(printedDone(r));
  bool readTheSave = now == saved.filtered && backup == saved.old;
  bool savedAfter = pausedAt > window.rename && now == saved.old && backup == old.old;
  bool inTheWindow = pausedAt >= window.first && pausedAt <= window.rename && now == old.filtered;
  EXPECT_TRUE(readTheSave || savedAfter || inTheWindow) << "the save is lost or misplaced";
}

// Saves bytes over the account file as the server does. False where the platform refuses the
// save while the run has the file open: on Windows a rewrite while the run holds it for its
// replacement, and under wine a rename over it while the run reads it (Windows itself allows
// that one, since the run shares the file's deletion). The server then saves later.
bool saveOver(const std::string& account, const Scenario& s, const std::string& bytes) {
  if (s.writer == Writer::SaveRewritten) {
    try {
      e2e::writeFile(account, bytes);  // truncates and writes the same file
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }
  std::string fresh = account + ".saving";
  e2e::writeFile(fresh, bytes);
  if (e2e::renameOver(fresh, account)) return true;
  e2e::removeFile(fresh);
  return false;
}

// The call of the other run's calls that kOtherPauses[i] names.
long otherPausePoint(int i, long calls) {
  const long points[kOtherPauseCount] = {1, calls / 4, calls / 2, 3 * calls / 4, calls - 2, calls};
  return points[i];
}

int interleavings = 0;
int refusedSaves = 0;

class SharedDisk : public ::testing::TestWithParam<Scenario> {};

TEST_P(SharedDisk, NoAccountFileIsLostOrMisplaced) {
  const Scenario& s = GetParam();
  const Contents first = firstShard(s);
  std::vector<std::string> calls = callsOf(first);
  ASSERT_GT(calls.size(), 10u) << "the fault build counted no call";
  long total = static_cast<long>(calls.size());
  Window window;  // the rename that puts the copy in place is the last one
  for (long i = 0; i < total; ++i) {
    if (calls[i] == fault::kCalls.renameCopy) window.rename = i + 1;
  }
  ASSERT_GT(window.rename, 0);
  window.first = window.rename;
  while (window.first > 1 && calls[window.first - 2] != fault::kCalls.look) --window.first;
  const bool isRun = s.writer == Writer::RunHere || s.writer == Writer::RunOnSameFile;
  const Contents second = s.writer == Writer::RunHere ? kShardB : first;
  const long m = s.otherPause < 0
                     ? 0
                     : otherPausePoint(s.otherPause, static_cast<long>(callsOf(second).size()));

  for (long n = 1; n <= total; ++n) {
    Scratch save, work, otherWork;
    std::string account = save / "a.scp";
    e2e::writeFile(account, first.old);
    work.write("gm.txt", fixtures::kGmList);
    otherWork.write("gm.txt", fixtures::kGmList);
    ++interleavings;
    e2e::Started run = start(account, work, n);
    bool paused = run.waitUntilStopped();
    if (!isRun) {
      Contents saved = savedShard(s);
      bool didSave = saveOver(account, s, saved.old);
      if (paused) run.resume();
      RunResult r = run.finish();
      if (didSave) {
        checkSave(r, account, first, saved, n, window);
      } else {
        ++refusedSaves;
        EXPECT_TRUE(e2e::windowsBuild()) << "a save was refused on POSIX";
        checkOwnFile(r, account, first);
      }
      if (HasFailure()) return;
      continue;
    }
    std::string otherAccount = account;
    if (s.writer == Writer::RunHere) {
      otherAccount = save / "b.scp";
      e2e::writeFile(otherAccount, second.old);
    }
    const Scratch& where = s.writer == Writer::RunHere ? work : otherWork;
    e2e::Started other = start(otherAccount, where, m);
    bool otherPaused = m > 0 && other.waitUntilStopped();
    if (paused) run.resume();
    RunResult results[2];
    results[0] = run.finish();
    if (otherPaused) other.resume();
    results[1] = other.finish();
    SCOPED_TRACE("first paused before call " + std::to_string(n) + ", the other before " +
                 std::to_string(m));
    if (s.writer == Writer::RunHere) {
      checkOwnFile(results[0], account, first);
      checkOwnFile(results[1], otherAccount, second);
      EXPECT_TRUE(results[0].status == 1 || results[1].status == 1) << "neither run finished";
    } else {
      checkSharedFile(results, account, first);
    }
    if (HasFailure()) return;
  }
  std::printf("%s: %d interleavings so far, %d saves refused while the file was open\n",
              s.name.c_str(), interleavings, refusedSaves);
}

// Each spot of the other run's pause is a test of its own, so that they run side by side: a
// run that meets the other standing still holding the file waits for it as long as it would for
// a virus scanner.
std::vector<Scenario> scenarios() {
  std::vector<Scenario> all = {
      {.name = "RunHereWhileFirstPaused", .writer = Writer::RunHere},
      {.name = "RunOnSameFileWhileFirstPaused", .writer = Writer::RunOnSameFile},
      {.name = "SaveRenamedOver", .writer = Writer::SaveRenamedOver},
      {.name = "SaveRewrittenLonger", .writer = Writer::SaveRewritten},
      {.name = "SaveRewrittenShorter", .writer = Writer::SaveRewritten, .shorter = true},
      {.name = "LargeSaveRenamedOver", .writer = Writer::SaveRenamedOver, .big = true},
      {.name = "LargeSaveRewrittenLonger", .writer = Writer::SaveRewritten, .big = true},
      {.name = "LargeSaveRewrittenShorter",
       .writer = Writer::SaveRewritten,
       .big = true,
       .shorter = true},
  };
  for (int i = 0; i < kOtherPauseCount; ++i) {
    std::string where = std::string("BothPausedOther") + kOtherPauses[i];
    all.push_back({.name = "RunHere" + where, .writer = Writer::RunHere, .otherPause = i});
    all.push_back(
        {.name = "RunOnSameFile" + where, .writer = Writer::RunOnSameFile, .otherPause = i});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Writers, SharedDisk, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return info.param.name; });

// The number of the call (counting from 1) that is the nth call of op after the first `after`
// calls; 0 where there is none.
long nthCall(const std::vector<std::string>& calls, const std::string& op, int nth,
             long after = 0) {
  for (long i = after; i < static_cast<long>(calls.size()); ++i) {
    if (calls[i] == op && --nth == 0) return i + 1;
  }
  return 0;
}

// A large account file is read through a memory mapping, window by window (POSIX). Shortened
// while the run stands still, it takes with it the pages past its new end that the run reads
// next: the run ends as after any failed read, with status 2 and the read's report, and leaves
// no copy of what it read, which would hold part of every password.
TEST(SharedDisk, FileShortenedUnderItsMappingEndsAsAFailedRead) {
  if (e2e::windowsBuild()) GTEST_SKIP() << "Windows reads the account file in blocks";
  const std::string old = fixtures::bigAccounts(false);
  const std::vector<std::string> calls = callsOf({old, fixtures::bigAccounts(true)});
  // Each window is mapped with two calls, room and then the file; the copy is written in chunks,
  // the first of them straight from the first window.
  const long firstMapping = nthCall(calls, "mmap", 1);
  ASSERT_GT(firstMapping, 0) << "the large file was read without a mapping";
  const long firstWrite = nthCall(calls, "writev", 1, firstMapping);
  const struct {
    const char* name;
    long pauseAt;
    std::uintmax_t size;  // shortened to
  } cases[] = {
      {"to nothing before its first window", firstMapping, 0},
      {"to nothing under the copy's first write", firstWrite, 0},
      {"within the window being read", firstWrite, 1 << 20},
      {"within its next window, in the middle of a page", nthCall(calls, "mmap", 3),
       (3 << 20) + 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_GT(c.pauseAt, 0);
    ASSERT_LT(c.size, old.size());
    Scratch save, work;
    const std::string account = save / "a.scp";
    e2e::writeFile(account, old);
    work.write("gm.txt", fixtures::kGmList);
    e2e::Started run = start(account, work, c.pauseAt);
    ASSERT_TRUE(run.waitUntilStopped());
    std::filesystem::resize_file(account, c.size);
    run.resume();
    RunResult r = run.finish();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "fread(acctFile): " + sys::errorText(fault::kCalls.ioError) + "\n");
    EXPECT_FALSE(work.exists("..newaccu.scp")) << "the copy of what was read is left";
    EXPECT_TRUE(e2e::readFile(account) == old.substr(0, c.size)) << "the account file changed";
    EXPECT_FALSE(e2e::fileExists(account + ".old"));
  }
}

}  // namespace
