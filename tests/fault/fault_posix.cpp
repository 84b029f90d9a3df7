// The fault build's own part, for POSIX: linked into quelm_fault beside the program's code, it
// puts functions of its own in the POSIX layer's table of calls (sys/posix_calls.h) before the run
// begins. They count every call and, as fault_layer.h reads its instructions, fail one with the
// errno the system gives, or end the process just before it, or stop it there (SIGSTOP) until the
// test continues it (SIGCONT). A failed fsync also cuts the file back to its size at its last
// fsync that worked, as a disk may lose what it never wrote; a failed close releases the
// descriptor all the same, as on Linux. Never part of the product.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <map>
#include <type_traits>

#include "fault/fault_layer.h"
#include "sys/posix_calls.h"

namespace fault {

void endProcess() {
  ::kill(::getpid(), SIGKILL);
  std::abort();
}

void standStill() {
  ::kill(::getpid(), SIGSTOP);
}

}  // namespace fault

namespace {

using sys::posix::Calls;

enum Kind {
#define QUELM_KIND(name) k_##name,
  QUELM_POSIX_CALLS(QUELM_KIND)
#undef QUELM_KIND
      kKindCount
};

const char* const kNames[kKindCount] = {
#define QUELM_NAME(name) #name,
    QUELM_POSIX_CALLS(QUELM_NAME)
#undef QUELM_NAME
};

Calls real;  // the C library's functions, as the table held them

// The paths among a call's arguments.
void notePath(const char* path) {
  if (path != nullptr) fault::notePath(path);
}
template <typename T>
void notePath(T) {}

// What a disk does that fails a sync: what was written since the last sync that worked may never
// reach it. The file is cut back to its size at that sync, so that a run that goes on as if the
// failed sync had worked leaves what the disk would hold, and is found out.
struct Unsynced {
  bool written = false;
  off_t syncedSize = 0;
};
std::map<int, Unsynced> files;

void afterSync(int fd, bool synced) {
  Unsynced& file = files[fd];
  struct stat st;
  if (synced) {
    if (real.fstat(fd, &st) == 0) file = {false, st.st_size};
  } else if (file.written && real.ftruncate(fd, file.syncedSize) != 0) {
    // The file keeps what the disk might have lost; the failed sync is reported all the same.
  }
}

template <typename First, typename... Rest>
First firstOf(First first, Rest...) {
  return first;
}

// What a failed call gives: MAP_FAILED for a mapping, -1 for every other.
template <typename R>
R failedResult() {
  if constexpr (std::is_pointer_v<R>) {
    return MAP_FAILED;
  } else {
    return static_cast<R>(-1);
  }
}

template <Kind kind, auto member, bool isNoexcept, typename R, typename... A>
R wrapped(A... args) noexcept(isNoexcept) {
  (notePath(args), ...);
  long error = 0;
  bool fails = fault::intercept(kind, error);
  R result = failedResult<R>();
  if constexpr (kind == k_close) {
    files.erase(firstOf(args...));
    result = (real.*member)(args...);
  } else if constexpr (kind == k_fsync) {
    if (!fails) result = (real.*member)(args...);
    afterSync(firstOf(args...), !fails && result == 0);
  } else if (!fails) {
    result = (real.*member)(args...);
    if constexpr (kind == k_writev) files[firstOf(args...)].written |= result > 0;
  }
  if (!fails) return result;
  errno = static_cast<int>(error);
  return failedResult<R>();
}

// open takes a mode only when it creates a file.
int openWrapped(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list rest;
    va_start(rest, flags);
    mode = static_cast<mode_t>(va_arg(rest, int));
    va_end(rest);
  }
  notePath(path);
  long error = 0;
  if (fault::intercept(k_open, error)) {
    errno = static_cast<int>(error);
    return -1;
  }
  return real.open(path, flags, mode);
}

template <Kind kind, auto member, typename R, typename... A, bool isNoexcept>
void put(R (*&slot)(A...) noexcept(isNoexcept)) {
  slot = wrapped<kind, member, isNoexcept, R, A...>;
}

template <Kind kind, auto member, typename R, typename... A>
void put(R (*&slot)(A..., ...)) {
  static_assert(kind == k_open, "open is the one call with further arguments");
  slot = openWrapped;
}

void putAll(Calls& table) {
#define QUELM_PUT(name) put<k_##name, &Calls::name>(table.name);
  QUELM_POSIX_CALLS(QUELM_PUT)
#undef QUELM_PUT
}

// Before the program's entry: every call of the run goes through the functions above.
const bool installed = fault::install(sys::posix::calls(), real, kNames, kKindCount, putAll);

}  // namespace
