// Win32 implementation of the platform layer.
#include "sys/platform.h"

#include <cstring>
#include <string>
#include <vector>

#include "sys/utf16.h"
#include "sys/win32_calls.h"

namespace sys {

namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t toHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

}  // namespace

#define QUELM_WIN32_SYSTEM(name) ::name,
win32::Calls& win32::calls() {
  static Calls table = {QUELM_WIN32_CALLS(QUELM_WIN32_SYSTEM)};
  return table;
}

namespace {

using win32::calls;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the wide API takes UTF-16");

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A path in the form the wide file API takes. Every path the tool holds is UTF-8 (sys/utf16.h);
// anything else fails as an invalid name.
//
// Windows refuses a path whose full form, once joined to the working directory, reaches MAX_PATH
// characters, unless the program declares itself long-path aware and the administrator has
// turned long paths on for the whole system, which few have. A path given as "\\?\" and the full
// path is taken at any length on every Windows, but as it is, without Windows' tidying (of "..",
// "/" and trailing dots): so such a path is tidied by Windows first, into its full form. Shorter
// paths go as they were given.
class WidePath {
 public:
  explicit WidePath(const char* path) : valid_(toUtf16(path, text_)) {
    if (!valid_) {
      SetLastError(ERROR_INVALID_NAME);
      return;
    }
    lengthen();
  }
  explicit operator bool() const { return valid_; }
  const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(text_.c_str()); }
  std::size_t size() const { return text_.size(); }

 private:
  void lengthen();

  std::u16string text_;
  bool valid_;
};

