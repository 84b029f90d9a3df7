#include "filter/scan.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "roster/gm_list.h"
#include "sys/report.h"
#include "test_util.h"

namespace {

using namespace std::string_literals;

struct ScanCase {
  const char* name;
  std::string input;
  std::string output;
  std::string reports;
  std::int64_t violations;
};

// Test names, not bytes, in test listings.
void PrintTo(const ScanCase& c, std::ostream* os) {
  *os << c.name;
}

// Admin and moira are staff; everybody else is an ordinary account.
const char* const kGmList = "Admin\r\nmoira\r\n";

const std::string x247(247, 'x');
const std::string x249(249, 'x');
const std::string x4089(4089, 'x');
const std::string x4090(4090, 'x');

const ScanCase kScanCases[] = {
    {"StaffFileIsCopiedUnchanged",
     "[Admin]\r\nPLEVEL=7\r\nPRIV=0ffff\r\n\r\n[MOIRA]\r\nplevel=2\r\n",
     "[Admin]\r\nPLEVEL=7\r\nPRIV=0ffff\r\n\r\n[MOIRA]\r\nplevel=2\r\n", "", 0},
    {"PlevelRemovedWhateverItsValueAndCase",
     "[tobin]\r\nPLEVEL=1\r\nplevel=0\r\nPlEvEl=\r\nPASSWORD=x\r\n", "[tobin]\r\nPASSWORD=x\r\n",
     "PLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\n",
     3},
    {"PermittedPrivValuesStay",
     "[tobin]\r\nPRIV=\r\nPRIV=0\r\nPRIV=040\r\npriv=01000\r\nPriv=01040\r\nPRIV=0x40\r\nPRIV="
     "0x1040\r\nPRIV = 01040 // a note\r\nPRIV=.040\r\n",
     "[tobin]\r\nPRIV=\r\nPRIV=0\r\nPRIV=040\r\npriv=01000\r\nPriv=01040\r\nPRIV=0x40\r\nPRIV="
     "0x1040\r\nPRIV = 01040 // a note\r\nPRIV=.040\r\n",
     "", 0},
    {"ForbiddenPrivValuesGo",
     "[tobin]\r\nPRIV=41\r\nPRIV=2000\r\nPRIV=10000\r\nPRIV=ffffffff\r\nPRIV=80000000\r\n"
     "PRIV=-1\r\nPRIV=-1040\r\nPRIV=0X41\r\n",
     "[tobin]\r\n",
     "PRIV 41 found. Varmo=[tobin]\n"
     "PRIV 2000 found. Varmo=[tobin]\n"
     "PRIV 10000 found. Varmo=[tobin]\n"
     "PRIV 7fffffff found. Varmo=[tobin]\n"
     "PRIV 7fffffff found. Varmo=[tobin]\n"
     "PRIV ffffffff found. Varmo=[tobin]\n"
     "PRIV ffffefc0 found. Varmo=[tobin]\n"
     "PRIV 41 found. Varmo=[tobin]\n",
     8},
    // Decimal to the server, which shows in the report; an expression it evaluates goes whatever
    // it comes to, reported as the filter's own reading.
    {"PrivValuesAsTheServerReadsThem",
     "[tobin]\r\nPRIV=40\r\nPRIV=1000\r\nPRIV=1040\r\nPRIV=0.40\r\nPRIV=1.0.4.0\r\nPRIV=.0200\r\n"
     "PRIV=4294971456\r\nPRIV=040|2\r\nPRIV=GM\r\nPRIV=+40\r\nPRIV=0x40 1\r\n",
     "[tobin]\r\n",
     "PRIV 28 found. Varmo=[tobin]\nPRIV 3e8 found. Varmo=[tobin]\n"
     "PRIV 410 found. Varmo=[tobin]\nPRIV 28 found. Varmo=[tobin]\n"
     "PRIV 1 found. Varmo=[tobin]\nPRIV 200 found. Varmo=[tobin]\n"
     "PRIV 7fffffff found. Varmo=[tobin]\nPRIV 40 found. Varmo=[tobin]\n"
     "PRIV 0 found. Varmo=[tobin]\nPRIV 40 found. Varmo=[tobin]\n"
     "PRIV 40 found. Varmo=[tobin]\n",
     11},
    // White space of every kind before a key, each separator, keys the server takes by their head.
    {"KeysAsTheServerReadsThem",
     "[tobin]\r\n "
     "PLEVEL=1\r\n\tplevel=1\r\n\vPLEVEL=1\r\n\fPLEVEL=1\r\n\xA0PLEVEL=1\r\n\r\rPLEVEL=1\r\n"
     "PLEVEL 7\r\nPLEVEL = GM\r\nPLEVEL,1\r\nPLEVEL.x=7\r\nPLEVEL(1)=7\r\nPLEVEL\r\nPLEVEL//1\r\n"
     " PRIV=0200\r\nPRIV 0200\r\nPRIV\t=\t0200\r\nPRIV,0200\r\nPRIV.x=040\r\nPRIV\xA0=040\r\n",
     "[tobin]\r\n",
     "PLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\nPLEVEL found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\nPRIV 200 found. Varmo=[tobin]\nPRIV 200 found. Varmo=[tobin]\n"
     "PRIV 200 found. Varmo=[tobin]\nPRIV 200 found. Varmo=[tobin]\nPRIV 40 found. Varmo=[tobin]\n"
     "PRIV 40 found. Varmo=[tobin]\n",
     19},
    {"OtherKeysAndCommentsStay",
     "[tobin]\r\nPLEVELS=1\r\nPRIVATE=1\r\nPLEVEL_X=1\r\nxpriv=41\r\n//PLEVEL=1\r\n PASSWORD=x\r\n"
     "PRIV=040//2000\r\nPRIV//2000\r\nPRIV\v\r\n",
     "[tobin]\r\nPLEVELS=1\r\nPRIVATE=1\r\nPLEVEL_X=1\r\nxpriv=41\r\n//PLEVEL=1\r\n PASSWORD=x\r\n"
     "PRIV=040//2000\r\nPRIV//2000\r\nPRIV\v\r\n",
     "", 0},
    // Behind white space a header stays, and whatever name it holds, the lines after it are
    // checked: one server gives them to that name, another to the account above.
    {"IndentedHeaderStaysAndItsLinesAreChecked",
     "[Admin]\r\nPLEVEL=7\r\n "
     "[Evil]\r\nPLEVEL=7\r\n\t[Admin]\r\nPRIV=0200\r\n[moira]\r\nPLEVEL=2\r\n",
     "[Admin]\r\nPLEVEL=7\r\n [Evil]\r\n\t[Admin]\r\n[moira]\r\nPLEVEL=2\r\n",
     "PLEVEL found. Varmo= [Evil]\nPRIV 200 found. Varmo=\t[Admin]\n", 2},
    // A section whose header goes leaves whole: its lines would otherwise join the account above.
    {"BrokenHeaderTakesItsSectionAlong",
     "[Admin]\r\nPLEVEL=7\r\n[bad name]\r\nPLEVEL=3\r\nPRIV=41\r\nPASSWORD=p\r\n [x]\r\nA=1\r\n",
     "[Admin]\r\nPLEVEL=7\r\n",
     "File is BROKEN! ([bad name])\n"
     "PLEVEL found. Varmo=[bad name]\n"
     "PRIV 41 found. Varmo=[bad name]\n",
     3},
    {"BrokenSectionsEndAtTheNextHeader",
     "// saved\r\n[evil x]\r\nPASSWORD=evilpw\r\n[no bracket\r\nPASSWORD=2\r\n[Admin]\r\n"
     "PLEVEL=Owner\r\nPASSWORD=adminpw\r\n[evil\ty]\r\nPASSWORD=3\r\n[Bob]\r\nPASSWORD=bobpw\r\n",
     "// saved\r\n[Admin]\r\nPLEVEL=Owner\r\nPASSWORD=adminpw\r\n[Bob]\r\nPASSWORD=bobpw\r\n",
     "File is BROKEN! ([evil x])\nFile is BROKEN! ([no bracket)\nFile is BROKEN! ([evil\ty])\n", 3},
    {"LinesBeforeTheFirstHeaderAreChecked",
     "PLEVEL=1\r\npriv=41\r\nkeep=1\r\n[Admin]\r\nPLEVEL=7\r\n",
     "keep=1\r\n[Admin]\r\nPLEVEL=7\r\n",
     "PLEVEL found. Varmo=\n"
     "PRIV 41 found. Varmo=\n",
     2},
    {"FileAsTheServerWritesIt",
     "// Sphere accounts\n// saved at 04:10\n\n[Admin]\nPLEVEL=Owner\nPRIV=0200\nPASSWORD=a\n\n"
     "[tobin]\nPLEVEL=Player\nPRIV=01040\nPASSWORD=t\nTOTALCONNECTTIME=512\n\n[Lissa]\nPRIV=0E\n",
     "// Sphere accounts\r\n// saved at 04:10\r\n\r\n[Admin]\r\nPLEVEL=Owner\r\nPRIV=0200\r\n"
     "PASSWORD=a\r\n\r\n[tobin]\r\nPRIV=01040\r\nPASSWORD=t\r\nTOTALCONNECTTIME=512\r\n\r\n"
     "[Lissa]\r\n",
     "PLEVEL found. Varmo=[tobin]\nPRIV e found. Varmo=[Lissa]\n", 2},
    {"BlankLinesAndLfOnlyLinesComeOutWithCrLf", "[tobin]\n\nPASSWORD=x\n\r\n",
     "[tobin]\r\n\r\nPASSWORD=x\r\n\r\n", "", 0},
    {"LastLineWithoutLineEndStaysSo", "[tobin]\r\nPASSWORD=x", "[tobin]\r\nPASSWORD=x", "", 0},
    {"KeyAtAPieceBoundaryIsNotALine", "[tobin]\r\nnote=" + x249 + "plevel=5\r\n",
     "[tobin]\r\nnote=" + x249 + "plevel=5\r\n", "", 0},
    {"HeaderAtAPieceBoundaryDoesNotOpenASection",
     "[tobin]\r\nnote=" + x249 + "[Admin]\r\nPLEVEL=1\r\n",
     "[tobin]\r\nnote=" + x249 + "[Admin]\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"OverlongLineGoesWhole", "[tobin]\r\nPLEVEL=" + std::string(300, '1') + "\r\nnext=1\r\n",
     "[tobin]\r\nnext=1\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"Line254GoesWithItsLineFeed", "[tobin]\r\nPLEVEL=" + x247 + "\r\nnext=1\r\n",
     "[tobin]\r\nnext=1\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"KeyBehindAPieceOfWhiteSpace", "[tobin]\r\n" + std::string(300, ' ') + "PLEVEL=1\r\nA=1\r\n",
     "[tobin]\r\nA=1\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    // The server reads 4095 bytes of a line at a time, each a line of its own.
    {"KeyAtTheServersLineBoundaryTakesTheLine",
     "[tobin]\r\nNOTE=" + x4090 + "PLEVEL=1\r\nNOTE=" + x4089 + "PLEVEL=1\r\n",
     "[tobin]\r\nNOTE=" + x4089 + "PLEVEL=1\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"HeaderAtTheServersLineBoundaryOpensASection",
     "[Admin]\r\nNOTE=" + x4090 + "[tobin]\r\nPLEVEL=1\r\n[Admin]\r\nNOTE=" + x4090 +
         "[bad name]\r\nPASSWORD=p\r\n[moira]\r\nPLEVEL=2\r\n",
     "[Admin]\r\nNOTE=" + x4090 + "[tobin]\r\n[Admin]\r\n[moira]\r\nPLEVEL=2\r\n",
     "PLEVEL found. Varmo=[tobin]\nFile is BROKEN! ([bad name])\n", 2},
    {"LongLineThatGoesTakesTheSectionsItOpens",
     "[Admin]\r\nNOTE=" + x4090 + "[tobin]\r\r" + std::string(4087, 'y') +
         "PLEVEL=1\r\nPASSWORD=t\r\n[moira]\r\n",
     "[Admin]\r\n[moira]\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"NulEndsTheHeaderText", "[to\0bin]\r\nPLEVEL=1\r\nA=1\r\n"s, "",
     "File is BROKEN! ([to)\n"
     "PLEVEL found. Varmo=[to\n",
     2},
    {"NulEndsTheKeyAndTheValue",
     "[tobin]\r\nPLEV\0EL=1\r\nPRIV=040\0"
     "1\r\n"s,
     "[tobin]\r\nPLEV\0EL=1\r\nPRIV=040\0"
     "1\r\n"s,
     "", 0},
    {"RememberedHeaderKeepsItsFirst63Characters", "[" + std::string(70, 'h') + "]\r\nPLEVEL=1\r\n",
     "",
     "File is BROKEN! ([" + std::string(70, 'h') + "])\n" + "PLEVEL found. Varmo=[" +
         std::string(62, 'h') + "\n",
     2},
    {"CrRulesApplyToKeysAndCopies", "[tobin]\r\nPRIV=41\r\r\nX=1\r\r\nPLE\rVEL=1\r\n",
     "[tobin]\r\nX=1\r\r\n",
     "PRIV 41 found. Varmo=[tobin]\n"
     "PLEVEL found. Varmo=[tobin]\n",
     2},
    {"Utf8MarkBeginsTheCopyNotTheFirstHeader",
     "\xEF\xBB\xBF[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=1\r\n",
     "\xEF\xBB\xBF[Admin]\r\nPLEVEL=7\r\n[tobin]\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
    {"Utf8MarkStaysWhenTheLineAfterItGoes", "\xEF\xBB\xBFPLEVEL=1\r\n[tobin]\r\n",
     "\xEF\xBB\xBF[tobin]\r\n", "PLEVEL found. Varmo=\n", 1},
    {"MarkBytesOnALaterLineAreData", "[tobin]\r\n\xEF\xBB\xBFPLEVEL=1\r\n",
     "[tobin]\r\n\xEF\xBB\xBFPLEVEL=1\r\n", "", 0},
    {"SubNeverShortensTheCopy", "[tobin]\r\n\x1aPLEVEL=1\r\nPASS\x1aWORD=x\r\n"s,
     "[tobin]\r\nPASSWORD=x\r\n", "PLEVEL found. Varmo=[tobin]\n", 1},
};

using reference::ScanOutcome;

ScanOutcome runScan(const std::string& input, std::size_t chunk = 1 << 20) {
  GmList gmList = testing_util::gmListOf(kGmList);
  testing_util::StringSource source(input, chunk);
  testing_util::StringSink sink;
  text::TextWriter writer(sink);
  testing_util::CapturedFile reports;
  PassCount count;
  Outcome passed = filterAccounts(source, gmList, writer, reports.get(), count);
  EXPECT_TRUE(passed.ok());
  return {sink.data, reports.text(), count.violations};
}

class ScanTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, CopyReportsAndCount) {
  const ScanCase& c = GetParam();
  for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{3}}) {
    ScanOutcome got = runScan(c.input, chunk);
    EXPECT_EQ(got.output, c.output);
    EXPECT_EQ(got.reports, c.reports);
    EXPECT_EQ(got.violations, c.violations);
  }
  // The plain-rules yardstick of the fuzz targets reads every case the same way.
  ScanOutcome plain = reference::scan(c.input, kGmList);
  EXPECT_EQ(plain.output, c.output);
  EXPECT_EQ(plain.reports, c.reports);
}

