// The scheduled-run scripts in examples/, as the README and the manual show them, run as written:
// the batch file under cmd against the Windows build, the shell script against the POSIX one.
#include <set>
#include <string>
#include <utility>

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
  const char* accounts;  // nullptr for none
  const char* changes;   // the server's changes file beside it, nullptr for none
  bool gmList;
  bool backupsIsAFile;  // where the scripts' folder should be, so that the move fails everywhere
  int status;
  const char* logHolds;
  const char* mailSubject;  // what the shell script mails, "" for nothing
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs the platform's script on dir/save/accounts.scp from dir/work: the batch file under cmd
// against the Windows build, the shell script against the POSIX one, whose mail keeps what it is
// given in dir/mailbox.
e2e::RunResult runNightly(const e2e::Scratch& dir) {
  const std::string quelm = e2e::programPath();
  e2e::RunOptions options;
  options.env = {"QUELM=" + e2e::platformPath(quelm),
                 "ACCOUNTS=" + e2e::platformPath(dir / "save/accounts.scp"),
                 "WORK=" + e2e::platformPath(dir / "work")};
#ifdef _WIN32
  return e2e::runOnPlatform({"cmd", "/c", e2e::platformPath(QUELM_EXAMPLES_DIR "/nightly.cmd")},
                            dir.path(), options);
#else
  if (!dir.exists("bin/mail")) {
    e2e::makeDirectory(dir / "bin");
    dir.write("bin/mail", "#!/bin/sh\n{ echo \"$2\"; cat; } >>\"$MAILBOX\"\n");
    EXPECT_EQ(::chmod((dir / "bin/mail").c_str(), 0755), 0);
  }
  options.env.push_back("PATH=" + dir / "bin" + ":" + std::getenv("PATH"));
  options.env.push_back("MAILBOX=" + dir / "mailbox");
  return e2e::runOnPlatform({"sh", QUELM_EXAMPLES_DIR "/nightly.sh"}, dir.path(), options);
#endif
}

TEST(Scripts, NightlyRunActsOnEachStatus) {
  const ScriptCase cases[] = {
      {"Clean", kFiltered, nullptr, true, false, 0, ">>> Quelm <<<", ""},
      {"Violations", kDirty, nullptr, true, false, 1, "Done, 1 violations found.",
       "quelm removed privileges"},
      {"MissingGmList", kDirty, nullptr, false, false, 2, "fopen(gmFile): ", "quelm failed"},
      // The original stays beside the account file and stops the next run: not a success.
      {"BackupNotMoved", kDirty, nullptr, true, true, 3, "accounts.scp.old\" away by hand",
       "backup not moved"},
      // The server applies its changes file too: filtered after the account file, each backup
      // kept. A failed run outranks a backup not moved: privileges may remain in its file.
      {"ChangesFileFiltered", kFiltered, kDirty, true, false, 1, "Done, 1 violations found.",
       "quelm removed privileges"},
      {"ChangesFileBackupNotMoved", kFiltered, kDirty, true, true, 3,
       "sphereacct.scp.old\" away by hand", "backup not moved"},
      {"AccountFileMissing", nullptr, kDirty, true, true, 2, "sphereacct.scp.old\" away by hand",
       "quelm failed"},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::Scratch dir;
    e2e::makeDirectory(dir / "save");
    e2e::makeDirectory(dir / "work");
    if (c.accounts != nullptr) dir.write("save/accounts.scp", c.accounts);
    if (c.changes != nullptr) dir.write("save/sphereacct.scp", c.changes);
    if (c.gmList) dir.write("work/gmlist.txt", kGm);
    if (c.backupsIsAFile) dir.write("work/backups", "not a folder");
    e2e::RunResult r = runNightly(dir);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    std::string log = dir.read("work/quelm.log");
    EXPECT_TRUE(contains(log, c.logHolds)) << log;
    int backups = 0;
    if (dir.exists("work/backups") && !c.backupsIsAFile) {
      for (const std::string& name : e2e::namesIn(dir / "work/backups")) {
        EXPECT_EQ(dir.read("work/backups/" + name), kDirty);
        ++backups;
      }
    }
    // With the GM list each file is filtered, and a dirty one's original is kept in backups, or
    // stays beside it where backups cannot be made.
    int kept = 0;
    for (const auto& [file, original] : {std::pair{"save/accounts.scp", c.accounts},
                                         std::pair{"save/sphereacct.scp", c.changes}}) {
      if (original == nullptr) continue;
      const bool removed = c.gmList && original == std::string(kDirty);
      const std::string old = std::string(file) + ".old";
      EXPECT_EQ(dir.read(file), c.gmList ? kFiltered : original) << file;
      EXPECT_EQ(dir.exists(old) ? dir.read(old) : "", removed && c.backupsIsAFile ? original : "")
          << file;
      if (removed && !c.backupsIsAFile) ++kept;
    }
    EXPECT_EQ(backups, kept);
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

// The runs follow each other within a second, where the shell script's time ends, and within a
// minute, where wine's does: a name taken from the time alone would put each backup over the last.
TEST(Scripts, NightlyRunsInOneMinuteKeepEveryBackup) {
  e2e::Scratch dir;
  e2e::makeDirectory(dir / "save");
  e2e::makeDirectory(dir / "work");
  dir.write("work/gmlist.txt", kGm);
  std::multiset<std::string> originals;
  for (const char* account : {"tobin", "wren", "cask"}) {
    const std::string accounts = std::string("[admin]\r\n[") + account + "]\r\nPLEVEL=1\r\n";
    originals.insert(accounts);
    dir.write("save/accounts.scp", accounts);
    e2e::RunResult r = runNightly(dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err << dir.read("work/quelm.log");
  }
  std::multiset<std::string> kept;
  for (const std::string& name : e2e::namesIn(dir / "work/backups")) {
    kept.insert(dir.read("work/backups/" + name));
  }
  EXPECT_EQ(kept, originals);
  EXPECT_FALSE(dir.exists("save/accounts.scp.old"));
}

}  // namespace
