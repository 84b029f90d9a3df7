#include "filter/replace.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "filter/retry.h"
#include "filter/scan.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

constexpr int kStatusClean = 0;
constexpr int kStatusReplaced = 1;
constexpr int kStatusFailed = 2;

// Another writer (the server saving, another run) changed the account file after the scan opened
// it: the copy holds a filtered form of contents that are no longer there.
const Failure kAccountChanged = {"stat(acctFile)", 0,
                                 "the account file changed during the run; filter it again"};

// Whether path names the file the scan read, unchanged. Asked right before each step that would
// act on a changed file; what another writer does in the moment between the last question and
// the rename cannot be seen.
Failure confirmUnchanged(const char* path, const sys::FileIdentity& original) {
  sys::FileIdentity now;
  if (!sys::identityOf(path, now)) return failure("stat(acctFile)");
  return now.isUnchanged(original) ? Failure{} : kAccountChanged;
}

// Copies source, from its start, into a new file at to, which must not exist yet, giving it the
// access rights of source and flushing it to stable storage. A partial copy is removed again.
Failure copyToNewFile(sys::File& source, const char* to, const char* label) {
  sys::AccessRights rights;
  if (!source.accessRights(rights) || !source.rewind()) return failure(label);
  sys::File target;
  if (!target.createExclusive(to)) return failure(label);
  Failure result;
  if (!target.applyAccessRights(rights)) result = failure(label);
  static char buffer[std::size_t{1} << 20];
  while (!result) {
    std::int64_t n = source.read(buffer, sizeof buffer);
    if (n < 0) result = failure(label);
    if (n <= 0) break;
    if (!target.writeAll(buffer, static_cast<std::size_t>(n))) result = failure(label);
  }
  if (!result && !target.sync()) result = failure(label);
  if (!target.close() && !result) result = failure(label);
  if (result) sys::removeFile(to);
  return result;
}

// A name beside the account file for a copy that is not complete yet.
std::string besideName(const char* accountPath) {
  return std::string(accountPath) + ".quelm-" + std::to_string(sys::processId());
}

// Prepares the account file for its replacement (File::openForReplacement) and checks that it
// is still the file the scan read, unchanged. On Windows a process that holds the file without
// sharing its deletion (a virus scanner reading it) is waited out for a while; should it hold on,
// nothing has been made yet.
Failure prepareReplacement(const char* accountPath, const sys::FileIdentity& original,
                           sys::File& guard) {
  return retryBriefLocks([&] {
    guard.close();
    sys::FileIdentity now;
    if (!guard.openForReplacement(accountPath, now)) return failure("stat(acctFile)");
    return now.isUnchanged(original) ? Failure{} : kAccountChanged;
  });
}

// Copies source beside the account file and, once the copy is complete and on disk and the
// account file is still the one read, gives it the name to with place(); a copy that cannot be
// placed is removed again.
Failure copyThenPlace(sys::File& source, const char* accountPath, const sys::FileIdentity& original,
                      const char* to, bool (*place)(const char*, const char*), const char* label) {
  std::string beside = besideName(accountPath);
  if (Failure f = copyToNewFile(source, beside.c_str(), label)) return f;
  Failure f = retryBriefLocks([&] {
    if (Failure changed = confirmUnchanged(accountPath, original)) return changed;
    return place(beside.c_str(), to) ? Failure{} : failure(label);
  });
  if (f) sys::removeFile(beside.c_str());
  return f;
}

// Removes the backup this run made, once the run has failed: a backup left in place would stop
// every later run. Should another process keep it from going, the report names it.
void takeBackBackup(const char* backupPath) {
  Failure f = retryBriefLocks([&] {
    if (sys::removeFile(backupPath) || sys::isNotFound(sys::lastError())) return Failure{};
    return failure("unlink(backup)");
  });
  if (!f) return;
  std::string text = std::string(backupPath) + " could not be removed (" + sys::errorText(f.code) +
                     "); remove it before the next run";
  sys::reportFailure(f.label, text.c_str());
}

