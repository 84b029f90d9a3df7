// The scheduled-run scripts in examples/, as the README and the manual show them, run as written:
// the batch file under cmd against the Windows build, the shell script against the POSIX one.
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace {

const char kGm[] = "admin\r\n";
const char kDirty[] = "[admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=1\r\n";
const char kFiltered[] = "[admin]\r\nPLEVEL=7\r\n[tobin]\r\n";

struct ScriptCase {
  const char* name;
  const char* accounts;
  bool gmList;
  int status;
  const char* logHolds;
  const char* mailSubject;  // what the shell script mails, "" for nothing
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Scripts, NightlyRunActsOnEachStatus) {
  const ScriptCase cases[] = {
      {"Clean", kFiltered, true, 0, ">>> Quelm <<<", ""},
      {"Violations", kDirty, true, 1, "Done, 1 violations found.", "quelm removed privileges"},
      {"MissingGmList", kDirty, false, 2, "fopen(gmFile): ", "quelm failed"},
  };
  const std::string quelm = std::getenv("QUELM_BIN") ? std::getenv("QUELM_BIN") : QUELM_DEFAULT_BIN;
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::Scratch dir;
    e2e::makeDirectory(dir / "save");
    e2e::makeDirectory(dir / "work");
    dir.write("save/accounts.scp", c.accounts);
    if (c.gmList) dir.write("work/gmlist.txt", kGm);
    e2e::RunOptions options;
    options.env = {"QUELM=" + e2e::platformPath(quelm),
                   "ACCOUNTS=" + e2e::platformPath(dir / "save/accounts.scp"),
                   "WORK=" + e2e::platformPath(dir / "work")};
    e2e::RunResult r;
#ifdef _WIN32
    r = e2e::runOnPlatform({"cmd", "/c", e2e::platformPath(QUELM_EXAMPLES_DIR "/nightly.cmd")},
                           dir.path(), options);
#else
    {
      // mail, as the script calls it, keeps what it is given.
      e2e::makeDirectory(dir / "bin");
      dir.write("bin/mail", "#!/bin/sh\n{ echo \"$2\"; cat; } >>\"$MAILBOX\"\n");
      ASSERT_EQ(::chmod((dir / "bin/mail").c_str(), 0755), 0);
      options.env.push_back("PATH=" + dir / "bin" + ":" + std::getenv("PATH"));
      options.env.push_back("MAILBOX=" + dir / "mailbox");
      r = e2e::runOnPlatform({"sh", QUELM_EXAMPLES_DIR "/nightly.sh"}, dir.path(), options);
    }
#endif
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    std::string log = dir.read("work/quelm.log");
    EXPECT_TRUE(contains(log, c.logHolds)) << log;
    int backups = 0;
    if (dir.exists("work/backups")) {
      for (const std::string& name : e2e::namesIn(dir / "work/backups")) {
        EXPECT_EQ(dir.read("work/backups/" + name), kDirty);
        ++backups;
      }
    }
    EXPECT_EQ(backups, c.status == 1 ? 1 : 0);
    EXPECT_FALSE(dir.exists("save/accounts.scp.old"));
    EXPECT_EQ(dir.read("save/accounts.scp"), c.status == 1 ? kFiltered : c.accounts);
    if (!e2e::windowsBuild()) {
      std::string mail = dir.exists("mailbox") ? dir.read("mailbox") : "";
      EXPECT_EQ(mail.empty(), *c.mailSubject == '\0');
      if (!mail.empty()) {
        EXPECT_TRUE(contains(mail, c.mailSubject));
        EXPECT_TRUE(contains(mail, c.logHolds)) << "the mail holds the log: " << mail;
      }
    }
  }
}

}  // namespace
