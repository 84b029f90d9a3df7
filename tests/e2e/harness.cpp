// What the harness does alike on every platform; starting processes, reading their pipes and
// ending them, and access rights are in harness_posix.cpp and harness_win32.cpp.
#include "e2e/harness.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "e2e/harness_platform.h"

namespace e2e {

namespace fs = std::filesystem;

namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// A path of UTF-8 bytes, as the standard library takes it on every platform.
fs::path pathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8Of(const fs::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(pathOf(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(pathOf(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return fs::symlink_status(pathOf(path), ignored).type() != fs::file_type::not_found;
}

void makeDirectory(const std::string& path) {
  std::error_code error;
  if (!fs::create_directory(pathOf(path), error)) {
    throw std::runtime_error("cannot make the folder " + path + ": " + error.message());
  }
  // Reachable by the unprivileged user some tests run the program as.
  fs::permissions(pathOf(path), fs::perms::all, error);
}

bool renameOver(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::rename(pathOf(from), pathOf(to), error);
  return !error;
}

bool removeFile(const std::string& path) {
  std::error_code error;
  return fs::remove(pathOf(path), error);
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(pathOf(directory))) {
    names.push_back(utf8Of(entry.path().filename()));
  }
  return names;
}

Scratch::Scratch(const std::string& base) {
  static std::atomic<unsigned> made{0};
  static const unsigned long long seed = std::random_device{}();
  fs::path parent = base.empty() ? fs::temp_directory_path() : pathOf(base);
  for (int attempt = 0;; ++attempt) {
    std::string name =
        "quelm-e2e-" + std::to_string(seed % 1000000007) + "-" + std::to_string(made++);
    std::error_code error;
    if (fs::create_directory(parent / name, error)) {
      path_ = utf8Of(parent / name);
      break;
    }
    if (error || attempt > 100) {
      throw std::runtime_error("cannot make a scratch folder in " + utf8Of(parent));
    }
  }
  std::error_code ignored;
  fs::permissions(pathOf(path_), fs::perms::all, ignored);
}

Scratch::~Scratch() {
  std::error_code ignored;
  // On Windows in the form that takes any length, for folders deeper than MAX_PATH.
  fs::path root = pathOf(windowsBuild() ? "\\\\?\\" + platformPath(path_) : path_);
  // Folders a test made unwritable, and read-only files on Windows, are made removable first.
  fs::permissions(root, fs::perms::all, ignored);
  for (fs::recursive_directory_iterator it(root, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::all, ignored);
  }
  fs::remove_all(root, ignored);
}

void Scratch::write(const std::string& name, const std::string& bytes) const {
  writeFile(*this / name, bytes);
}

std::string Scratch::read(const std::string& name) const {
  return readFile(*this / name);
}

bool Scratch::exists(const std::string& name) const {
  return fileExists(*this / name);
}

bool windowsBuild() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

std::string platformPath(const std::string& path) {
  std::string result = path;
  if (windowsBuild()) {
    for (char& c : result) c = c == '/' ? '\\' : c;
  }
  return result;
}

std::string console(const std::string& text) {
  if (!windowsBuild()) return text;
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

std::string banner() {
  return console(">>> Quelm <<< Hacked account remover\n\n");
}

std::string otherVolume() {
  static const std::string folder = [] {
    std::string chosen = envOr("QUELM_OTHER_VOLUME", "");
    if (chosen.empty()) chosen = foundOtherVolume();
    // A folder this user cannot make folders in, as a container's root-owned /dev/shm, is none:
    // the tests that need one skip, naming QUELM_OTHER_VOLUME, rather than fail.
    try {
      if (!chosen.empty()) Scratch probe(chosen);
    } catch (const std::exception&) {
      chosen.clear();
    }
    return chosen;
  }();
  return folder;
}

std::string programPath() {
  return envOr("QUELM_BIN", QUELM_DEFAULT_BIN);
}

Started startQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
  std::vector<std::string> command = {programPath()};
  command.insert(command.end(), args.begin(), args.end());
  return Started(command, cwd, options);
}

namespace {

Started startHolder(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> command = {envOr("QUELM_HOLDER", QUELM_DEFAULT_HOLDER)};
  command.insert(command.end(), args.begin(), args.end());
  RunOptions options;
  options.pipeInput = true;
  Started holder(command, cwd, options);
  if (!holder.waitForOutput("held")) throw std::runtime_error("the helper did not hold " + args[1]);
  return holder;
}

}  // namespace

Started holdLikeARun(const std::string& path, const std::string& cwd) {
  return startHolder({"copy", path}, cwd);
}

Started holdLikeAScanner(const std::string& path, const std::string& cwd, int holdMs) {
  std::vector<std::string> args = {"read", path};
  if (holdMs > 0) args.push_back(std::to_string(holdMs));
  return startHolder(args, cwd);
}

namespace {

using Clock = std::chrono::steady_clock;
// How long a program may take before the test gives up on it.
constexpr auto kPatience = std::chrono::seconds(60);

}  // namespace

bool Started::waitUntilStopped() {
  Process& p = *process_;
  Clock::time_point deadline = Clock::now() + kPatience;
  while (!hasEnded(p)) {
    if (standsStill(p, 5)) return true;
    if (Clock::now() > deadline) throw std::runtime_error("the program neither stopped nor ended");
  }
  return false;
}

bool Started::waitForOutput(const std::string& text) {
  Process& p = *process_;
  Clock::time_point deadline = Clock::now() + kPatience;
  while (resultOf(p).out.find(text) == std::string::npos) {
    if (!isOpen(p, 0) || Clock::now() > deadline) return false;
    readOutput(p, 100);
  }
  return true;
}

RunResult Started::finish() {
  Process& p = *process_;
  Clock::time_point deadline = Clock::now() + kPatience;
  while (isOpen(p, 0) || isOpen(p, 1)) {
    readOutput(p, 100);
    if (Clock::now() > deadline) {
      kill(p);
      deadline = Clock::time_point::max();
    }
  }
  awaitEnd(p);
  return resultOf(p);
}

RunResult runOnPlatform(const std::vector<std::string>& command, const std::string& cwd,
                        const RunOptions& options) {
  return Started(command, cwd, options).finish();
}

RunResult runQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
  return startQuelm(args, cwd, options).finish();
}

}  // namespace e2e
