// The fault build's own part, for Windows: linked into quelm_fault.exe beside the program's code,
// it puts functions of its own in the Win32 layer's table of calls (sys/win32_calls.h) before the
// run begins. They count every call and, as fault_layer.h reads its instructions, fail one with
// the error Windows gives, or end the process just before it (TerminateProcess), or hold it there
// until the test lets it go on: the test names a pair of events in QUELM_FAULT_PAUSE_EVENT, and
// the run signals the one with "-stopped" added and waits for the one with "-go" added. A failed
// FlushFileBuffers also cuts the file back to its size at its last flush that worked, and a
// failed CloseHandle closes the handle all the same. Never part of the product.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

#include "fault/fault_layer.h"
#include "sys/utf16.h"
#include "sys/win32_calls.h"

namespace fault {

void endProcess() {
  TerminateProcess(GetCurrentProcess(), 137);
  std::abort();
}

// Tells the test that the run stands before its call, and waits until the test lets it go on.
void standStill() {
  const char* named = std::getenv("QUELM_FAULT_PAUSE_EVENT");
  std::string events = named != nullptr ? named : "";
  std::u16string stopped, go;
  if (!sys::toUtf16(events + "-stopped", stopped) || !sys::toUtf16(events + "-go", go)) {
    return;
  }
  HANDLE stoppedEvent =
      OpenEventW(EVENT_MODIFY_STATE, FALSE, reinterpret_cast<const wchar_t*>(stopped.c_str()));
  HANDLE goEvent = OpenEventW(SYNCHRONIZE, FALSE, reinterpret_cast<const wchar_t*>(go.c_str()));
  if (stoppedEvent == nullptr || goEvent == nullptr) {
    std::fputs("quelm_fault: no pause events\n", stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  SetEvent(stoppedEvent);
  WaitForSingleObject(goEvent, INFINITE);
  CloseHandle(stoppedEvent);
  CloseHandle(goEvent);
}

}  // namespace fault

namespace {

using sys::win32::Calls;

enum Kind {
#define QUELM_KIND(name) k##name,
  QUELM_WIN32_CALLS(QUELM_KIND)
#undef QUELM_KIND
      kKindCount
};

const char* const kNames[kKindCount] = {
#define QUELM_NAME(name) #name,
    QUELM_WIN32_CALLS(QUELM_NAME)
#undef QUELM_NAME
};

Calls real;  // the system's functions, as the table held them

// The paths among a call's arguments, and the new name a rename through a handle is given.
void notePath(const wchar_t* path) {
  if (path != nullptr) fault::notePath(sys::toUtf8(reinterpret_cast<const char16_t*>(path)));
}
void notePath(FILE_INFO_BY_HANDLE_CLASS what, LPVOID info) {
  if (what != FileRenameInfo) return;
  const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
  fault::notePath(sys::toUtf8(std::u16string_view(
      reinterpret_cast<const char16_t*>(rename->FileName), rename->FileNameLength / 2)));
}
template <typename T>
void notePath(T) {}
template <typename... A>
void notePaths(A... args) {
  (notePath(args), ...);
}
void notePaths(HANDLE, FILE_INFO_BY_HANDLE_CLASS what, LPVOID info, DWORD) {
  notePath(what, info);
}

// What a failed call gives: INVALID_HANDLE_VALUE for an open, INVALID_FILE_ATTRIBUTES for the
// attributes, 0 (FALSE, no characters) for every other.
template <typename R>
R failedResult(Kind kind) {
  if constexpr (std::is_pointer_v<R>) {
    return INVALID_HANDLE_VALUE;
  } else {
    return static_cast<R>(kind == kGetFileAttributesW ? INVALID_FILE_ATTRIBUTES : 0);
  }
}

// What a disk does that fails a flush: what was written since the last flush that worked may
// never reach it. The file is cut back to its size at that flush, so that a run that goes on as
// if the failed flush had worked leaves what the disk would hold, and is found out.
struct Unflushed {
  bool written = false;
  LARGE_INTEGER flushedSize{};
};
std::map<HANDLE, Unflushed> files;

void afterFlush(HANDLE h, bool flushed) {
  Unflushed& file = files[h];
  if (flushed) {
    file.written = !real.GetFileSizeEx(h, &file.flushedSize);
  } else if (file.written) {
    real.SetFilePointerEx(h, file.flushedSize, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
  }
}

template <typename First, typename... Rest>
First firstOf(First first, Rest...) {
  return first;
}

template <Kind kind, auto member, typename R, typename... A>
R WINAPI wrapped(A... args) {
  // The paths that reach the calls which act on files, not those the layer only makes whole.
  if constexpr (kind != kGetFullPathNameW) notePaths(args...);
  long error = 0;
  bool fails = fault::intercept(kind, error);
  if constexpr (kind == kCloseHandle) {
    // A handle whose closing reports an error is closed all the same.
    files.erase(firstOf(args...));
    R closed = (real.*member)(args...);
    if (!fails) return closed;
  } else if constexpr (kind == kFlushFileBuffers) {
    R flushed = fails ? R{} : (real.*member)(args...);
    afterFlush(firstOf(args...), flushed != 0);
    if (!fails) return flushed;
  } else if (!fails) {
    R result = (real.*member)(args...);
    if constexpr (kind == kWriteFile) files[firstOf(args...)].written |= result != 0;
    return result;
  }
  SetLastError(static_cast<DWORD>(error));
  return failedResult<R>(kind);
}

template <Kind kind, auto member, typename R, typename... A>
void put(R(WINAPI*& slot)(A...)) {
  slot = wrapped<kind, member, R, A...>;
}

void putAll(Calls& table) {
#define QUELM_PUT(name) put<k##name, &Calls::name>(table.name);
  QUELM_WIN32_CALLS(QUELM_PUT)
#undef QUELM_PUT
}

// Before the program's entry: every call of the run goes through the functions above.
const bool installed = fault::install(sys::win32::calls(), real, kNames, kKindCount, putAll);

}  // namespace
