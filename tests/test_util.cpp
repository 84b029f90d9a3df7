#include "test_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace testing_util {

#ifdef _WIN32
const sys::ErrorCode kReadError = ERROR_READ_FAULT;
const sys::ErrorCode kDiskFull = ERROR_DISK_FULL;
#else
const sys::ErrorCode kReadError = EIO;
const sys::ErrorCode kDiskFull = ENOSPC;
#endif

namespace {

// Leaves code where sys::lastError() will find it.
void setPlatformError(sys::ErrorCode code) {
#ifdef _WIN32
  SetLastError(static_cast<DWORD>(code));
#else
  errno = code;
#endif
}

}  // namespace

std::int64_t StringSource::read(void* buffer, std::size_t size) {
  if (pos_ >= failAt_) {
    setPlatformError(kReadError);
    return -1;
  }
  std::size_t n = std::min({size, chunk_, data_.size() - pos_, failAt_ - pos_});
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return static_cast<std::int64_t>(n);
}

bool StringSink::writeAll(const void* bytes, std::size_t size) {
  if (limit_ != std::string::npos && data.size() + size > limit_) {
    setPlatformError(kDiskFull);
    return false;
  }
  data.append(static_cast<const char*>(bytes), size);
  ++writes;
  return true;
}

std::string decodedText(const text::Piece& piece) {
  std::string text(piece.data, piece.size);
  if (piece.raw) text.erase(text.size() - 2, 1);  // the CR of its CR LF
  return text;
}

std::vector<ReadPiece> readPieces(const std::string& input, std::size_t chunk, std::size_t block) {
  StringSource source(input, chunk);
  text::LineReader reader(source, block);
  std::vector<ReadPiece> pieces;
  text::Piece piece;
  while (nextPiece(reader, piece)) pieces.push_back({decodedText(piece), piece.startsLine});
  return pieces;
}

bool nextPiece(text::LineReader& reader, text::Piece& piece) {
  for (;;) {
    text::LineReader::Status status = reader.next(piece);
    if (status != text::LineReader::Status::WindowUsedUp) {
      return status == text::LineReader::Status::Piece;
    }
    if (!reader.moveWindow()) return false;
  }
}

// std::tmpfile() now and then fails under wine when test processes run side by side; a file of
// the test's own in the temporary directory does the same job.
CapturedFile::CapturedFile() : file_(std::tmpfile()) {
  if (file_ != nullptr) return;
  static int serial = 0;
  std::error_code error;
  std::filesystem::path dir = std::filesystem::temp_directory_path(error);
  if (error) dir = ".";
  for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = (dir / ("quelm-capture-" + std::to_string(stamp) + "-" + std::to_string(serial++)))
                .string();
    file_ = std::fopen(path_.c_str(), "w+b");
  }
  if (file_ == nullptr) {
    std::fprintf(stderr, "no temporary file for captured output: %s\n", std::strerror(errno));
    std::abort();
  }
}

CapturedFile::~CapturedFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!path_.empty()) std::remove(path_.c_str());
}

std::string CapturedFile::text() const {
  std::fflush(file_);
  std::string result;
  std::rewind(file_);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) result.append(buffer, n);
  return result;
}

GmList gmListOf(const std::string& text) {
  GmList list;
  StringSource source(text);
  Outcome read = readGmList(source, list);
  if (!read.ok()) {
    read.report();
    std::abort();
  }
  return list;
}

}  // namespace testing_util
