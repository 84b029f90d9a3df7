// The only place that knows which operating system the tool runs on.
//
// Everything above this header works with plain byte files, a platform error code and a few
// file-system operations whose exact guarantees the replacement of the account file depends on.
// There is one implementation for POSIX and one for Win32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

// errno on POSIX, GetLastError() on Windows.
using ErrorCode = int;

// The error code of the last failed call made through this header.
ErrorCode lastError();

// The platform's own description of an error code, without a trailing line end.
std::string errorText(ErrorCode code);

// Error codes the portable code needs to produce or recognise.
ErrorCode outOfMemoryError();
bool isCrossDevice(ErrorCode code);
bool isNotFound(ErrorCode code);
// Whether a failed File::createHeld means that another process holds the file.
bool isHeldElsewhere(ErrorCode code);
// Whether a step on a file failed only because another process has it open for a moment, so
// that the step is worth trying again: on Windows a sharing or lock violation, or access denied,
// which is what a virus scanner, the search indexer or a backup agent reading the file causes.
// Never on POSIX, where an open file stands in nobody's way.
bool isBriefLock(ErrorCode code);

// The command line's arguments as the tool works with them: on Windows, which hands them over as
// UTF-16 (wmain), converted to UTF-8 (sys/utf16.h), and every path takes that form; elsewhere the
// bytes as given.
#ifdef _WIN32
std::vector<std::string> commandLineArguments(int argc, wchar_t** argv);
#else
std::vector<std::string> commandLineArguments(int argc, char** argv);
#endif

// The length of a path as the command line's limit counts it: in characters on Windows (UTF-16
// units, as its file API counts them), in bytes elsewhere.
std::size_t pathLength(std::string_view path);

// What tells one file from another, and a changed file from the same file unchanged: the volume
// and the file's number on it, its size and the time it was last written.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::int64_t written = 0;  // in the platform's own units

  bool isSameFile(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
  // A write that keeps the size and falls within the file system's time resolution goes unseen.
  bool isUnchanged(const FileIdentity& other) const {
    return isSameFile(other) && size == other.size && written == other.written;
  }
};

// The identity of the file that path names now.
bool identityOf(const char* path, FileIdentity& identity);

// What a copy of a file needs to carry over so that it is readable by no more users than the
// original: permission bits and ownership on POSIX, attributes and the access control list on
// Windows.
struct AccessRights {
  bool known = false;
  unsigned mode = 0;  // the permission bits; on Windows the file's attributes
  unsigned owner = 0;
  unsigned group = 0;
  // Windows: the security descriptor that holds the file's access control list; empty where the
  // file system keeps none (FAT), so that there is nothing to carry.
  std::vector<unsigned char> securityDescriptor;
};

// Bytes to write, one of several written together.
struct WriteSpan {
  const char* data;
  std::size_t size;
};

