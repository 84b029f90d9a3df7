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

namespace sys::win32 {

// One member a call, named as the function it stands for.
struct Calls {
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::FlushFileBuffers) FlushFileBuffers;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::SetFilePointerEx) SetFilePointerEx;
  decltype(&::GetFileSizeEx) GetFileSizeEx;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::SetFileAttributesW) SetFileAttributesW;
  decltype(&::GetVolumeInformationByHandleW) GetVolumeInformationByHandleW;
  decltype(&::GetKernelObjectSecurity) GetKernelObjectSecurity;
  decltype(&::SetKernelObjectSecurity) SetKernelObjectSecurity;
  decltype(&::GetFullPathNameW) GetFullPathNameW;
  decltype(&::CreateHardLinkW) CreateHardLinkW;
  decltype(&::MoveFileExW) MoveFileExW;
  decltype(&::DeleteFileW) DeleteFileW;
};

// The table in use: the system's functions, unless a test build has put others in their place
// before the run began.
Calls& calls();

}  // namespace sys::win32
