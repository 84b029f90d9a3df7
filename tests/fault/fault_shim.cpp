// A preloaded library that makes the program's system calls fail, or kills the program, on
// demand. Linux only; used by the fault-injection tests, never part of the product.
//
// Environment:
//   QUELM_FAULT_OP=name QUELM_FAULT_NTH=n QUELM_FAULT_ERRNO=e
//       the n-th call of that operation fails with errno e, without being made; a failed fsync
//       also cuts the file back to its size at its last fsync that worked, as a disk may lose
//       what it never wrote
//   QUELM_FAULT_ALWAYS=name:e    every call of that operation fails with errno e
//   QUELM_FAULT_KILL_AT=n        the n-th intercepted call of any operation kills the process
//   QUELM_FAULT_PAUSE_AT=n       the process stops itself (SIGSTOP) before its n-th intercepted
//                                call, and makes the call once it is continued
//   QUELM_FAULT_COUNT_FILE=path  at exit, "name count" lines for every operation called
//   QUELM_FAULT_TRACE_FILE=path  at exit, the operations in the order they were called, one a
//                                line (the first 65,536 of them)
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Op {
  kOpen,
  kRead,
  kWrite,
  kFsync,
  kClose,
  kLink,
  kRename,
  kUnlink,
  kFchmod,
  kFchown,
  kFstat,
  kLstat,
  kMmap,
  kStat,
  kFlock,
  kOpCount
};
const char* const kOpNames[kOpCount] = {"open",  "read",   "write",  "fsync",  "close",
                                        "link",  "rename", "unlink", "fchmod", "fchown",
                                        "fstat", "lstat",  "mmap",   "stat",   "flock"};

long counts[kOpCount];
long totalCalls;
bool configured;
int failOp = -1;
long failNth;
int failErrno;
int alwaysOp = -1;
int alwaysErrno;
long killAt;
long pauseAt;
constexpr long kTraceRoom = 65536;
unsigned char trace[kTraceRoom];

int opByName(const char* name, std::size_t length) {
  for (int i = 0; i < kOpCount; ++i) {
    if (std::strlen(kOpNames[i]) == length && std::strncmp(kOpNames[i], name, length) == 0)
      return i;
  }
  return -1;
}

void configure() {
  configured = true;
  if (const char* op = std::getenv("QUELM_FAULT_OP")) {
    failOp = opByName(op, std::strlen(op));
    failNth = std::atol(std::getenv("QUELM_FAULT_NTH") ? std::getenv("QUELM_FAULT_NTH") : "1");
    failErrno =
        std::atoi(std::getenv("QUELM_FAULT_ERRNO") ? std::getenv("QUELM_FAULT_ERRNO") : "5");
  }
  if (const char* always = std::getenv("QUELM_FAULT_ALWAYS")) {
    const char* colon = std::strchr(always, ':');
    if (colon != nullptr) {
      alwaysOp = opByName(always, static_cast<std::size_t>(colon - always));
      alwaysErrno = std::atoi(colon + 1);
    }
  }
  if (const char* kill = std::getenv("QUELM_FAULT_KILL_AT")) killAt = std::atol(kill);
  if (const char* pause = std::getenv("QUELM_FAULT_PAUSE_AT")) pauseAt = std::atol(pause);
}

// Calls made before the program's own start-up (a sanitizer's runtime setting itself up) are
// neither counted nor acted on: stopping or failing them tests the runtime, not the program.
bool started;
__attribute__((constructor)) void start() {
  started = true;
}

// Counts a call; true (with errno set) when it is to fail instead of being made.
bool intercept(Op op) {
  if (!started) return false;
  if (!configured) configure();
  ++counts[op];
  if (totalCalls < kTraceRoom) trace[totalCalls] = static_cast<unsigned char>(op);
  ++totalCalls;
  if (killAt > 0 && totalCalls == killAt) ::kill(::getpid(), SIGKILL);
  if (pauseAt > 0 && totalCalls == pauseAt) ::kill(::getpid(), SIGSTOP);
  if (op == alwaysOp) {
    errno = alwaysErrno;
    return true;
  }
  if (op == failOp && counts[op] == failNth) {
    errno = failErrno;
    return true;
  }
  return false;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

__attribute__((destructor)) void writeCounts() {
  if (const char* path = std::getenv("QUELM_FAULT_COUNT_FILE")) {
    if (std::FILE* f = std::fopen(path, "w")) {
      for (int i = 0; i < kOpCount; ++i) std::fprintf(f, "%s %ld\n", kOpNames[i], counts[i]);
      std::fprintf(f, "total %ld\n", totalCalls);
      std::fclose(f);
    }
  }
  if (const char* path = std::getenv("QUELM_FAULT_TRACE_FILE")) {
    if (std::FILE* f = std::fopen(path, "w")) {
      for (long i = 0; i < totalCalls && i < kTraceRoom; ++i)
        std::fprintf(f, "%s\n", kOpNames[trace[i]]);
      std::fclose(f);
    }
  }
}

// Whether path is one of the counts a coverage build writes as it exits: that is the coverage
// runtime's business, not the program's, and failing it would only lose or garble the counts.
bool isCoverageCounts(const char* path) {
  std::size_t length = std::strlen(path);
  return length > 5 && std::strcmp(path + length - 5, ".gcda") == 0;
}

// What a disk does that fails a sync: what was written since the last sync that worked may never
// reach it. The file is cut back to its size at that sync, so that a run that goes on as if the
// failed sync had worked leaves what the disk would hold, and is found out.
struct Unsynced {
  bool written = false;
  off_t syncedSize = 0;
};
constexpr int kTracked = 1024;
Unsynced unsynced[kTracked];

void noteWrite(int fd, ssize_t written) {
  if (fd >= 0 && fd < kTracked && written > 0) unsynced[fd].written = true;
}

void afterSync(int fd, bool synced) {
  if (fd < 0 || fd >= kTracked) return;
  Unsynced& file = unsynced[fd];
  struct stat st;
  if (synced) {
    if (real<int (*)(int, struct stat*)>("fstat")(fd, &st) == 0) file = {false, st.st_size};
  } else if (file.written) {
    real<int (*)(int, off_t)>("ftruncate")(fd, file.syncedSize);
  }
}

}  // namespace

