// The fault build's own part, for Windows: linked into quelm_fault.exe beside the program's code,
// it puts functions of its own in the Win32 layer's table of calls (sys/win32_calls.h) before the
// run begins. They count every call and, on demand, fail one with the error Windows gives, or end
// the process just before it. Never part of the product.
//
// Environment, read as the POSIX fault library reads it (fault_shim.cpp), with the Win32 names of
// the calls and Win32 error codes:
//   QUELM_FAULT_OP=name QUELM_FAULT_NTH=n QUELM_FAULT_ERRNO=e
//       the n-th call of that function fails with error e, without being made; a failed
//       FlushFileBuffers also cuts the file back to its size at its last flush that worked, and
//       a failed CloseHandle closes the handle all the same
//   QUELM_FAULT_ALWAYS=name:e    every call of that function fails with error e
//   QUELM_FAULT_KILL_AT=n        TerminateProcess, with status 137, just before the n-th call
//   QUELM_FAULT_PAUSE_AT=n       before the n-th call, signal the event named by
//                                QUELM_FAULT_PAUSE_EVENT with "-stopped" added, and wait until
//                                the one with "-go" added is signalled
//   QUELM_FAULT_COUNT_FILE=path  at exit, "name count" lines for every function, and the total
//   QUELM_FAULT_TRACE_FILE=path  at exit, the functions in the order they were called, one a line
//   QUELM_FAULT_PATHS_FILE=path  at exit, every path the calls were given, one a line, in UTF-8
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "sys/utf16.h"
#include "sys/win32_calls.h"

