// The built program, run as a user runs it: exit status, exact console output, files left.
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "usage_text.h"

#include "e2e/harness.h"

namespace {

using e2e::banner;
using e2e::console;
using e2e::runQuelm;
using e2e::Scratch;

const char* const kUsage = kUsageText;

const char kGmList[] = "Admin\r\nmoira counselor\r\n";
const char kCleanAccounts[] =
    "[Admin]\r\nPLEVEL=7\r\nPRIV=0ffff\r\n\r\n[tobin]\r\nPRIV=040\r\nPASSWORD=sparrow\r\n";
const char kThreeViolations[] =
    "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=2\r\nPRIV=0200\r\nPASSWORD=sparrow\r\n"
    "[bad name]\r\nPASSWORD=x\r\n";
const char kThreeFiltered[] = "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=sparrow\r\n";
const char kThreeReports[] =
    "PLEVEL found. Varmo=[tobin]\n"
    "PRIV 200 found. Varmo=[tobin]\n"
    "File is BROKEN! ([bad name])\n"
    "Done, 3 violations found.\n";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(CommandLine, TooFewArgumentsPrintUsage) {
  Scratch dir;
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"accounts.scp"}}) {
    e2e::RunResult r = runQuelm(args, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner() + console(kUsage));
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, PathLimitIs200Characters) {
  Scratch dir;
  std::string name200 = std::string(196, 'a') + ".scp";
  dir.write(name200, kCleanAccounts);
  dir.write("gm.txt", kGmList);
  e2e::RunResult ok = runQuelm({name200, "gm.txt"}, dir.path());
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, banner());

  // One more character is refused before anything is opened: the GM list here does not exist.
  e2e::RunResult refused = runQuelm({"b" + name200, "missing-gm.txt"}, dir.path());
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, banner() + console("Invalid arguments.\n"));
  EXPECT_EQ(refused.err, "");
  refused = runQuelm({name200, "missing-gm.txt" + std::string(190, 'x')}, dir.path());
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, banner() + console("Invalid arguments.\n"));
}

TEST(CommandLine, ArgumentsAfterTheSecondAreIgnored) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt", "no-such-world.scp", "x"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, banner() + console(kThreeReports));
}

TEST(Errors, MissingGmListStopsBeforeTheAccountFileIsOpened) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, banner());
  EXPECT_TRUE(startsWith(r.err, console("fopen(gmFile): "))) << r.err;
  EXPECT_FALSE(dir.exists("..newaccu.scp"));
  EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);
}

TEST(Errors, MissingAccountFile) {
  Scratch dir;
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, banner());
  EXPECT_TRUE(startsWith(r.err, "fopen(acctFile): ")) << r.err;
  EXPECT_FALSE(dir.exists("..newaccu.scp"));
}

TEST(Run, CleanFileIsLeftAloneAndTheCopyStays) {
  Scratch dir;
  dir.write("accounts.scp", kCleanAccounts);
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, banner());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.read("accounts.scp"), kCleanAccounts);
  EXPECT_EQ(dir.read("..newaccu.scp"), kCleanAccounts);
  EXPECT_FALSE(dir.exists("accounts.scp.old"));
}

TEST(Run, ViolationsAreRemovedAndTheOriginalKept) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, banner() + console(kThreeReports));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.read("accounts.scp"), kThreeFiltered);
  EXPECT_EQ(dir.read("accounts.scp.old"), kThreeViolations);
  EXPECT_FALSE(dir.exists("..newaccu.scp"));

  // The filtered file is clean now.
  EXPECT_EQ(runQuelm({"accounts.scp", "gm.txt"}, dir.path()).status, 0);
}

TEST(Run, LfOnlyFileComesOutWithCrLf) {
  Scratch dir;
  dir.write("accounts.scp", "[tobin]\nPLEVEL=1\nPASSWORD=x\n");
  dir.write("gm.txt", "Admin\n");
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir.read("accounts.scp"), "[tobin]\r\nPASSWORD=x\r\n");
  EXPECT_EQ(dir.read("accounts.scp.old"), "[tobin]\nPLEVEL=1\nPASSWORD=x\n");
}