// An open file, read or written in binary mode. Every call reports failure through its result
// and leaves the reason in lastError().
class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file for reading.
  bool openForReading(const char* path);

  // Prepares the file at path to be replaced by a rename, and tells which file it is now. On
  // Windows a rename over a file fails while any process has it open, and a name of it cannot be
  // removed while a process has it open without sharing its deletion: the file is opened with
  // delete access, sharing everything, which fails while such a process holds it and keeps any
  // new one from opening it until this file is closed. Elsewhere nothing holds a file against a
  // rename, and only the identity is read.
  bool openForReplacement(const char* path, FileIdentity& identity);

  // Creates a new file for reading and writing that only its owner can read, and holds it until
  // it is closed: while it is held, no other process's createHeld takes or removes it (an
  // advisory lock on POSIX, the handle's share mode on Windows). A regular file already at the
  // path that nobody holds is a leftover and is removed first (so a stale copy, and any other
  // name linked to it, is never written through); one that another process holds is left alone,
  // and the call fails with an error for which isHeldElsewhere() is true. A symbolic link or
  // anything else there is refused: the link's target is never opened or created.
  bool createHeld(const char* path);

  // Creates a new file for writing, failing if anything at all exists at the path.
  bool createExclusive(const char* path);

  // Reads up to size bytes. Returns the count, 0 at the end of the file, or -1 on failure.
  std::int64_t read(void* buffer, std::size_t size);

  // Goes back to the start of the file, for reading what was written.
  bool rewind();

  // Writes all bytes or fails.
  bool writeAll(const void* data, std::size_t size);

  // Writes the spans' bytes one after the other, all of them or fails; up to kMaxWriteSpans
  // of them in one system call.
  bool writeSpans(const WriteSpan* spans, std::size_t count);
  static constexpr std::size_t kMaxWriteSpans = 512;

  // Asks the system to start writing what has been written so far to the disk, without waiting
  // for it, so that a later sync() has less left to wait for. Only a hint: where it is not
  // available or fails, sync() still does the whole work and reports any failure.
  void startWriteback();

  // The size of the open file, where the platform can tell.
  bool size(std::uint64_t& bytes) const;

  // Sets aside disk space for a file about to be written up to bytes, where the file system can:
  // the writes then go faster. Only a hint; without it the writes take their space as they go.
  void reserveSpace(std::uint64_t bytes);

  // Gives back what reserveSpace set aside beyond the bytes written so far (the file is written
  // from start to end). Only tidiness: the space past the end holds nothing of the file.
  void releaseUnusedSpace();

  // Forces the written data to stable storage.
  bool sync();

  // Shows the file's bytes from offset on through a memory mapping, at least want of them unless
  // the end comes first; the previous view goes away. Returns the count (last: it reaches the
  // end of the file), -1 on failure, or -2 where mapping is not worth it or not possible (small
  // or not regular files, platforms without it). The view's end comes with a call for offset at
  // the end of the file, which shows nothing. Should the file shrink while it is viewed, what it
  // lost reads as zeros, and the next call fails with the platform's I/O error, as a failed read
  // does: the reader must not take the bytes it was shown since the previous call for the file.
  std::int64_t view(std::uint64_t offset, std::size_t want, const char*& data, bool& last);

  // Reads the access rights of this open file, for copying them onto another.
  bool accessRights(AccessRights& rights) const;

  // Gives this file the access rights read from another, or fails: a copy that cannot be made as
  // private as the original must not be used. Ownership is carried over only where the process
  // may set it; the permission bits, and on Windows the access control list, always are (where
  // the file system keeps one).
  bool applyAccessRights(const AccessRights& rights);

  // Whether path names this very file (also through another link to it).
  bool isSameFileAs(const char* path) const;

  // The identity of this open file.
  bool identity(FileIdentity& identity) const;

  // Gives this open file the name to, atomically replacing what is there, and keeps it open and
  // held. Fails with a cross-device error when to is on another volume.
  bool moveOver(const char* to);

  // Removes the file's name (the one it was created under, or moved to); the file goes once it
  // is closed.
  bool discard();

  // Closes the file; the result says whether everything written reached the file.
  bool close();

  bool isOpen() const { return handle_ != kClosed; }

 private:
  // Rounds of createHeld: each one that does not end with the file held has seen a step of
  // another run's, which the next round settles; so many in a row mean a run is going on.
  static constexpr int kHoldRounds = 8;
  static constexpr std::intptr_t kClosed = -1;

  // Takes over a handle just opened for path; false, the error left as it is, for kClosed.
  bool adopt(std::intptr_t handle, const char* path);

  std::intptr_t handle_ = kClosed;
  std::string path_;
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  std::int64_t viewableSize_ = -1;  // the size of a file worth mapping, or -2
  bool reserved_ = false;           // whether reserveSpace set space aside
};

// Makes newPath a second name of the file at existingPath without ever replacing anything at
// newPath. Fails with an "already exists" error when newPath is taken.
bool linkNoReplace(const char* existingPath, const char* newPath);

// Whether a failed linkNoReplace means only that the file system has no hard links, so that an
// exclusive copy may stand in for the link.
bool isLinkUnsupported(ErrorCode code);

// Atomically gives the file at from the name to, replacing what is there. Fails with a
// cross-device error when the two are on different volumes.
bool renameOver(const char* from, const char* to);

// Gives the file at from the name to, failing with an "already exists" error when to is taken.
bool renameNoReplace(const char* from, const char* to);

// Removes a file.
bool removeFile(const char* path);

// Makes the directory entries of the directory holding path durable (no-op where the platform
// makes renames durable by itself).
bool syncParentDirectory(const char* path);

// Memory for a large table that is filled at once: where the system has large pages, they are
// asked for, which spares a fault for every small page. nullptr when memory ran out. Zeroed on
// request. Released with freeLarge.
void* allocateLarge(std::size_t bytes, bool zeroed);
void freeLarge(void* p);

// A process-unique number for building temporary names.
unsigned long processId();

}  // namespace sys
