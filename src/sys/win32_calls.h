// Every Win32 call that the Windows platform layer makes for files, in one table.
//
// The layer calls the system only through this table. The released program keeps the system's
// own functions in it; a test build puts functions of its own in their place, which fail a call
// with the error Windows gives in life, or end the process just before it, so that every call a
// run makes can be failed and killed in turn without any other code knowing.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The list, written once: the table's members, their filling and the fault build's functions all
// come from it.
#define QUELM_WIN32_CALLS(X)       \
  X(CreateFileW)                   \
  X(ReadFile)                      \
  X(WriteFile)                     \
  X(FlushFileBuffers)              \
  X(CloseHandle)                   \
  X(SetFilePointerEx)              \
  X(GetFileSizeEx)                 \
  X(GetFileInformationByHandle)    \
  X(SetFileInformationByHandle)    \
  X(GetFileAttributesW)            \
  X(SetFileAttributesW)            \
  X(GetVolumeInformationByHandleW) \
  X(GetKernelObjectSecurity)       \
  X(SetKernelObjectSecurity)       \
  X(GetFullPathNameW)              \
  X(CreateHardLinkW)               \
  X(MoveFileExW)                   \
  X(DeleteFileW)

namespace sys::win32 {

// One member a call, named as the function it stands for.
struct Calls {
#define QUELM_WIN32_MEMBER(name) decltype(&::name) name;
  QUELM_WIN32_CALLS(QUELM_WIN32_MEMBER)
#undef QUELM_WIN32_MEMBER
};

// The table in use: the system's functions, unless a test build has put others in their place
// before the run began.
Calls& calls();

}  // namespace sys::win32
