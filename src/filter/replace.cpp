#include "filter/replace.h"

#include <string>

#include "filter/retry.h"
#include "filter/scan.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

// The labels of the replacement's failures that more than one step reports.
constexpr const char* kAccountLook = "stat(acctFile)";
constexpr const char* kBackupRemoval = "unlink(backup)";
constexpr const char* kDirectorySync = "fsync(acctDir)";

// Whether the file seen now is the one the scan read, unchanged. Another writer (the server
// saving, another run) may have changed it since: the copy then holds a filtered form of contents
// that are no longer there.
Outcome compareWithRead(const sys::FileIdentity& now, const sys::FileIdentity& original) {
  if (now.isUnchanged(original)) return {};
  return Outcome::failure(kAccountLook, "the account file changed during the run; filter it again");
}

// Whether path names the file the scan read, unchanged. Asked right before each step that would
// act on a changed file; what another writer does in the moment between the last question and
// the rename cannot be seen.
Outcome confirmUnchanged(const char* path, const sys::FileIdentity& original) {
  sys::FileIdentity now;
  if (!sys::identityOf(path, now)) return Outcome::lastError(kAccountLook);
  return compareWithRead(now, original);
}

// Copies source, from its start, into a new file at to, which must not exist yet, giving it the
// access rights of source and flushing it to stable storage. A partial copy is removed again.
Outcome copyToNewFile(sys::File& source, const char* to, const char* label) {
  sys::AccessRights rights;
  if (!source.accessRights(rights) || !source.rewind()) return Outcome::lastError(label);
  sys::File target;
  if (!target.createExclusive(to)) return Outcome::lastError(label);
  Outcome copied;
  if (!target.applyAccessRights(rights)) copied = Outcome::lastError(label);
  static char buffer[std::size_t{1} << 20];
  while (copied.ok()) {
    std::int64_t n = source.read(buffer, sizeof buffer);
    if (n < 0) copied = Outcome::lastError(label);
    if (n <= 0) break;
    if (!target.writeAll(buffer, static_cast<std::size_t>(n))) copied = Outcome::lastError(label);
  }
  if (copied.ok() && !target.sync()) copied = Outcome::lastError(label);
  if (!target.close() && copied.ok()) copied = Outcome::lastError(label);
  if (!copied.ok()) sys::removeFile(to);
  return copied;
}

// A name beside the account file for a copy that is not complete yet.
std::string besideName(const char* accountPath) {
  return std::string(accountPath) + ".quelm-" + std::to_string(sys::processId());
}

// Prepares the account file for its replacement (File::openForReplacement) and checks that it
// is still the file the scan read, unchanged. On Windows a process that holds the file without
// sharing its deletion (a virus scanner reading it) is waited out for a while; should it hold on,
// nothing has been made yet.
Outcome prepareReplacement(const char* accountPath, const sys::FileIdentity& original,
                           sys::File& guard) {
  return retryBriefLocks([&] {
    guard.close();
    sys::FileIdentity now;
    if (!guard.openForReplacement(accountPath, now)) return Outcome::lastError(kAccountLook);
    return compareWithRead(now, original);
  });
}

// Copies source beside the account file and, once the copy is complete and on disk and the
// account file is still the one read, gives it the name to with place(); a copy that cannot be
// placed is removed again.
Outcome copyThenPlace(sys::File& source, const char* accountPath, const sys::FileIdentity& original,
                      const char* to, bool (*place)(const char*, const char*), const char* label) {
  std::string beside = besideName(accountPath);
  if (Outcome copied = copyToNewFile(source, beside.c_str(), label); !copied.ok()) return copied;
  Outcome placed = retryBriefLocks([&] {
    if (Outcome unchanged = confirmUnchanged(accountPath, original); !unchanged.ok()) {
      return unchanged;
    }
    return place(beside.c_str(), to) ? Outcome{} : Outcome::lastError(label);
  });
  if (!placed.ok()) sys::removeFile(beside.c_str());
  return placed;
}

// Removes the backup this run made, once the run has failed: a backup left in place would stop
// every later run. Should another process keep it from going, the outcome names it.
Outcome takeBackBackup(const char* backupPath) {
  Outcome removed = retryBriefLocks([&] {
    if (sys::removeFile(backupPath) || sys::isNotFound(sys::lastError())) return Outcome{};
    return Outcome::lastError(kBackupRemoval);
  });
  if (removed.ok()) return removed;
  return Outcome::failure(kBackupRemoval, std::string(backupPath) + " could not be removed (" +
                                              sys::errorText(removed.code()) +
                                              "); remove it before the next run");
}