TEST(Run, AccountFileInAnotherDirectory) {
  Scratch dir;
  e2e::makeDirectory(dir / "save");
  e2e::makeDirectory(dir / "work");
  dir.write("save/accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"../save/accounts.scp", "../gm.txt"}, dir / "work");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(dir.read("save/accounts.scp"), kThreeFiltered);
  EXPECT_EQ(dir.read("save/accounts.scp.old"), kThreeViolations);
  EXPECT_FALSE(dir.exists("work/..newaccu.scp"));
  EXPECT_FALSE(dir.exists("save/..newaccu.scp"));
}

// Paths as users write them: with blanks, and on Windows with a drive letter and backslashes.
TEST(Run, PathsWithBlanksAndBackslashes) {
  Scratch dir;
  e2e::makeDirectory(dir / "save dir");
  dir.write("save dir/accu file.scp", kThreeViolations);
  dir.write("gm list.txt", kGmList);
  std::string account = e2e::platformPath(dir / "save dir/accu file.scp");
  e2e::RunResult r = runQuelm({account, "gm list.txt"}, dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, banner() + console(kThreeReports));
  EXPECT_EQ(dir.read("save dir/accu file.scp"), kThreeFiltered);
  EXPECT_EQ(dir.read("save dir/accu file.scp.old"), kThreeViolations);
}

TEST(Run, ExistingBackupIsNeverOverwritten) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("accounts.scp.old", "an earlier backup\r\n");
  dir.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, banner() + console("PLEVEL found. Varmo=[tobin]\n"
                                      "PRIV 200 found. Varmo=[tobin]\n"
                                      "File is BROKEN! ([bad name])\n"));
  EXPECT_TRUE(startsWith(r.err, "rename(acctFile): ")) << r.err;
  EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);
  EXPECT_EQ(dir.read("accounts.scp.old"), "an earlier backup\r\n");
  // The filtered copy waits in the working directory for the administrator.
  EXPECT_EQ(dir.read("..newaccu.scp"), kThreeFiltered);
}

TEST(Run, SampleFiles) {
  Scratch dir;
  dir.write("accounts.scp", e2e::readFile(QUELM_EXAMPLES_DIR "/accounts.scp"));
  dir.write("gmlist.txt", e2e::readFile(QUELM_EXAMPLES_DIR "/gmlist.txt"));
  e2e::RunResult r = runQuelm({"accounts.scp", "gmlist.txt"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, banner() + console("PLEVEL found. Varmo=[Greyhawk]\n"
                                      "PRIV 200 found. Varmo=[Greyhawk]\n"
                                      "PRIV 7fffffff found. Varmo=[Dunmore]\n"
                                      "File is BROKEN! ([bad name])\n"
                                      "PLEVEL found. Varmo=[bad name]\n"
                                      "Done, 5 violations found.\n"));
}

TEST(Safety, AccountFileNamedLikeTheCopyIsRefused) {
  Scratch dir;
  dir.write("..newaccu.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  for (const char* path : {"..newaccu.scp", "./..newaccu.scp"}) {
    e2e::RunResult r = runQuelm({path, "gm.txt"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, console("fopen(tmpFile): ..newaccu.scp is the account file itself\n"));
    EXPECT_EQ(dir.read("..newaccu.scp"), kThreeViolations);
    EXPECT_FALSE(dir.exists("..newaccu.scp.old"));
  }
}

// Whatever stands at the copy's name and is not a file is nobody's leftover: it stays, and the
// run touches nothing.
TEST(Safety, FolderNamedLikeTheCopyIsLeftAlone) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  e2e::makeDirectory(dir / "..newaccu.scp");
  dir.write("..newaccu.scp/kept", "kept");
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(startsWith(r.err, "fopen(tmpFile): ")) << r.err;
  EXPECT_EQ(dir.read("..newaccu.scp/kept"), "kept");
  EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);
  EXPECT_FALSE(dir.exists("accounts.scp.old"));
}