// The same case amid plenty of lines that need no look, so that it goes through the vector
// classification of lines rather than the reading of short inputs line by line.
TEST_P(ScanTable, SameAmidPassingLines) {
  const ScanCase& c = GetParam();
  if (c.input.empty() || c.input.back() != '\n') GTEST_SKIP() << "more lines would join its last";
  if (c.input.starts_with(text::kUtf8Mark)) GTEST_SKIP() << "the mark counts only first";
  std::string passing;
  for (int i = 0; i < 40; ++i) passing += "PASSWORD=pw" + std::to_string(i) + "\r\n";
  for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{7}}) {
    // A staff header between, which ends a section the case may leave open.
    ScanOutcome got = runScan(passing + c.input + "[moira]\r\n" + passing, chunk);
    EXPECT_EQ(got.output, passing + c.output + "[moira]\r\n" + passing);
    EXPECT_EQ(got.reports, c.reports);
    EXPECT_EQ(got.violations, c.violations);
  }
}

INSTANTIATE_TEST_SUITE_P(Rules, ScanTable, ::testing::ValuesIn(kScanCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A pass that cannot be completed fails with the report that says why, and a file in UTF-16,
// between whose NUL bytes nothing reads as a key, is refused rather than passed as clean.
TEST(Scan, FailuresAreReported) {
  std::string unread, unwritten;
  for (int i = 0; i < 2000; ++i) unread += "[tobin]\r\nPLEVEL=1\r\n";
  for (int i = 0; i < 2000; ++i) unwritten += "[tobin]\r\nPASSWORD=1\r\n";
  const std::string utf16 = "[\0t\0]\0\r\0\n\0"s;
  const std::string refused =
      "fread(acctFile): the account file is UTF-16 text; save it as ANSI or UTF-8";
  const struct {
    const char* name;
    testing_util::StringSource source;
    std::size_t sinkLimit;
    std::string report;  // all of it, or its start when it ends in ": "
  } cases[] = {
      {"read error", testing_util::StringSource(unread, 4096, 10000), std::string::npos,
       "fread(acctFile): "},
      {"write error", testing_util::StringSource(unwritten), 1000, "fwrite(tmpFile): "},
      {"UTF-16 LE", testing_util::StringSource("\xFF\xFE" + utf16), std::string::npos, refused},
      {"UTF-16 BE", testing_util::StringSource("\xFE\xFF" + utf16), std::string::npos, refused},
  };
  GmList gmList = testing_util::gmListOf(kGmList);
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    testing_util::StringSink sink(c.sinkLimit);
    text::TextWriter writer(sink, 512);
    testing_util::CapturedFile reports;
    PassCount count;
    Outcome passed = filterAccounts(c.source, gmList, writer, reports.get(), count);
    ASSERT_FALSE(passed.ok());
    ::testing::internal::CaptureStderr();
    passed.report();
    std::string err = ::testing::internal::GetCapturedStderr();
    if (c.report.ends_with(": ")) {
      EXPECT_EQ(err.rfind(c.report, 0), 0u) << err;
    } else {
      EXPECT_EQ(err, c.report + "\n");
    }
  }
}

// Densely packed headers and privilege lines fill the classification's room for lines that
// need a look, dropped lines stand at the edges of whole stretches of lines, and lines that
// need decoding come between them: the copy, reports and count are still those of the rules
// applied one line at a time.
TEST(Scan, ManyLinesAtOnceMatchOneLineAtATime) {
  std::mt19937 rng(77);
  // Mostly lines that need a look, so that thousands of them stand in one stretch.
  const char* const common[] = {"[p%]\r\n",       "PLEVEL=1\r\n",  "Priv=040\r\n",  "PRIV=0200\r\n",
                                "[Admin]\r\n",    "[bad %]\r\n",   "pr=%\r\n",      "\r\n",
                                "PASSWORD=%\r\n", " PLEVEL=%\r\n", "\t[moira]\r\n", "PRIV=%\r\n"};
  // Now and then a line that needs decoding or an overlong one, which ends such a stretch.
  const std::string rare[] = {"x=1\r\ry\r\n", "SUB\x1a=1\r\n", "LF=only\n",
                              "NOTE=" + std::string(300, 'n') + "priv=1\r\n",
                              "NOTE=" + std::string(4090, 'n') + "[p%]\r\n"};
  std::string input;
  while (input.size() < (3u << 20)) {
    std::string line = rng() % 5000 == 0 ? rare[rng() % 5] : common[rng() % 12];
    std::size_t hole = line.find('%');
    if (hole != std::string::npos) line.replace(hole, 1, std::to_string(rng() % 1000));
    input += line;
  }
  ScanOutcome expected = reference::scan(input, kGmList);
  for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{4093}}) {
    ScanOutcome got = runScan(input, chunk);
    EXPECT_EQ(got.violations, expected.violations);
    EXPECT_TRUE(got.reports == expected.reports) << "the reports differ";
    EXPECT_TRUE(got.output == expected.output) << "the copies differ";
  }
}

