// Input of every odd kind, end to end: each gives a clear message and the documented status,
// and nothing is lost.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace {

using e2e::banner;
using e2e::console;
using e2e::runQuelm;
using e2e::Scratch;
using namespace std::string_literals;

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

struct OddFile {
  const char* name;
  std::string accounts;
  std::string gmList;
  int status;
  std::string filtered;  // the account file afterwards
  std::string err = "";  // standard error, before console line ends
};

std::string garbage(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

TEST(OddInput, Table) {
  const std::string megabyte(1 << 20, '7');
  const std::string sample = e2e::readFile(QUELM_EXAMPLES_DIR "/accounts.scp");
  const std::string samples = e2e::readFile(QUELM_EXAMPLES_DIR "/gmlist.txt");
  const OddFile cases[] = {
      {"EmptyAccountFile", "", "Admin\r\n", 0, ""},
      {"EmptyGmListMakesEveryoneOrdinary", "[Admin]\r\nPLEVEL=7\r\n", "", 1, "[Admin]\r\n"},
      {"NoFinalLineFeed", "[tobin]\r\nPASSWORD=x\r\nPLEVEL=1", "Admin\r\n", 1,
       "[tobin]\r\nPASSWORD=x\r\n"},
      {"MegabyteLineGoesWhole", "[tobin]\r\nPLEVEL=" + megabyte + "\r\nX=1\r\n", "Admin\r\n", 1,
       "[tobin]\r\nX=1\r\n"},
      {"MegabyteLineStaysWhole", "[tobin]\r\nNOTE=" + megabyte + "\r\n", "Admin\r\n", 0,
       "[tobin]\r\nNOTE=" + megabyte + "\r\n"},
      {"GmListOfMegabyteLines", "[tobin]\r\nPLEVEL=1\r\n", megabyte + "\r\n" + megabyte, 1,
       "[tobin]\r\n"},
      {"NulBytesEverywhere", "[to\0bin]\r\nPASS\0WORD=\0\r\n[Bob]\r\nA=\0\r\n"s, "Admin\r\n", 1,
       "[Bob]\r\nA=\0\r\n"s},
      // As the server reads the file: none of these privileges may pass.
      {"ServerForms",
       "[Admin]\r\nPLEVEL=Owner\r\n [Evil]\r\nPLEVEL=Owner\r\n[Mallory]\r\n PLEVEL=7\r\n"
       "PLEVEL 7\r\nPLEVEL = GM\r\nPLEVEL.x=7\r\n\tPRIV=0200\r\nPRIV=40\r\nPRIV=1000\r\n",
       "Admin\r\n", 1, "[Admin]\r\nPLEVEL=Owner\r\n [Evil]\r\n[Mallory]\r\n"},
      {"BrokenHeaderTakesItsSection",
       "[Admin]\r\nPLEVEL=Owner\r\nPASSWORD=adminpw\r\n[evil x]\r\nPASSWORD=evilpw\r\n[Bob]\r\n"
       "PASSWORD=bobpw\r\n",
       "Admin\r\n", 1,
       "[Admin]\r\nPLEVEL=Owner\r\nPASSWORD=adminpw\r\n[Bob]\r\nPASSWORD=bobpw\r\n"},
      // A scheduled task with its two paths the other way round must not report a clean server
      // every night: an account file without a single header, with a GM list that holds one, is
      // refused; an account file with a header, or a GM list without one, runs as before.
      {"SwappedSampleFiles", samples, sample, 2, samples,
       "fread(gmFile): the GM list holds account sections; are the arguments swapped?\n"},
      {"NoHeaderAndAnOrdinaryList", "PLEVEL=4\r\nX=1\r\n", "Admin\r\n", 1, "X=1\r\n"},
      {"ListWithABracketedLine", "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=1\r\n",
       "Admin\r\n[tobin]\r\n", 1, "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\n"},
  };
  for (const OddFile& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    dir.write("accounts.scp", c.accounts);
    dir.write("gm.txt", c.gmList);
    e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, console(c.err));
    EXPECT_EQ(dir.read("accounts.scp"), c.filtered);
    if (c.status == 1) {
      EXPECT_EQ(dir.read("accounts.scp.old"), c.accounts);
    }
    if (c.status == 2) {
      EXPECT_EQ(r.out, banner());
      EXPECT_FALSE(dir.exists("..newaccu.scp")) << "a copy is left";
    }
  }
}

TEST(OddInput, BinaryGarbageLosesNothing) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    Scratch dir;
    std::string accounts = garbage(300000, seed);
    dir.write("accounts.scp", accounts);
    dir.write("gm.txt", garbage(5000, seed + 100));
    e2e::RunResult r = runQuelm({"accounts.scp", "gm.txt"}, dir.path());
    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.err;
    if (r.status == 1) {
      EXPECT_EQ(dir.read("accounts.scp.old"), accounts);
    } else {
      EXPECT_EQ(dir.read("accounts.scp"), accounts);
    }
    // Filtering its own output finds nothing more.
    EXPECT_EQ(runQuelm({"accounts.scp", "gm.txt"}, dir.path()).status, 0);
  }
}

TEST(OddInput, PathsThatAreNotFiles) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> reports;  // any of these starts standard error
  } cases[] = {
      {"GmListIsADirectory", {"accounts.scp", "adir"}, {"fread(gmFile): ", "fopen(gmFile): "}},
      {"AccountFileIsADirectory", {"adir", "gm.txt"}, {"fread(acctFile): ", "fopen(acctFile): "}},
      {"GmListInMissingDirectory", {"accounts.scp", "nodir/gm.txt"}, {"fopen(gmFile): "}},
      {"AccountFileInMissingDirectory", {"nodir/accounts.scp", "gm.txt"}, {"fopen(acctFile): "}},
      {"EmptyPaths", {"", ""}, {"fopen(gmFile): "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch dir;
    e2e::makeDirectory(dir / "adir");
    dir.write("accounts.scp", "[tobin]\r\nPLEVEL=1\r\n");
    dir.write("gm.txt", "Admin\r\n");
    e2e::RunResult r = runQuelm(c.args, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner());
    bool known = false;
    for (const std::string& prefix : c.reports) known = known || startsWith(r.err, prefix);
    EXPECT_TRUE(known) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(dir.read("accounts.scp"), "[tobin]\r\nPLEVEL=1\r\n");
    EXPECT_FALSE(dir.exists("..newaccu.scp"));
  }
}

}  // namespace
