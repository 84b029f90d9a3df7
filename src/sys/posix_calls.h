// Every system call that the POSIX platform layer makes, in one table.
//
// The layer calls the system only through this table. The released program keeps the C
// library's own functions in it, so that it calls them as any program does (and a library
// preloaded from outside sees every call); a test build puts functions of its own in their
// place, which fail a call with the error the system gives in life, or end the process just
// before it, so that every call a run makes can be failed and killed in turn without any other
// code knowing. Only the C library's own work (memory, error texts, signal sets) is left out: it
// makes no call of the system's that the layer asks for.
#pragma once

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

// The list, written once: the table's members, their filling and a test build's functions all
// come from it.
#ifdef __linux__
#define QUELM_POSIX_LINUX_CALLS(X) X(fallocate) X(sync_file_range)
#else
#define QUELM_POSIX_LINUX_CALLS(X)
#endif
#ifdef RENAME_NOREPLACE
#define QUELM_POSIX_RENAMEAT2(X) X(renameat2)
#else
#define QUELM_POSIX_RENAMEAT2(X)
#endif
#define QUELM_POSIX_CALLS(X) \
  X(open)                    \
  X(read)                    \
  X(writev)                  \
  X(lseek)                   \
  X(ftruncate)               \
  X(fsync)                   \
  X(close)                   \
  X(fstat)                   \
  X(lstat)                   \
  X(stat)                    \
  X(flock)                   \
  X(fchmod)                  \
  X(fchown)                  \
  X(link)                    \
  X(rename)                  \
  X(unlink)                  \
  X(mmap)                    \
  X(munmap)                  \
  X(madvise)                 \
  X(sigaction)               \
  X(sysconf)                 \
  X(getpid)                  \
  QUELM_POSIX_LINUX_CALLS(X) \
  QUELM_POSIX_RENAMEAT2(X)

namespace sys::posix {

// One member a call, named as the function it stands for.
struct Calls {
#define QUELM_POSIX_MEMBER(name) decltype(&::name) name;
  QUELM_POSIX_CALLS(QUELM_POSIX_MEMBER)
#undef QUELM_POSIX_MEMBER
};

// The table in use: the C library's functions, unless a test build has put others in their place
// before the run began.
Calls& calls();

}  // namespace sys::posix
