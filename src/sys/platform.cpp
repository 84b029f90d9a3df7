// What the platform layer's two implementations share, written once.
#include "sys/platform.h"

namespace sys {

bool File::adopt(std::intptr_t handle, const char* path) {
  if (handle == kClosed) return false;
  handle_ = handle;
  path_ = path;
  return true;
}

bool File::isSameFileAs(const char* path) const {
  FileIdentity mine, other;
  return identity(mine) && identityOf(path, other) && mine.isSameFile(other);
}

}  // namespace sys