// A file large enough to be read through windows of a memory mapping gives the same copy and
// count as the same bytes read in blocks, whatever stands at the windows' edges.
TEST(Scan, LargeFileReadThroughWindowsMatchesBlockReading) {
  std::mt19937 rng(4242);
  const char* const kinds[] = {"[player%]\r\n",  "PLEVEL=1\r\n", "Priv=040\r\n",  "PRIV=0200\r\n",
                               "[Admin]\r\n",    "x=1\r\ry\r\n", "SUB\x1a=1\r\n", "LF=only\n",
                               "PASSWORD=%\r\n", "\r\n"};
  std::string input;
  while (input.size() < (9u << 20)) {
    int k = static_cast<int>(rng() % 14);
    if (k >= 10) {
      // An overlong line now and then, its tail holding what would look like a key.
      input += "NOTE=" + std::string(200 + rng() % 400, 'n') + "plevel=1\r\n";
      continue;
    }
    std::string line = kinds[k];
    std::size_t hole = line.find('%');
    if (hole != std::string::npos) line.replace(hole, 1, std::to_string(rng() % 100000));
    input += line;
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "quelm-scan-test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  {
    std::ofstream out("accounts.scp", std::ios::binary);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }

  GmList gmList = testing_util::gmListOf(kGmList);
  ::testing::internal::CaptureStdout();
  FilteredCopy held;
  EXPECT_TRUE(scanAccountFile("accounts.scp", gmList, held).ok());
  std::int64_t fromFile = held.violations;
  std::string fileReports = ::testing::internal::GetCapturedStdout();
  held.file.close();  // on Windows nobody else may read it while it is held
  std::stringstream copied;
  {
    std::ifstream copy(kTempFileName, std::ios::binary);
    copied << copy.rdbuf();
  }
  std::filesystem::current_path(cwd);
  std::filesystem::remove_all(dir);

  ScanOutcome expected = runScan(input, 4093);
  EXPECT_EQ(fromFile, expected.violations);
  EXPECT_EQ(fileReports, expected.reports);
  EXPECT_TRUE(copied.str() == expected.output) << "the copies differ";
}

}  // namespace