bool startsWith(std::u16string_view text, std::u16string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void WidePath::lengthen() {
  // The size of the full path with its NUL. Should it not be known, the path goes as it was
  // given, and the call that takes it says what is wrong with it.
  DWORD needed = calls().GetFullPathNameW(get(), 0, nullptr, nullptr);
  if (needed <= MAX_PATH) return;
  std::u16string full(needed, u'\0');
  DWORD size =
      calls().GetFullPathNameW(get(), needed, reinterpret_cast<wchar_t*>(full.data()), nullptr);
  if (size == 0 || size >= needed) return;
  full.resize(size);
  if (startsWith(full, u"\\\\?\\") || startsWith(full, u"\\\\.\\")) {
    text_ = full;  // a path in the device namespace already
  } else if (startsWith(full, u"\\\\")) {
    text_ = u"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\... on the network
  } else {
    text_ = u"\\\\?\\" + full;
  }
}

HANDLE openExisting(const char* path, DWORD access, DWORD share, DWORD flags) {
  WidePath wide(path);
  if (!wide) return INVALID_HANDLE_VALUE;
  return calls().CreateFileW(wide.get(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Opens a new file for writing. No sharing while the copy is written: nobody else reads a
// half-written account file, and nobody renames or removes it. The access control list it is
// to carry is set through the handle (WRITE_DAC).
HANDLE openNew(const char* path, DWORD access = GENERIC_WRITE) {
  WidePath wide(path);
  if (!wide) return INVALID_HANDLE_VALUE;
  return calls().CreateFileW(wide.get(), access | WRITE_DAC, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

DWORD attributesOf(const char* path) {
  WidePath wide(path);
  return wide ? calls().GetFileAttributesW(wide.get()) : INVALID_FILE_ATTRIBUTES;
}

bool identityFrom(HANDLE h, FileIdentity& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!calls().GetFileInformationByHandle(h, &info)) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  id.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  id.written = static_cast<std::int64_t>(std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 |
                                         info.ftLastWriteTime.dwLowDateTime);
  return true;
}

}  // namespace

ErrorCode lastError() {
  return static_cast<ErrorCode>(GetLastError());
}

std::string errorText(ErrorCode code) {
  char* text = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result;
  if (n == 0 || text == nullptr) {
    result = "Error " + std::to_string(static_cast<unsigned long>(code));
  } else {
    result.assign(text, n);
    LocalFree(text);
  }
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

ErrorCode outOfMemoryError() {
  return ERROR_NOT_ENOUGH_MEMORY;
}
bool isCrossDevice(ErrorCode code) {
  return code == ERROR_NOT_SAME_DEVICE;
}
bool isNotFound(ErrorCode code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}
bool isHeldElsewhere(ErrorCode code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}
bool isBriefLock(ErrorCode code) {
  return isHeldElsewhere(code) || code == ERROR_ACCESS_DENIED;
}

std::vector<std::string> commandLineArguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(toUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  return arguments;
}

std::size_t pathLength(std::string_view path) {
  return utf16Length(path);
}

bool identityOf(const char* path, FileIdentity& identity) {
  // No access asked for, so that no share mode of another process's stands in the way.
  HANDLE h = openExisting(path, 0, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool known = identityFrom(h, identity);
  DWORD error = GetLastError();
  calls().CloseHandle(h);
  SetLastError(error);
  return known;
}

File::~File() {
  if (isOpen()) calls().CloseHandle(handleOf(handle_));
}

bool File::openForReading(const char* path) {
  // Others may go on writing, renaming or replacing the file while it is read: a server that
  // saves meanwhile must not fail for it (the run finds out that the file changed).
  return adopt(toHandle(openExisting(path, GENERIC_READ, kShareAll, FILE_FLAG_SEQUENTIAL_SCAN)),
               path);
}

bool File::openForReplacement(const char* path, FileIdentity& identity) {
  return adopt(toHandle(openExisting(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, 0)), path) &&
         identityFrom(handleOf(handle_), identity);
}

bool File::createHeld(const char* path) {
  // Held by the share mode: while this handle is open, no other process opens, renames or
  // removes the file. DELETE access lets this process rename and remove it through the handle.
  for (int round = 0; round < kHoldRounds; ++round) {
    if (adopt(toHandle(openNew(path, GENERIC_READ | GENERIC_WRITE | DELETE)), path)) return true;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) continue;
      return false;
    }
    if (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_CANT_ACCESS_FILE);
      return false;
    }
    // A leftover is removed; one that another process holds open refuses with a sharing
    // violation.
    if (!removeFile(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  SetLastError(ERROR_SHARING_VIOLATION);
  return false;
}

bool File::createExclusive(const char* path) {
  return adopt(toHandle(openNew(path)), path);
}

std::int64_t File::read(void* buffer, std::size_t size) {
  DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!calls().ReadFile(handleOf(handle_), buffer, want, &got, nullptr)) {
    // A pipe whose writer has gone away ends like a file.
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return -1;
  }
  return got;
}

bool File::rewind() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return calls().SetFilePointerEx(handleOf(handle_), zero, nullptr, FILE_BEGIN) != 0;
}

bool File::writeAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!calls().WriteFile(handleOf(handle_), p, chunk, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    p += written;
    size -= written;
  }
  return true;
}

bool File::writeSpans(const WriteSpan* spans, std::size_t count) {
  // Gathered writes exist only for unbuffered, sector-aligned files; one call a span it is.
  for (std::size_t i = 0; i < count; ++i) {
    if (!writeAll(spans[i].data, spans[i].size)) return false;
  }
  return true;
}

void File::startWriteback() {
  // No way to start it without waiting for it; FlushFileBuffers at the end does it all.
}

std::int64_t File::view(std::uint64_t, std::size_t, const char*&, bool&) {
  // ReadFile into the reader's block is what Windows gets.
  return -2;
}

bool File::size(std::uint64_t& bytes) const {
  LARGE_INTEGER size;
  if (!calls().GetFileSizeEx(handleOf(handle_), &size)) return false;
  bytes = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

void File::reserveSpace(std::uint64_t) {
  // NTFS allocates as the file grows; nothing gained here.
}

void File::releaseUnusedSpace() {}

bool File::sync() {
  return calls().FlushFileBuffers(handleOf(handle_)) != 0;
}

namespace {

// Whether the volume that holds the open file keeps access control lists: FAT and exFAT do not.
// Should the volume not say, it is taken to keep them, so that a list is never dropped unasked.
bool keepsAccessLists(HANDLE h) {
  DWORD flags = 0;
  if (!calls().GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return true;
  }
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

bool File::accessRights(AccessRights& rights) const {
  HANDLE h = handleOf(handle_);
  BY_HANDLE_FILE_INFORMATION info;
  if (!calls().GetFileInformationByHandle(h, &info)) return false;
  rights.mode = info.dwFileAttributes;
  rights.securityDescriptor.clear();
  if (keepsAccessLists(h)) {
    // The descriptor's size first, then the descriptor: the first call fails for want of room.
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    if (!calls().GetKernelObjectSecurity(h, what, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return false;
    }
    if (needed == 0) {
      SetLastError(ERROR_INVALID_SECURITY_DESCR);
      return false;
    }
    rights.securityDescriptor.resize(needed);
    if (!calls().GetKernelObjectSecurity(h, what, rights.securityDescriptor.data(), needed,
                                         &needed)) {
      return false;
    }
  }
  rights.known = true;
  return true;
}

bool File::applyAccessRights(const AccessRights& rights) {
  if (!rights.known) return true;
  // The account file's attributes, but never read-only: the copy is still to be written.
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (rights.mode & kept) {
    WidePath mine(path_.c_str());
    if (!mine || !calls().SetFileAttributesW(mine.get(), rights.mode & kept)) return false;
  }
  // The account file's access control list, so that the filtered copy is readable by exactly the
  // accounts that could read the original, not by whoever may read the working directory, whose
  // list the copy inherited. Where either file system keeps no lists (FAT), there is nothing to
  // carry.
  if (rights.securityDescriptor.empty()) return true;
  HANDLE h = handleOf(handle_);
  if (!keepsAccessLists(h)) return true;
  // The API takes the descriptor as a mutable pointer, and only reads it.
  auto* descriptor = const_cast<unsigned char*>(rights.securityDescriptor.data());
  return calls().SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, descriptor) != 0;
}

bool File::identity(FileIdentity& identity) const {
  return identityFrom(handleOf(handle_), identity);
}

bool File::moveOver(const char* to) {
  // Through the handle, which keeps the file held: a move by name would have to close it first
  // and leave a moment in which another process could take the name.
  WidePath wide(to);
  if (!wide) return false;
  std::size_t nameBytes = wide.size() * sizeof(WCHAR);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(info->FileName, wide.get(), nameBytes + sizeof(WCHAR));
  if (!calls().SetFileInformationByHandle(handleOf(handle_), FileRenameInfo, info,
                                          static_cast<DWORD>(buffer.size()))) {
    return false;
  }
  path_ = to;
  // What MOVEFILE_WRITE_THROUGH asks of a move by name: the file and its new name on disk before
  // the run reports success. The rename has happened either way, so a failure changes nothing.
  (void)calls().FlushFileBuffers(handleOf(handle_));
  return true;
}

bool File::discard() {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = TRUE;
  return calls().SetFileInformationByHandle(handleOf(handle_), FileDispositionInfo, &info,
                                            sizeof info) != 0;
}

bool File::close() {
  if (!isOpen()) return true;
  HANDLE h = handleOf(handle_);
  handle_ = kClosed;
  return calls().CloseHandle(h) != 0;
}

bool linkNoReplace(const char* existingPath, const char* newPath) {
  WidePath existing(existingPath), link(newPath);
  return existing && link && calls().CreateHardLinkW(link.get(), existing.get(), nullptr) != 0;
}

bool isLinkUnsupported(ErrorCode code) {
  return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_TOO_MANY_LINKS || code == ERROR_CALL_NOT_IMPLEMENTED ||
         code == ERROR_ACCESS_DENIED;
}

bool renameOver(const char* from, const char* to) {
  // No MOVEFILE_COPY_ALLOWED: across volumes the move would become a copy that is not atomic;
  // the caller copies beside the destination itself and comes back here.
  WidePath source(from), target(to);
  return source && target &&
         calls().MoveFileExW(source.get(), target.get(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool renameNoReplace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the destination exists.
  WidePath source(from), target(to);
  return source && target &&
         calls().MoveFileExW(source.get(), target.get(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const char* path) {
  WidePath wide(path);
  return wide && calls().DeleteFileW(wide.get()) != 0;
}

bool syncParentDirectory(const char*) {
  // Moves by name use MOVEFILE_WRITE_THROUGH, and File::moveOver flushes after its rename.
  return true;
}

unsigned long processId() {
  return GetCurrentProcessId();
}

void* allocateLarge(std::size_t bytes, bool zeroed) {
  // Large pages need a privilege that ordinary accounts lack; plain memory it is.
  return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
}

void freeLarge(void* p) {
  std::free(p);
}

}  // namespace sys
