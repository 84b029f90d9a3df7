// How the fault and shared-disk suites reach the platform's fault mechanism: on POSIX a library
// preloaded into the program, which fails the C library's calls; on Windows the fault build of
// the program (quelm_fault.exe), which fails the calls of its Win32 layer. Both read the same
// instructions from the environment, and name the calls as the platform does.
#pragma once

#include <string>
#include <vector>

#include "e2e/harness.h"
#include "sys/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

namespace fault {

// The calls the suites name.
struct Calls {
#ifdef _WIN32
  const char* close = "CloseHandle";
  const char* renameCopy = "SetFileInformationByHandle";  // the copy renamed through its handle
  const char* look = "GetFileInformationByHandle";        // what tells the account file's identity
  const char* remove = "DeleteFileW";
  // A file system without hard links (FAT, exFAT, many network shares).
  const char* noHardLinks = "CreateHardLinkW:1";  // ERROR_INVALID_FUNCTION
  sys::ErrorCode ioError = ERROR_NETNAME_DELETED;
  sys::ErrorCode denied = ERROR_ACCESS_DENIED;
#else
  const char* close = "close";
  const char* renameCopy = "rename";
  const char* look = "stat";
  const char* remove = "unlink";
  const char* noHardLinks = "link:1";  // EPERM
  sys::ErrorCode ioError = EIO;
  sys::ErrorCode denied = EPERM;
#endif
};
inline const Calls kCalls;

// What a run's environment needs for the mechanism to act on its instructions.
inline std::vector<std::string> environment() {
#ifdef _WIN32
  return {};  // the fault build reads them itself
#else
  return {std::string("LD_PRELOAD=") + QUELM_FAULT_SHIM,
          "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
#endif
}

// Options for a run under the mechanism, with the instructions in env.
inline e2e::RunOptions options(const std::vector<std::string>& env = {}) {
  e2e::RunOptions options;
  options.env = environment();
  options.env.insert(options.env.end(), env.begin(), env.end());
  return options;
}

}  // namespace fault