// Two runs in one working directory share the name of the copy: while one holds it, another
// touches nothing; once it has ended, what it left is a leftover like any other.
TEST(SharedDisk, CopyHeldByAnotherRunIsLeftAlone) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  {
    e2e::Started other = e2e::holdLikeARun("..newaccu.scp", dir.path());
    e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner());
    EXPECT_EQ(r.err, console("fopen(tmpFile): another run is using ..newaccu.scp\n"));
    EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);
    EXPECT_FALSE(dir.exists("accounts.scp.old"));
    other.closeInput();
    EXPECT_EQ(other.finish().status, 0);
    // Read once let go of: on Windows nobody else may read a held copy.
    EXPECT_EQ(dir.read("..newaccu.scp"), "") << "the other run's copy was touched";
  }
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(dir.read("accounts.scp"), kThreeFiltered);
  EXPECT_EQ(dir.read("accounts.scp.old"), kThreeViolations);
}

// What the program leaves must be readable by no more users than the account file: the filtered
// file and the backup have its permission bits, owner and group on POSIX, its access control
// list on Windows.
TEST(Safety, FilteredFileKeepsTheAccessRights) {
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  e2e::restrictAccess(dir / "accounts.scp");
  const std::string rights = e2e::accessOf(dir / "accounts.scp");
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  ASSERT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(e2e::accessOf(dir / "accounts.scp"), rights);
  EXPECT_EQ(e2e::accessOf(dir / "accounts.scp.old"), rights);
}

TEST(Safety, StaleWorldReadableCopyIsNotReused) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: POSIX permission bits and hard links";
#else
  Scratch dir;
  dir.write("accounts.scp", kCleanAccounts);
  dir.write("gm.txt", kGmList);
  dir.write("..newaccu.scp", "stale");
  ASSERT_EQ(::chmod((dir / "..newaccu.scp").c_str(), 0666), 0);
  ASSERT_EQ(::chmod((dir / "accounts.scp").c_str(), 0600), 0);
  // A second name of the stale file must not receive the passwords.
  ASSERT_EQ(::link((dir / "..newaccu.scp").c_str(), (dir / "other-name").c_str()), 0);
  ASSERT_EQ(runQuelm({"accounts.scp", "gm.txt"}, dir.path()).status, 0);
  struct stat st;
  ASSERT_EQ(::stat((dir / "..newaccu.scp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(dir.read("..newaccu.scp"), kCleanAccounts);
  EXPECT_EQ(dir.read("other-name"), "stale");
#endif
}

TEST(Safety, PlantedSymbolicLinkIsNotFollowed) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: making a symbolic link needs a privilege the tests do not have";
#else
  Scratch dir;
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  dir.write("target", "untouched");
  ASSERT_EQ(::symlink("target", (dir / "..newaccu.scp").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(startsWith(r.err, "fopen(tmpFile): ")) << r.err;
  EXPECT_EQ(dir.read("target"), "untouched");
  EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);

  ASSERT_EQ(::unlink((dir / "..newaccu.scp").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "..newaccu.scp").c_str()), 0);
  r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(dir.exists("nowhere"));
#endif
}

TEST(Safety, WriteFailureLeavesTheAccountFileAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: no file-size limit; the fault suite fails each write with disk full";
#else
  // A small file is read into a buffer; a large one is mapped, and its unchanged stretches are
  // written straight from the mapping, which must meet the limit just the same.
  std::string small, large;
  for (int i = 0; i < 3000; ++i) small += "[user" + std::to_string(i) + "]\r\nPLEVEL=1\r\nX=1\r\n";
  for (int i = 0; i < 60000; ++i) {
    large += "[user" + std::to_string(i) + "]\r\nPASSWORD=secret\r\nLASTIP=192.0.2.1\r\n" +
             (i % 1000 == 0 ? "PLEVEL=1\r\n" : "LANG=ENU\r\nCHARUID=0x0123456\r\n");
  }
  ASSERT_GT(large.size(), std::size_t{4} << 20);
  const struct {
    const std::string& accounts;
    std::vector<long long> limits;
  } cases[] = {{small, {0, 4096, 20000}}, {large, {0, 4096, 20000, 3 << 20}}};
  for (const auto& c : cases) {
    Scratch dir;
    dir.write("accounts.scp", c.accounts);
    dir.write("gm.txt", kGmList);
    for (long long limit : c.limits) {
      SCOPED_TRACE(std::to_string(c.accounts.size()) + " bytes, limit " + std::to_string(limit));
      e2e::RunOptions options;
      options.fileSizeLimit = limit;
      e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path(), options);
      EXPECT_EQ(r.status, 2);
      EXPECT_TRUE(startsWith(r.err, "fwrite(tmpFile): ")) << r.err;
      EXPECT_EQ(r.out.find("Done"), std::string::npos);
      EXPECT_TRUE(dir.read("accounts.scp") == c.accounts) << "the account file was changed";
      EXPECT_FALSE(dir.exists("accounts.scp.old"));
      EXPECT_FALSE(dir.exists("..newaccu.scp")) << "an incomplete copy is not left behind";
    }
  }
#endif
}