// Gives the account file its second name, the backup, without ever replacing a file that holds
// that name already (an earlier run's backup is the administrator's to deal with). Where the file
// system has no hard links, a complete copy takes the name instead, never a partial one. Either
// way the backup is the file the scan read, or it is not made.
Outcome makeBackup(const char* accountPath, const char* backupPath,
                   const sys::FileIdentity& original) {
  const char* label = "rename(acctFile)";
  // Access denied to a link means a file system without links (the copy stands in), not a lock.
  Outcome linked = retryBriefLocks(
      [&] {
        return sys::linkNoReplace(accountPath, backupPath) ? Outcome{} : Outcome::lastError(label);
      },
      [](sys::ErrorCode code) { return sys::isBriefLock(code) && !sys::isLinkUnsupported(code); });
  if (linked.ok()) {
    // The link is to whatever the path named at that moment.
    Outcome unchanged = confirmUnchanged(backupPath, original);
    if (!unchanged.ok()) unchanged.add(takeBackBackup(backupPath));
    return unchanged;
  }
  if (!sys::isLinkUnsupported(linked.code())) return linked;
  sys::File source;
  if (Outcome opened = retryBriefLocks([&] {
        return source.openForReading(accountPath) ? Outcome{} : Outcome::lastError(label);
      });
      !opened.ok()) {
    return opened;
  }
  sys::FileIdentity openedAs;
  if (!source.identity(openedAs)) return Outcome::lastError(label);
  if (Outcome unchanged = compareWithRead(openedAs, original); !unchanged.ok()) return unchanged;
  return copyThenPlace(source, accountPath, original, backupPath, sys::renameNoReplace, label);
}

// Renames the filtered copy over the account file, once sure that the copy's name still leads to
// this run's copy and the account file is still the one read. Across volumes a rename cannot be
// atomic, so the copy is first copied beside the account file and renamed from there.
Outcome moveCopyIntoPlace(const char* accountPath, FilteredCopy& copy, bool& copiedAcross) {
  const char* label = "rename(tmpFile)";
  copiedAcross = false;
  Outcome moved = retryBriefLocks([&] {
    if (!copy.file.isSameFileAs(kTempFileName)) {
      return Outcome::failure(label, "..newaccu.scp is no longer this run's copy");
    }
    if (Outcome unchanged = confirmUnchanged(accountPath, copy.original); !unchanged.ok()) {
      return unchanged;
    }
    return copy.file.moveOver(accountPath) ? Outcome{} : Outcome::lastError(label);
  });
  if (moved.ok() || !sys::isCrossDevice(moved.code())) return moved;
  moved = copyThenPlace(copy.file, accountPath, copy.original, accountPath, sys::renameOver, label);
  copiedAcross = moved.ok();
  return moved;
}

}  // namespace

Outcome replaceAccountFile(const char* accountPath, FilteredCopy& copy) {
  std::string backup = std::string(accountPath) + ".old";
  sys::File guard;
  Outcome step = prepareReplacement(accountPath, copy.original, guard);
  if (step.ok()) step = makeBackup(accountPath, backup.c_str(), copy.original);
  if (!step.ok()) return step;
  // From here on, a failed step takes back the backup this run made, so a later run is not
  // stopped by it. The backup must be on disk before the account file's name moves on.
  step = confirmUnchanged(accountPath, copy.original);
  if (step.ok() && !sys::syncParentDirectory(accountPath)) {
    step = Outcome::lastError(kDirectorySync);
  }
  // On Windows a rename over a file fails while any process has it open, this one included.
  guard.close();
  bool copiedAcross = false;
  if (step.ok()) step = moveCopyIntoPlace(accountPath, copy, copiedAcross);
  if (!step.ok()) {
    step.add(takeBackBackup(backup.c_str()));
    return step;
  }

  // The filtered copy holds the path now: what follows can no longer fail the run.
  if (!sys::syncParentDirectory(accountPath)) {
    Outcome::lastError(kDirectorySync).reportAsWarning();
  }
  if (copiedAcross && !copy.file.discard()) {
    Outcome::lastError("unlink(tmpFile)").reportAsWarning();
  }
  return {};
}