extern "C" {

// open and open64 take a mode only when they create a file.
#define QUELM_SHIM_OPEN(name)                                              \
  int name(const char* path, int flags, ...) {                             \
    mode_t mode = 0;                                                       \
    if (flags & (O_CREAT | O_TMPFILE)) {                                   \
      va_list args;                                                        \
      va_start(args, flags);                                               \
      mode = static_cast<mode_t>(va_arg(args, int));                       \
      va_end(args);                                                        \
    }                                                                      \
    if (!isCoverageCounts(path) && intercept(kOpen)) return -1;            \
    return real<int (*)(const char*, int, ...)>(#name)(path, flags, mode); \
  }

QUELM_SHIM_OPEN(open)
QUELM_SHIM_OPEN(open64)

ssize_t read(int fd, void* buffer, size_t size) {
  if (intercept(kRead)) return -1;
  return real<ssize_t (*)(int, void*, size_t)>("read")(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  if (intercept(kWrite)) return -1;
  ssize_t n = real<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, size);
  noteWrite(fd, n);
  return n;
}

// Counted as a write: it is one, of several buffers.
ssize_t writev(int fd, const struct iovec* vec, int count) {
  if (intercept(kWrite)) return -1;
  ssize_t n = real<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, vec, count);
  noteWrite(fd, n);
  return n;
}

int fsync(int fd) {
  bool fails = intercept(kFsync);
  int saved = errno;
  int rc = fails ? -1 : real<int (*)(int)>("fsync")(fd);
  afterSync(fd, rc == 0);
  if (fails) errno = saved;
  return rc;
}

int close(int fd) {
  if (fd >= 0 && fd < kTracked) unsynced[fd] = {};
  if (intercept(kClose)) {
    // A failing close still releases the descriptor, as on Linux.
    int saved = errno;
    real<int (*)(int)>("close")(fd);
    errno = saved;
    return -1;
  }
  return real<int (*)(int)>("close")(fd);
}

int link(const char* from, const char* to) {
  if (intercept(kLink)) return -1;
  return real<int (*)(const char*, const char*)>("link")(from, to);
}

int rename(const char* from, const char* to) {
  if (intercept(kRename)) return -1;
  return real<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (intercept(kRename)) return -1;
  return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from,
                                                                                  toDir, to, flags);
}

int unlink(const char* path) {
  if (intercept(kUnlink)) return -1;
  return real<int (*)(const char*)>("unlink")(path);
}

int fchmod(int fd, mode_t mode) {
  if (intercept(kFchmod)) return -1;
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (intercept(kFchown)) return -1;
  return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int fstat(int fd, struct stat* st) {
  if (intercept(kFstat)) return -1;
  return real<int (*)(int, struct stat*)>("fstat")(fd, st);
}

int lstat(const char* path, struct stat* st) {
  if (intercept(kLstat)) return -1;
  return real<int (*)(const char*, struct stat*)>("lstat")(path, st);
}

// stat64 is the same call under its large-file name.
int stat(const char* path, struct stat* st) {
  if (intercept(kStat)) return -1;
  return real<int (*)(const char*, struct stat*)>("stat")(path, st);
}

int stat64(const char* path, struct stat64* st) {
  if (intercept(kStat)) return -1;
  return real<int (*)(const char*, struct stat64*)>("stat64")(path, st);
}

int flock(int fd, int operation) {
  if (intercept(kFlock)) return -1;
  return real<int (*)(int, int)>("flock")(fd, operation);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  if (intercept(kMmap)) return MAP_FAILED;
  return real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap")(address, length, protection,
                                                                      flags, fd, offset);
}

}  // extern "C"