TEST(Safety, DirectoryWhereTheRenameCannotHappen) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: POSIX directory permissions";
#else
  Scratch dir;
  e2e::makeDirectory(dir / "save");
  e2e::makeDirectory(dir / "work");
  if (!e2e::nobodyCanRun(dir / "work"))
    GTEST_SKIP() << "the user nobody cannot reach " << dir.path();
  dir.write("save/accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  ASSERT_EQ(::chmod((dir / "save/accounts.scp").c_str(), 0644), 0);
  ASSERT_EQ(::chmod((dir / "save").c_str(), 0555), 0);
  ASSERT_EQ(::chmod((dir / "work").c_str(), 0777), 0);
  e2e::RunOptions options;
  options.dropPrivileges = true;
  e2e::RunResult r = runQuelm({"../save/accounts.scp", "../gm.txt"}, dir / "work", options);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(startsWith(r.err, "rename(acctFile): ")) << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos);
  EXPECT_EQ(dir.read("save/accounts.scp"), kThreeViolations);
  EXPECT_FALSE(dir.exists("save/accounts.scp.old"));
  EXPECT_EQ(dir.read("work/..newaccu.scp"), kThreeFiltered);
#endif
}

TEST(Safety, UnwritableWorkingDirectory) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: POSIX directory permissions";
#else
  Scratch dir;
  e2e::makeDirectory(dir / "work");
  if (!e2e::nobodyCanRun(dir / "work"))
    GTEST_SKIP() << "the user nobody cannot reach " << dir.path();
  ASSERT_EQ(::chmod((dir / "work").c_str(), 0555), 0);
  dir.write("accounts.scp", kThreeViolations);
  dir.write("gm.txt", kGmList);
  ASSERT_EQ(::chmod((dir / "accounts.scp").c_str(), 0666), 0);
  e2e::RunOptions options;
  options.dropPrivileges = true;
  e2e::RunResult r = runQuelm({"../accounts.scp", "../gm.txt"}, dir / "work", options);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(startsWith(r.err, "fopen(tmpFile): ")) << r.err;
  EXPECT_EQ(dir.read("accounts.scp"), kThreeViolations);
#endif
}

TEST(Safety, CopyOnAnotherFileSystemIsMovedAtomically) {
  const std::string other = e2e::otherVolume();
  if (other.empty()) {
    GTEST_SKIP() << e2e::kNoOtherVolume;
  }
  Scratch save(other), work;
  save.write("accounts.scp", kThreeViolations);
  e2e::restrictAccess(save / "accounts.scp");
  const std::string rights = e2e::accessOf(save / "accounts.scp");
  work.write("gm.txt", kGmList);
  e2e::RunResult r = runQuelm({save / "accounts.scp", "gm.txt"}, work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(save.read("accounts.scp"), kThreeFiltered);
  EXPECT_EQ(save.read("accounts.scp.old"), kThreeViolations);
  EXPECT_FALSE(work.exists("..newaccu.scp"));
  EXPECT_EQ(e2e::accessOf(save / "accounts.scp"), rights);
  // Nothing else is left beside the account file.
  EXPECT_EQ(e2e::namesIn(save.path()).size(), 2u);
}

}  // namespace