// Gives the account file its second name, the backup, without ever replacing a file that holds
// that name already (an earlier run's backup is the administrator's to deal with). Where the file
// system has no hard links, a complete copy takes the name instead, never a partial one. Either
// way the backup is the file the scan read, or it is not made.
Failure makeBackup(const char* accountPath, const char* backupPath,
                   const sys::FileIdentity& original) {
  const char* label = "rename(acctFile)";
  // Access denied to a link means a file system without links (the copy stands in), not a lock.
  Failure linked = retryBriefLocks(
      [&] { return sys::linkNoReplace(accountPath, backupPath) ? Failure{} : failure(label); },
      [](sys::ErrorCode code) { return sys::isBriefLock(code) && !sys::isLinkUnsupported(code); });
  if (!linked) {
    // The link is to whatever the path named at that moment.
    Failure f = confirmUnchanged(backupPath, original);
    if (f) takeBackBackup(backupPath);
    return f;
  }
  if (!sys::isLinkUnsupported(linked.code)) return linked;
  sys::File source;
  if (Failure f = retryBriefLocks(
          [&] { return source.openForReading(accountPath) ? Failure{} : failure(label); })) {
    return f;
  }
  sys::FileIdentity opened;
  if (!source.identity(opened)) return failure(label);
  if (!opened.isUnchanged(original)) return kAccountChanged;
  return copyThenPlace(source, accountPath, original, backupPath, sys::renameNoReplace, label);
}

// Renames the filtered copy over the account file, once sure that the copy's name still leads to
// this run's copy and the account file is still the one read. Across volumes a rename cannot be
// atomic, so the copy is first copied beside the account file and renamed from there.
Failure moveCopyIntoPlace(const char* accountPath, FilteredCopy& copy, bool& copiedAcross) {
  const char* label = "rename(tmpFile)";
  copiedAcross = false;
  Failure moved = retryBriefLocks([&] {
    if (!copy.file.isSameFileAs(kTempFileName)) {
      return Failure{label, 0, "..newaccu.scp is no longer this run's copy"};
    }
    if (Failure changed = confirmUnchanged(accountPath, copy.original)) return changed;
    return copy.file.moveOver(accountPath) ? Failure{} : failure(label);
  });
  if (!moved) return {};
  if (moved.text != nullptr || !sys::isCrossDevice(moved.code)) return moved;
  if (Failure f = copyThenPlace(copy.file, accountPath, copy.original, accountPath, sys::renameOver,
                                label)) {
    return f;
  }
  copiedAcross = true;
  return {};
}

}  // namespace

int replaceAccountFile(const char* accountPath, std::int64_t violations, FilteredCopy& copy) {
  if (violations == 0) return kStatusClean;

  std::string backup = std::string(accountPath) + ".old";
  sys::File guard;
  Failure step = prepareReplacement(accountPath, copy.original, guard);
  if (!step) step = makeBackup(accountPath, backup.c_str(), copy.original);
  if (step) {
    report(step);
    return kStatusFailed;
  }
  // From here on, a failed step takes back the backup this run made, so a later run is not
  // stopped by it. The backup must be on disk before the account file's name moves on.
  step = confirmUnchanged(accountPath, copy.original);
  if (!step && !sys::syncParentDirectory(accountPath)) step = failure("fsync(acctDir)");
  // On Windows a rename over a file fails while any process has it open, this one included.
  guard.close();
  bool copiedAcross = false;
  if (!step) step = moveCopyIntoPlace(accountPath, copy, copiedAcross);
  if (step) {
    report(step);
    takeBackBackup(backup.c_str());
    return kStatusFailed;
  }

  // The filtered copy holds the path now: what follows can no longer fail the run.
  if (!sys::syncParentDirectory(accountPath)) {
    sys::reportWarning("fsync(acctDir)", sys::lastError());
  }
  if (copiedAcross && !copy.file.discard()) {
    sys::reportWarning("unlink(tmpFile)", sys::lastError());
  }
  std::printf("Done, %" PRId64 " violations found.\n", violations);
  return kStatusReplaced;
}
