// How the fault and shared-disk suites reach the fault build of the program (quelm_fault), which
// fails the calls of its platform layer's table: the instructions go in the environment
// (fault/fault_layer.h), and name the calls as the platform does.
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

// Options for a run of the fault build, with the instructions in env.
inline e2e::RunOptions options(const std::vector<std::string>& env = {}) {
  e2e::RunOptions options;
  options.env = env;
  return options;
}

}  // namespace fault
