// Win32 implementation of the platform layer.
#include "sys/platform.h"

#include <cstring>
#include <string>
#include <vector>

#include "sys/utf16.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace sys {

namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t toHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(h);
}

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the wide API takes UTF-16");

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A path in the form the wide file API takes. Every path the tool holds is UTF-8 (sys/utf16.h);
// anything else fails as an invalid name.
class WidePath {
 public:
  explicit WidePath(const char* path) : valid_(toUtf16(path, text_)) {
    if (!valid_) SetLastError(ERROR_INVALID_NAME);
  }
  explicit operator bool() const { return valid_; }
  const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(text_.c_str()); }
  std::size_t size() const { return text_.size(); }

 private:
  std::u16string text_;
  bool valid_;
};

HANDLE openExisting(const char* path, DWORD access, DWORD share, DWORD flags) {
  WidePath wide(path);
  if (!wide) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.get(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

HANDLE openNew(const char* path, DWORD access = GENERIC_WRITE) {
  WidePath wide(path);
  if (!wide) return INVALID_HANDLE_VALUE;
  // No sharing while the copy is written: nobody else reads a half-written account file, and
  // nobody renames or removes it.
  return CreateFileW(wide.get(), access, 0, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

DWORD attributesOf(const char* path) {
  WidePath wide(path);
  return wide ? GetFileAttributesW(wide.get()) : INVALID_FILE_ATTRIBUTES;
}

bool identityFrom(HANDLE h, FileIdentity& id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return false;
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
  CloseHandle(h);
  SetLastError(error);
  return known;
}

File::~File() {
  if (isOpen()) CloseHandle(handleOf(handle_));
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
  if (!ReadFile(handleOf(handle_), buffer, want, &got, nullptr)) {
    // A pipe whose writer has gone away ends like a file.
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    return -1;
  }
  return got;
}

bool File::rewind() {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return SetFilePointerEx(handleOf(handle_), zero, nullptr, FILE_BEGIN) != 0;
}

bool File::writeAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), p, chunk, &written, nullptr)) return false;
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

std::int64_t File::view(std::uint64_t, std::size_t, const char*&, bool&, const char*) {
  // ReadFile into the reader's block is what Windows gets.
  return -2;
}

bool File::size(std::uint64_t& bytes) const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handleOf(handle_), &size)) return false;
  bytes = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

void File::reserveSpace(std::uint64_t) {
  // NTFS allocates as the file grows; nothing gained here.
}

void File::releaseUnusedSpace() {}

bool File::sync() {
  return FlushFileBuffers(handleOf(handle_)) != 0;
}

bool File::accessRights(AccessRights& rights) const {
  rights.known = true;
  rights.sourcePath = path_;
  DWORD attributes = attributesOf(path_.c_str());
  rights.mode = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes;
  return true;
}

bool File::applyAccessRights(const AccessRights& rights) {
  if (!rights.known || rights.sourcePath.empty()) return true;
  // The account file's attributes, but never read-only: the copy is still to be written.
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  WidePath mine(path_.c_str()), source(rights.sourcePath.c_str());
  if (!mine || !source) return true;
  if (rights.mode & kept) SetFileAttributesW(mine.get(), rights.mode & kept);
  // Carry the account file's access control list over, so the filtered copy is readable by
  // exactly the accounts that could read the original. Where the file system keeps no security
  // descriptors (FAT) there is nothing to carry.
  const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  GetFileSecurityW(source.get(), what, nullptr, 0, &needed);
  if (needed == 0) return true;
  std::vector<unsigned char> descriptor(needed);
  if (!GetFileSecurityW(source.get(), what, descriptor.data(), needed, &needed)) return true;
  SetFileSecurityW(mine.get(), what, descriptor.data());
  return true;
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
  if (!SetFileInformationByHandle(handleOf(handle_), FileRenameInfo, info,
                                  static_cast<DWORD>(buffer.size()))) {
    return false;
  }
  path_ = to;
  // What MOVEFILE_WRITE_THROUGH asks of a move by name: the file and its new name on disk before
  // the run reports success. The rename has happened either way, so a failure changes nothing.
  (void)FlushFileBuffers(handleOf(handle_));
  return true;
}

bool File::discard() {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = TRUE;
  return SetFileInformationByHandle(handleOf(handle_), FileDispositionInfo, &info, sizeof info) !=
         0;
}

bool File::close() {
  if (!isOpen()) return true;
  HANDLE h = handleOf(handle_);
  handle_ = kClosed;
  return CloseHandle(h) != 0;
}

bool linkNoReplace(const char* existingPath, const char* newPath) {
  WidePath existing(existingPath), link(newPath);
  return existing && link && CreateHardLinkW(link.get(), existing.get(), nullptr) != 0;
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
         MoveFileExW(source.get(), target.get(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool renameNoReplace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the destination exists.
  WidePath source(from), target(to);
  return source && target && MoveFileExW(source.get(), target.get(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool removeFile(const char* path) {
  WidePath wide(path);
  return wide && DeleteFileW(wide.get()) != 0;
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
