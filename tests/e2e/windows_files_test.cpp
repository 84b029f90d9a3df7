// Files and paths as Windows makes them: byte-order marks, UTF-16 text, names in any script, a
// file that another program holds for a moment. Run against the Linux build and, under wine,
// against quelm.exe.
#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace {

using e2e::banner;
using e2e::console;
using e2e::runQuelm;
using e2e::Scratch;
using namespace std::string_literals;

const std::string kMark = "\xEF\xBB\xBF";
const std::string kGm = "admin\r\ngm2\r\n";
const std::string kStaffFirst = "[admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=1\r\nPASSWORD=x\r\n";
const std::string kStaffFirstFiltered = "[admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=x\r\n";
const std::string kTobinReport = "PLEVEL found. Varmo=[tobin]\n";
const std::string kOneDone = "Done, 1 violations found.\n";

// UTF-16 text as Windows PowerShell 5.1 writes it: little-endian, a byte-order mark first.
std::string utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

struct EncodingCase {
  const char* name;
  std::string gmList;
  std::string accounts;
  int status;
  std::string out;       // after the banner, before console line ends
  std::string err;       // before console line ends
  std::string filtered;  // the account file afterwards
};

TEST(WindowsFiles, EncodingsAndByteOrderMarks) {
  const std::string refusedList =
      "fread(gmFile): the GM list is UTF-16 text; save it as ANSI or UTF-8\n";
  const std::string refusedFile =
      "fread(acctFile): the account file is UTF-16 text; save it as ANSI or UTF-8\n";
  const EncodingCase cases[] = {
      {"GmListWithUtf8Mark", kMark + kGm, kStaffFirst, 1, kTobinReport + kOneDone, "",
       kStaffFirstFiltered},
      {"GmListInUtf16LittleEndian", utf16(kGm), kStaffFirst, 2, "", refusedList, kStaffFirst},
      {"AccountFileWithUtf8MarkAndStaffFirst", kGm, kMark + kStaffFirst, 1, kTobinReport + kOneDone,
       "", kMark + kStaffFirstFiltered},
      {"AccountFileInUtf16", kGm, utf16("[tobin]\r\nPLEVEL=1\r\n"), 2, "", refusedFile,
       utf16("[tobin]\r\nPLEVEL=1\r\n")},
  };
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    dir.write("gm.txt", c.gmList);
    dir.write("accounts.scp", c.accounts);
    e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, banner() + console(c.out));
    EXPECT_EQ(r.err, console(c.err));
    EXPECT_EQ(dir.read("accounts.scp"), c.filtered);
    EXPECT_EQ(dir.exists("accounts.scp.old"), c.status == 1);
    if (c.status == 1) {
      EXPECT_EQ(dir.read("accounts.scp.old"), c.accounts);
    }
    EXPECT_FALSE(dir.exists("..newaccu.scp"));
  }
}

// Folders and files named in Cyrillic, Greek and CJK characters, the working directory too.
TEST(WindowsFiles, NamesInAnyScript) {
  Scratch dir;
  const std::string save = "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80";  // сервер
  const std::string accounts = "\xCE\xBB\xCE\xBF\xCE\xB3\xCE\xB1\xCF\x81.scp";  // λογαρ.scp
  const std::string gm = "\xE7\xAE\xA1\xE7\x90\x86\xE8\x80\x85.txt";            // 管理者.txt
  const std::string work = "\xE4\xBD\x9C\xE6\xA5\xAD";                          // 作業
  try {
    e2e::makeDirectory(dir / save);
  } catch (const std::exception& e) {
    // Wine hands a name to the host in the host's locale, and the C locale holds none of these.
    GTEST_SKIP() << e.what() << ": under wine, run with a UTF-8 locale (LC_ALL=C.UTF-8, which "
                 << "ctest sets)";
  }
  e2e::makeDirectory(dir / work);
  dir.write(save + "/" + accounts, kStaffFirst);
  dir.write(gm, kGm);
  e2e::RunResult r = runQuelm({"../" + save + "/" + accounts, "../" + gm}, dir / work);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, banner() + console(kTobinReport + kOneDone));
  EXPECT_EQ(dir.read(save + "/" + accounts), kStaffFirstFiltered);
  EXPECT_EQ(dir.read(save + "/" + accounts + ".old"), kStaffFirst);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A virus scanner that reads the account file, sharing reads only, keeps it from being
// replaced on Windows for as long as it holds it. A moment is waited out.
TEST(WindowsFiles, FileHeldForAMomentIsWaitedOut) {
  if (!e2e::windowsBuild()) GTEST_SKIP() << "an open file stands in nobody's way on POSIX";
  Scratch dir;
  dir.write("accounts.scp", kStaffFirst);
  dir.write("gm.txt", kGm);
  e2e::Started scanner = e2e::holdLikeAScanner("accounts.scp", dir.path(), 1500);
  e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, banner() + console(kTobinReport + kOneDone));
  EXPECT_EQ(dir.read("accounts.scp"), kStaffFirstFiltered);
  EXPECT_EQ(dir.read("accounts.scp.old"), kStaffFirst);
  EXPECT_EQ(scanner.finish().status, 0);
}

// Held for longer than the run waits: nothing is changed and no backup is left, so that the next
// run, once the scanner has let go, is not stopped by one.
TEST(WindowsFiles, FileHeldForLongLeavesNoBackup) {
  if (!e2e::windowsBuild()) GTEST_SKIP() << "an open file stands in nobody's way on POSIX";
  Scratch dir;
  dir.write("accounts.scp", kStaffFirst);
  dir.write("gm.txt", kGm);
  {
    e2e::Started scanner = e2e::holdLikeAScanner("accounts.scp", dir.path());
    auto start = std::chrono::steady_clock::now();
    e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
    double waited = secondsSince(start);
    EXPECT_EQ(r.status, 2);
    EXPECT_GE(waited, 4.5);
    EXPECT_LT(waited, 20.0);
    EXPECT_EQ(r.out, banner() + console(kTobinReport));
    EXPECT_EQ(r.err.rfind("stat(acctFile): ", 0), 0u) << r.err;
    EXPECT_EQ(dir.read("accounts.scp"), kStaffFirst);
    EXPECT_FALSE(dir.exists("accounts.scp.old"));
    scanner.closeInput();
    EXPECT_EQ(scanner.finish().status, 0);
  }
  e2e::RunResult next = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
  EXPECT_EQ(next.status, 1) << next.err;
  EXPECT_EQ(dir.read("accounts.scp"), kStaffFirstFiltered);
}

}  // namespace
