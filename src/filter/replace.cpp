#include "filter/replace.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "filter/scan.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

constexpr int kStatusClean = 0;
constexpr int kStatusReplaced = 1;
constexpr int kStatusFailed = 2;

// A failed step: its label and the platform's error.
struct Failure {
  const char* label = nullptr;
  sys::ErrorCode code = 0;
  explicit operator bool() const { return label != nullptr; }
};

Failure failure(const char* label) {
  return {label, sys::lastError()};
}

// Copies the file at from into a new file at to, which must not exist yet, giving it the access
// rights of from and flushing it to stable storage. A partial copy is removed again.
Failure copyToNewFile(const char* from, const char* to, const char* label) {
  sys::File source;
  if (!source.openForReading(from)) return failure(label);
  sys::AccessRights rights;
  if (!source.accessRights(rights)) return failure(label);
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

// Copies the file at from beside the account file and, once the copy is complete and on disk,
// gives it the name to with place(); a copy that cannot be placed is removed again.
Failure copyThenPlace(const char* from, const char* accountPath, const char* to,
                      bool (*place)(const char*, const char*), const char* label) {
  std::string beside = besideName(accountPath);
  if (Failure f = copyToNewFile(from, beside.c_str(), label)) return f;
  if (!place(beside.c_str(), to)) {
    Failure f = failure(label);
    sys::removeFile(beside.c_str());
    return f;
  }
  return {};
}

// Gives the account file its second name, the backup, without ever replacing a file that holds
// that name already (an earlier run's backup is the administrator's to deal with). Where the file
// system has no hard links, a complete copy takes the name instead, never a partial one.
Failure makeBackup(const char* accountPath, const char* backupPath) {
  const char* label = "rename(acctFile)";
  if (sys::linkNoReplace(accountPath, backupPath)) return {};
  sys::ErrorCode code = sys::lastError();
  if (!sys::isLinkUnsupported(code)) return {label, code};
  return copyThenPlace(accountPath, accountPath, backupPath, sys::renameNoReplace, label);
}

// Renames the filtered copy over the account file. Across volumes a rename cannot be atomic, so
// the copy is first copied beside the account file and renamed from there.
Failure moveCopyIntoPlace(const char* accountPath, bool& copiedAcross) {
  const char* label = "rename(tmpFile)";
  copiedAcross = false;
  if (sys::renameOver(kTempFileName, accountPath)) return {};
  sys::ErrorCode code = sys::lastError();
  if (!sys::isCrossDevice(code)) return {label, code};
  if (Failure f = copyThenPlace(kTempFileName, accountPath, accountPath, sys::renameOver, label)) {
    return f;
  }
  copiedAcross = true;
  return {};
}

}  // namespace

int replaceAccountFile(const char* accountPath, std::int64_t violations) {
  if (violations == 0) return kStatusClean;

  std::string backup = std::string(accountPath) + ".old";
  if (Failure f = makeBackup(accountPath, backup.c_str())) {
    sys::reportSystemError(f.label, f.code);
    return kStatusFailed;
  }
  // The backup must be on disk before the account file's name moves on.
  Failure step;
  if (!sys::syncParentDirectory(accountPath)) step = failure("fsync(acctDir)");
  bool copiedAcross = false;
  if (!step) step = moveCopyIntoPlace(accountPath, copiedAcross);
  if (step) {
    // Nothing has changed at the account file's path; take back the backup this run made, so a
    // later run is not stopped by it.
    sys::removeFile(backup.c_str());
    sys::reportSystemError(step.label, step.code);
    return kStatusFailed;
  }

  // The filtered copy holds the path now: what follows can no longer fail the run.
  if (!sys::syncParentDirectory(accountPath)) {
    sys::reportWarning("fsync(acctDir)", sys::lastError());
  }
  if (copiedAcross && !sys::removeFile(kTempFileName)) {
    sys::reportWarning("unlink(tmpFile)", sys::lastError());
  }
  std::printf("Done, %" PRId64 " violations found.\n", violations);
  return kStatusReplaced;
}