namespace {

using sys::win32::Calls;

#define QUELM_FAULT_CALLS(X)       \
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

enum Op {
#define QUELM_ENUM(name) k##name,
  QUELM_FAULT_CALLS(QUELM_ENUM)
#undef QUELM_ENUM
      kOpCount
};

const char* const kOpNames[kOpCount] = {
#define QUELM_NAME(name) #name,
    QUELM_FAULT_CALLS(QUELM_NAME)
#undef QUELM_NAME
};

// What the run's instructions say, read once before the first call.
struct Instructions {
  int failOp = -1;
  long failNth = 0;
  DWORD failError = 0;
  int alwaysOp = -1;
  DWORD alwaysError = 0;
  long killAt = 0;
  long pauseAt = 0;
  std::string pauseEvent;
};

Instructions instructions;
Calls real;  // the system's functions, as the table held them
long counts[kOpCount];
long totalCalls;
std::vector<unsigned char> trace;
std::vector<std::string> paths;

int opByName(const std::string& name) {
  for (int i = 0; i < kOpCount; ++i) {
    if (name == kOpNames[i]) return i;
  }
  return -1;
}

std::string environment(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

void readInstructions() {
  Instructions& in = instructions;
  if (std::string op = environment("QUELM_FAULT_OP"); !op.empty()) {
    in.failOp = opByName(op);
    in.failNth = std::atol(environment("QUELM_FAULT_NTH", "1").c_str());
    in.failError = static_cast<DWORD>(std::atol(environment("QUELM_FAULT_ERRNO", "5").c_str()));
  }
  std::string always = environment("QUELM_FAULT_ALWAYS");
  if (std::size_t colon = always.find(':'); colon != std::string::npos) {
    in.alwaysOp = opByName(always.substr(0, colon));
    in.alwaysError = static_cast<DWORD>(std::atol(always.c_str() + colon + 1));
  }
  in.killAt = std::atol(environment("QUELM_FAULT_KILL_AT", "0").c_str());
  in.pauseAt = std::atol(environment("QUELM_FAULT_PAUSE_AT", "0").c_str());
  in.pauseEvent = environment("QUELM_FAULT_PAUSE_EVENT");
}

// Tells the test that the run stands before its call, and waits until the test lets it go on.
void pause() {
  std::u16string stopped, go;
  if (!sys::toUtf16(instructions.pauseEvent + "-stopped", stopped) ||
      !sys::toUtf16(instructions.pauseEvent + "-go", go)) {
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

// Counts a call; true, with the error set, when it is to fail instead of being made.
bool intercept(Op op) {
  ++counts[op];
  ++totalCalls;
  trace.push_back(static_cast<unsigned char>(op));
  if (instructions.killAt == totalCalls) TerminateProcess(GetCurrentProcess(), 137);
  if (instructions.pauseAt == totalCalls) pause();
  if (op == instructions.alwaysOp) {
    SetLastError(instructions.alwaysError);
    return true;
  }
  if (op == instructions.failOp && counts[op] == instructions.failNth) {
    SetLastError(instructions.failError);
    return true;
  }
  return false;
}

// The paths among a call's arguments, and the new name a rename through a handle is given.
void notePath(const wchar_t* path) {
  if (path != nullptr) paths.push_back(sys::toUtf8(reinterpret_cast<const char16_t*>(path)));
}
void notePath(FILE_INFO_BY_HANDLE_CLASS what, LPVOID info) {
  if (what != FileRenameInfo) return;
  const auto* rename = static_cast<const FILE_RENAME_INFO*>(info);
  paths.push_back(sys::toUtf8(std::u16string_view(
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
R failedResult(Op op) {
  if constexpr (std::is_pointer_v<R>) {
    return INVALID_HANDLE_VALUE;
  } else {
    return static_cast<R>(op == kGetFileAttributesW ? INVALID_FILE_ATTRIBUTES : 0);
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

template <Op op, auto member, typename R, typename... A>
R WINAPI wrapped(A... args) {
  // The paths that reach the calls which act on files, not those the layer only makes whole.
  if constexpr (op != kGetFullPathNameW) notePaths(args...);
  bool fails = intercept(op);
  DWORD error = GetLastError();
  if constexpr (op == kCloseHandle) {
    // A handle whose closing reports an error is closed all the same.
    files.erase(firstOf(args...));
    R closed = (real.*member)(args...);
    if (!fails) return closed;
  } else if constexpr (op == kFlushFileBuffers) {
    R flushed = fails ? R{} : (real.*member)(args...);
    afterFlush(firstOf(args...), flushed != 0);
    if (!fails) return flushed;
  } else if (!fails) {
    R result = (real.*member)(args...);
    if constexpr (op == kWriteFile) files[firstOf(args...)].written |= result != 0;
    return result;
  }
  SetLastError(error);
  return failedResult<R>(op);
}

template <Op op, auto member, typename R, typename... A>
void put(R(WINAPI*& slot)(A...)) {
  slot = wrapped<op, member, R, A...>;
}

void writeLines(const char* variable, const std::vector<std::string>& lines) {
  std::string path = environment(variable);
  if (path.empty()) return;
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    for (const std::string& line : lines) std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

// Writes what the run called when it ends by returning from its entry or by exit().
struct Report {
  ~Report() {
    std::vector<std::string> lines;
    for (int i = 0; i < kOpCount; ++i) {
      lines.push_back(std::string(kOpNames[i]) + " " + std::to_string(counts[i]));
    }
    lines.push_back("total " + std::to_string(totalCalls));
    writeLines("QUELM_FAULT_COUNT_FILE", lines);
    lines.clear();
    for (unsigned char op : trace) lines.push_back(kOpNames[op]);
    writeLines("QUELM_FAULT_TRACE_FILE", lines);
    writeLines("QUELM_FAULT_PATHS_FILE", paths);
  }
};

bool install() {
  readInstructions();
  Calls& table = sys::win32::calls();
  real = table;
#define QUELM_PUT(name) put<k##name, &Calls::name>(table.name);
  QUELM_FAULT_CALLS(QUELM_PUT)
#undef QUELM_PUT
  static Report report;
  return true;
}

// Before the program's entry: every call of the run goes through the functions above.
const bool installed = install();

}  // namespace
