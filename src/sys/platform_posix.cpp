// POSIX implementation of the platform layer.
#include "sys/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <algorithm>
#include <csignal>

#include "sys/posix_calls.h"

namespace sys {

using posix::calls;

namespace {

int fdOf(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// Makes a system call again for as long as a signal interrupts it (EINTR); gives its result.
template <typename Call>
auto restarting(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Opens a new file that nobody but its owner can read; the caller widens the rights later, once
// ownership has been settled.
int openNew(const char* path, int access = O_WRONLY) {
  return restarting(
      [&] { return calls().open(path, access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
}

FileIdentity identityFrom(const struct stat& st) {
  FileIdentity id;
  id.volume = static_cast<std::uint64_t>(st.st_dev);
  id.index = static_cast<std::uint64_t>(st.st_ino);
  id.size = static_cast<std::uint64_t>(st.st_size);
  id.written = std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  return id;
}

enum class Hold { Held, Gone, Failed };

// Locks the open file fd for this process and then makes sure that path still names it: another
// run may have removed it as a leftover between its creation or opening and the lock.
Hold holdIfStillAt(int fd, const char* path) {
  if (restarting([&] { return calls().flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    return Hold::Failed;  // EWOULDBLOCK: another run holds it
  }
  struct stat mine, named;
  if (calls().fstat(fd, &mine) != 0) return Hold::Failed;
  if (calls().lstat(path, &named) != 0) return errno == ENOENT ? Hold::Gone : Hold::Failed;
  return identityFrom(mine).isSameFile(identityFrom(named)) ? Hold::Held : Hold::Gone;
}

void closeKeepingErrno(int fd) {
  int saved = errno;
  calls().close(fd);
  errno = saved;
}

// Removes the file at path if it is a leftover: a regular file that nobody holds. Fails with
// EWOULDBLOCK when another process holds it; succeeds when it is gone already.
bool removeLeftover(const char* path) {
  int fd = restarting(
      [&] { return calls().open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return errno == ENOENT;  // ELOOP for a symbolic link
  struct stat st;
  if (calls().fstat(fd, &st) != 0) {
    closeKeepingErrno(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    calls().close(fd);
    errno = EEXIST;
    return false;
  }
  Hold hold = holdIfStillAt(fd, path);
  // Held, it cannot be taken by another run while it is removed.
  bool removed = hold == Hold::Gone || (hold == Hold::Held && calls().unlink(path) == 0);
  closeKeepingErrno(fd);
  return removed;
}

}  // namespace

// The C library's own functions.
#define QUELM_POSIX_LIBRARY(name) ::name,
posix::Calls& posix::calls() {
  static Calls table = {QUELM_POSIX_CALLS(QUELM_POSIX_LIBRARY)};
  return table;
}

ErrorCode lastError() {
  return errno;
}

std::string errorText(ErrorCode code) {
  return std::strerror(code);
}

ErrorCode outOfMemoryError() {
  return ENOMEM;
}
bool isCrossDevice(ErrorCode code) {
  return code == EXDEV;
}
bool isNotFound(ErrorCode code) {
  return code == ENOENT;
}
bool isHeldElsewhere(ErrorCode code) {
  return code == EWOULDBLOCK || code == EAGAIN;
}
bool isBriefLock(ErrorCode) {
  return false;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

std::size_t pathLength(std::string_view path) {
  return path.size();
}

bool identityOf(const char* path, FileIdentity& identity) {
  struct stat st;
  if (calls().stat(path, &st) != 0) return false;
  identity = identityFrom(st);
  return true;
}

namespace {

// Mapping pays for itself only on larger files; and a window that shows this much of the file
// past the reader's offset keeps the memory the mapping occupies small whatever the file's size.
// Measured: 2 MiB windows run as fast as 4 MiB ones and, on a virtual machine, without their
// occasional slow runs at a gigabyte and more.
constexpr std::int64_t kMapAtLeast = std::int64_t{4} << 20;
constexpr std::size_t kWindow = std::size_t{2} << 20;

// Windows begin and end on this boundary of the file, and are placed on the same boundary in
// memory. A file read from disk or written in large blocks is held in the page cache largely in
// pieces of this size, and the kernel maps each such piece with one page-table entry when both
// the piece and its place in memory are aligned so, instead of one entry per 4 KiB page: mapping,
// reading and unmapping 1 GB held so went from 110 to 55 ms. A file held in small pages costs
// the same either way.
constexpr std::uint64_t kBlock = std::uint64_t{2} << 20;

std::uint64_t roundUp(std::uint64_t n, std::uint64_t to) {
  return (n + to - 1) / to * to;
}

// 0 where the system does not say: the file is then read rather than mapped.
std::uint64_t pageSize() {
  static const std::uint64_t page = [] {
    long size = calls().sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
  }();
  return page;
}

// Maps length bytes of the file from start, at an address that is a multiple of kBlock.
void* mapAligned(int fd, std::uint64_t start, std::size_t length) {
  // Room for the window wherever it lands, then the window put at the aligned place within it
  // and what is left over around it given back.
  std::size_t roomSize = length + kBlock;
  void* room = calls().mmap(nullptr, roomSize, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) return MAP_FAILED;
  char* roomStart = static_cast<char*>(room);
  std::uintptr_t address = reinterpret_cast<std::uintptr_t>(roomStart);
  std::size_t before = static_cast<std::size_t>(roundUp(address, kBlock) - address);
  char* at = roomStart + before;
  void* p =
      calls().mmap(at, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, static_cast<off_t>(start));
  if (p == MAP_FAILED) {
    int error = errno;
    calls().munmap(room, roomSize);
    errno = error;
    return MAP_FAILED;
  }
  // The spare room is less than a block before the window, and after the window's last page
  // the rest. Failing to give it back would only leave address space unused.
  std::size_t mapped = static_cast<std::size_t>(roundUp(length, pageSize()));
  if (before > 0) (void)calls().munmap(roomStart, before);
  (void)calls().munmap(at + mapped, roomSize - before - mapped);
  return p;
}

// A mapped file that shrinks under the reader takes its pages with it, and reading one of them
// raises SIGBUS. The handler puts zeros in the place of what the file lost, from the page that
// faulted to the end of the view, so that the interrupted read can finish, and notes the loss,
// which the view's next call reports as a failed read: the scan then fails as on any read error,
// and removes its copy. The tool views one file at a time: the handler knows that view's place.
std::atomic<std::uintptr_t> viewStart{0};
std::atomic<std::uintptr_t> viewEnd{0};
std::atomic<bool> viewShrank{false};

void onBusError(int, siginfo_t* info, void*) {
  int savedErrno = errno;
  std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  std::uintptr_t start = viewStart.load(), end = viewEnd.load();
  if (at >= start && at < end) {
    std::uintptr_t page = at - (at - start) % pageSize();
    // mmap is a plain system call on Linux, safe here though POSIX does not list it.
    void* zeros = calls().mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      viewShrank.store(true);
      errno = savedErrno;
      return;
    }
  }
  // Not the view's, or no zeros to put there: the fault, made again, ends the process as it
  // would have without the handler.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  if (calls().sigaction(SIGBUS, &fallback, nullptr) != 0) std::abort();
  errno = savedErrno;
}

// Reads a byte of every page of the buffers that lies in the view, so that a page the file took
// with it raises the bus error here, in the program, rather than in the kernel. Whether the view
// has lost pages.
bool readThroughView(const struct iovec* vec, std::size_t count) {
  std::uintptr_t start = viewStart.load(), end = viewEnd.load();
  std::uintptr_t page = static_cast<std::uintptr_t>(pageSize());
  for (std::size_t i = 0; i < count; ++i) {
    std::uintptr_t from = reinterpret_cast<std::uintptr_t>(vec[i].iov_base);
    std::uintptr_t to = std::min(end, from + vec[i].iov_len);
    for (std::uintptr_t at = std::max(start, from); at < to; at = at - at % page + page) {
      (void)*reinterpret_cast<const volatile char*>(at);
    }
  }
  return viewShrank.load();
}

// Takes a view away; false when the file shrank while it was viewed.
bool endView(void*& mapping, std::size_t size) {
  viewStart.store(0);
  viewEnd.store(0);
  calls().munmap(mapping, size);
  mapping = nullptr;
  return !viewShrank.exchange(false);
}

}  // namespace

File::~File() {
  if (mapping_ != nullptr) endView(mapping_, mappingSize_);
  if (isOpen()) calls().close(fdOf(handle_));
}

std::int64_t File::view(std::uint64_t offset, std::size_t want, const char*& data, bool& last) {
  if (viewableSize_ == -1) {
    struct stat st;
    if (calls().fstat(fdOf(handle_), &st) != 0) return -1;
    // The page size is known before the handler needs it.
    bool worthIt = S_ISREG(st.st_mode) && st.st_size >= kMapAtLeast && pageSize() > 0;
    viewableSize_ = worthIt ? st.st_size : -2;
    if (viewableSize_ < 0) return -2;
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (calls().sigaction(SIGBUS, &action, nullptr) != 0) return -1;
  }
  if (viewableSize_ < 0) return -2;
  std::uint64_t size = static_cast<std::uint64_t>(viewableSize_);
  if (mapping_ != nullptr && !endView(mapping_, mappingSize_)) {
    errno = EIO;
    return -1;
  }
  if (offset >= size) {
    last = true;
    data = "";
    return 0;
  }
  // The window starts at the block that holds offset; the reader asks again just before the
  // end of the last one, so the block it starts in is usually the previous window's last.
  std::uint64_t start = offset - offset % kBlock;
  std::uint64_t end =
      std::min(size, roundUp(offset + std::max<std::uint64_t>(kWindow, want), kBlock));
  std::size_t length = static_cast<std::size_t>(end - start);
  void* p = mapAligned(fdOf(handle_), start, length);
  if (p == MAP_FAILED) return -1;
  mapping_ = p;
  mappingSize_ = length;
  viewStart.store(reinterpret_cast<std::uintptr_t>(p));
  viewEnd.store(reinterpret_cast<std::uintptr_t>(p) + roundUp(length, pageSize()));
  // The pages are brought in from offset on only: those before it were read through the previous
  // window, and a file held in small pages would otherwise have them mapped a second time. Only a
  // hint: where it is not supported, the pages come in as they are read.
#ifdef MADV_POPULATE_READ
  std::uint64_t from = offset - offset % pageSize() - start;
  (void)calls().madvise(static_cast<char*>(p) + from, length - from, MADV_POPULATE_READ);
#endif
  data = static_cast<const char*>(p) + (offset - start);
  last = end == size;
  return static_cast<std::int64_t>(end - offset);
}

bool File::openForReading(const char* path) {
  return adopt(restarting([&] { return calls().open(path, O_RDONLY | O_CLOEXEC); }), path);
}

bool File::openForReplacement(const char* path, FileIdentity& identity) {
  return identityOf(path, identity);
}

bool File::createHeld(const char* path) {
  for (int round = 0; round < kHoldRounds; ++round) {
    int fd = openNew(path, O_RDWR);
    if (fd < 0) {
      if (errno != EEXIST || !removeLeftover(path)) return false;
      continue;
    }
    Hold hold = holdIfStillAt(fd, path);
    if (hold == Hold::Held) return adopt(fd, path);
    closeKeepingErrno(fd);
    if (hold == Hold::Failed) return false;
  }
  errno = EWOULDBLOCK;
  return false;
}

bool File::createExclusive(const char* path) {
  return adopt(openNew(path), path);
}

std::int64_t File::read(void* buffer, std::size_t size) {
  return restarting([&] { return calls().read(fdOf(handle_), buffer, size); });
}

bool File::rewind() {
  return calls().lseek(fdOf(handle_), 0, SEEK_SET) == 0;
}

bool File::writeAll(const void* data, std::size_t size) {
  WriteSpan span{static_cast<const char*>(data), size};
  return writeSpans(&span, 1);
}

bool File::writeSpans(const WriteSpan* spans, std::size_t count) {
  static_assert(kMaxWriteSpans <= 1024, "more than IOV_MAX");
  if (count > kMaxWriteSpans) {
    return writeSpans(spans, kMaxWriteSpans) &&
           writeSpans(spans + kMaxWriteSpans, count - kMaxWriteSpans);
  }
  struct iovec vec[kMaxWriteSpans];
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (spans[i].size > 0) vec[n++] = {const_cast<char*>(spans[i].data), spans[i].size};
  }
  std::size_t first = 0;
  bool touched = false;
  while (first < n) {
    ssize_t written = restarting(
        [&] { return calls().writev(fdOf(handle_), vec + first, static_cast<int>(n - first)); });
    if (written < 0) {
      // Bytes written straight from a view of a file that shrank meanwhile: the kernel finds
      // them gone and fails with EFAULT, where reading them here raises the bus error that puts
      // zeros in their place. The write goes on with those, and the view's next call reports
      // the loss as a failed read.
      if (errno != EFAULT || touched || !readThroughView(vec + first, n - first)) return false;
      touched = true;
      continue;
    }
    touched = false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    // A short write leaves the rest for the next round.
    std::size_t done = static_cast<std::size_t>(written);
    while (first < n && done >= vec[first].iov_len) done -= vec[first++].iov_len;
    if (done > 0) {
      vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + done;
      vec[first].iov_len -= done;
    }
  }
  return true;
}

void File::startWriteback() {
#ifdef __linux__
  // Failure changes nothing: the final fsync writes and checks everything.
  (void)calls().sync_file_range(fdOf(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool File::size(std::uint64_t& bytes) const {
  struct stat st;
  if (calls().fstat(fdOf(handle_), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  bytes = static_cast<std::uint64_t>(st.st_size);
  return true;
}

void File::reserveSpace(std::uint64_t bytes) {
#ifdef __linux__
  // The size stays as written; a failure (no room, no support) leaves the writes to find out.
  reserved_ = bytes > 0 && calls().fallocate(fdOf(handle_), FALLOC_FL_KEEP_SIZE, 0,
                                             static_cast<off_t>(bytes)) == 0;
#else
  (void)bytes;
#endif
}

void File::releaseUnusedSpace() {
  if (!reserved_) return;
  reserved_ = false;
  // Cutting the file at its own end frees the blocks past it.
  off_t end = calls().lseek(fdOf(handle_), 0, SEEK_CUR);
  if (end >= 0 && calls().ftruncate(fdOf(handle_), end) != 0) {
    // The blocks stay allocated to the file, unseen: nothing to report.
  }
}

bool File::sync() {
  return restarting([&] { return calls().fsync(fdOf(handle_)); }) == 0;
}

bool File::accessRights(AccessRights& rights) const {
  struct stat st;
  if (calls().fstat(fdOf(handle_), &st) != 0) return false;
  rights.known = true;
  rights.mode = st.st_mode & 0777;
  rights.owner = st.st_uid;
  rights.group = st.st_gid;
  return true;
}

bool File::applyAccessRights(const AccessRights& rights) {
  if (!rights.known) return true;
  int fd = fdOf(handle_);
  // Ownership first, while the file is still private: only a privileged process may give a file
  // away, an ordinary one may at most choose one of its own groups. Neither refusal is an error,
  // since the permission bits below still keep the copy no more readable than the original.
  if (calls().fchown(fd, rights.owner, rights.group) != 0) {
    if (calls().fchown(fd, static_cast<uid_t>(-1), rights.group) != 0) {
      // Keep the group the file got: clear the group bits so no other group gains access.
      return calls().fchmod(fd, rights.mode & 0707) == 0;
    }
  }
  return calls().fchmod(fd, rights.mode) == 0;
}

bool File::identity(FileIdentity& identity) const {
  struct stat st;
  if (calls().fstat(fdOf(handle_), &st) != 0) return false;
  identity = identityFrom(st);
  return true;
}

bool File::moveOver(const char* to) {
  // The lock goes with the open file, not with its name: the file stays held under the new one.
  if (calls().rename(path_.c_str(), to) != 0) return false;
  path_ = to;
  return true;
}

bool File::discard() {
  // Only while the name still leads here: what another process put there is not this file's.
  if (!isSameFileAs(path_.c_str())) return false;
  return calls().unlink(path_.c_str()) == 0;
}

bool File::close() {
  if (!isOpen()) return true;
  int fd = fdOf(handle_);
  handle_ = kClosed;
  // POSIX leaves the descriptor's state unspecified after EINTR; Linux has always released it,
  // so retrying could close a descriptor opened meanwhile. Treat EINTR as done.
  if (calls().close(fd) != 0 && errno != EINTR) return false;
  return true;
}

bool linkNoReplace(const char* existingPath, const char* newPath) {
  return calls().link(existingPath, newPath) == 0;
}

bool isLinkUnsupported(ErrorCode code) {
  return code == EPERM || code == EOPNOTSUPP || code == ENOTSUP || code == EMLINK || code == ENOSYS;
}

bool renameOver(const char* from, const char* to) {
  return calls().rename(from, to) == 0;
}

bool renameNoReplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (calls().renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // The file system cannot refuse to replace by itself. Look first: only a file created in the
  // moment between the look and the rename could still be replaced.
  struct stat st;
  if (calls().lstat(to, &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return calls().rename(from, to) == 0;
}

bool removeFile(const char* path) {
  return calls().unlink(path) == 0;
}

bool syncParentDirectory(const char* path) {
  std::string_view whole(path);
  std::size_t slash = whole.find_last_of('/');
  std::string dir(slash == std::string_view::npos ? std::string_view(".")
                  : slash == 0                    ? std::string_view("/")
                                                  : whole.substr(0, slash));
  int fd =
      restarting([&] { return calls().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  // A directory we may write to but not read cannot be synced by us; its entries are then as
  // durable as the file system makes them by itself.
  if (fd < 0) return errno == EACCES || errno == EPERM;
  int rc = calls().fsync(fd);
  int saved = errno;
  calls().close(fd);
  errno = saved;
  // Some file systems cannot sync a directory and say so; their renames are as durable as
  // they get.
  return rc == 0 || errno == EINVAL;
}

unsigned long processId() {
  return static_cast<unsigned long>(calls().getpid());
}

void* allocateLarge(std::size_t bytes, bool zeroed) {
  constexpr std::size_t kLargePage = std::size_t{2} << 20;
  if (bytes < kLargePage / 2) return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  std::size_t rounded = static_cast<std::size_t>(roundUp(bytes, kLargePage));
  void* p = nullptr;
  if (::posix_memalign(&p, kLargePage, rounded) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only a hint: without large pages the memory works the same.
  (void)calls().madvise(p, rounded, MADV_HUGEPAGE);
#endif
  if (zeroed) std::memset(p, 0, bytes);
  return p;
}

void freeLarge(void* p) {
  std::free(p);
}

}  // namespace sys
