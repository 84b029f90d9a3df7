#include "e2e/harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

Scratch::Scratch(const std::string& base) {
  std::string tmpl = (base.empty() ? envOr("TMPDIR", "/tmp") : base) + "/quelm-e2e-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp: " + tmpl);
  path_ = tmpl;
  // Reachable by the unprivileged user some tests run the program as.
  ::chmod(path_.c_str(), 0777);
}

Scratch::~Scratch() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::all, ignored);
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::all, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
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
  std::string bin = envOr("QUELM_BIN", QUELM_DEFAULT_BIN);
  return bin.size() > 4 && bin.compare(bin.size() - 4, 4, ".exe") == 0;
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

Started::Started(const std::vector<std::string>& command, const std::string& cwd,
                 const RunOptions& options) {
  // Pipes rather than files: a file-size limit set for the program must not cut its reports.
  int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  if (options.pipeInput && ::pipe(inPipe) != 0) throw std::runtime_error("pipe failed");

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    int input = options.pipeInput ? inPipe[0] : ::open("/dev/null", O_RDONLY);
    if (input >= 0) ::dup2(input, 0);
    if (options.pipeInput) ::close(inPipe[1]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    for (const std::string& assignment : options.env) ::putenv(::strdup(assignment.c_str()));
    ::setenv("WINEDEBUG", "-all", 0);
    // Wine takes the arguments and file names in the locale's character set: UTF-8, so that
    // names in any script reach the Windows build whole.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    if (options.fileSizeLimit >= 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.dropPrivileges && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
        ::_exit(126);
      }
    }
    std::vector<std::string> words = command;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (options.pipeInput) {
    ::close(inPipe[0]);
    input_ = inPipe[1];
  }
  pid_ = pid;
  fds_[0] = outPipe[0];
  fds_[1] = errPipe[0];
}

Started::Started(Started&& other) noexcept
    : pid_(other.pid_),
      input_(other.input_),
      ended_(other.ended_),
      result_(std::move(other.result_)) {
  fds_[0] = other.fds_[0];
  fds_[1] = other.fds_[1];
  other.pid_ = -1;
  other.fds_[0] = other.fds_[1] = other.input_ = -1;
}

Started::~Started() {
  for (int fd : {fds_[0], fds_[1], input_}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

// Reads what the program has written so far, waiting up to timeoutMs for something to come.
void Started::readOutput(int timeoutMs) {
  struct pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (::poll(fds, 2, timeoutMs) < 0) {
    if (errno == EINTR) return;
    throw std::runtime_error("poll failed");
  }
  std::string* sinks[2] = {&result_.out, &result_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[65536];
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fds_[i]);
      fds_[i] = -1;
    }
  }
}

bool Started::waitUntilStopped() {
  for (int waited = 0; !ended_; ++waited) {
    readOutput(5);
    int wstatus = 0;
    pid_t r = ::waitpid(pid_, &wstatus, WNOHANG | WUNTRACED);
    if (r == pid_) {
      if (WIFSTOPPED(wstatus)) return true;
      ended_ = true;
      result_.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    if (waited > 12000) throw std::runtime_error("the program neither stopped nor ended");
  }
  return false;
}

void Started::resume() {
  ::kill(pid_, SIGCONT);
}

bool Started::waitForOutput(const std::string& text) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  while (result_.out.find(text) == std::string::npos) {
    if (fds_[0] < 0 || Clock::now() > deadline) return false;
    readOutput(100);
  }
  return true;
}

void Started::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

RunResult Started::finish() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  while (fds_[0] >= 0 || fds_[1] >= 0) {
    readOutput(100);
    if (Clock::now() > deadline && !ended_) {
      ::kill(pid_, SIGKILL);
      deadline = Clock::time_point::max();
    }
  }
  if (!ended_) {
    int wstatus = 0;
    while (::waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    result_.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  return result_;
}

Started startQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
  std::vector<std::string> command = splitWords(envOr("QUELM_RUNNER", ""));
  command.push_back(envOr("QUELM_BIN", QUELM_DEFAULT_BIN));
  command.insert(command.end(), args.begin(), args.end());
  return Started(command, cwd, options);
}

namespace {

Started startHolder(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> command = splitWords(envOr("QUELM_RUNNER", ""));
  command.push_back(envOr("QUELM_HOLDER", QUELM_DEFAULT_HOLDER));
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

RunResult runOnPlatform(const std::vector<std::string>& command, const std::string& cwd,
                        const RunOptions& options) {
  std::vector<std::string> full = splitWords(envOr("QUELM_RUNNER", ""));
  full.insert(full.end(), command.begin(), command.end());
  return Started(full, cwd, options).finish();
}

std::string platformPath(const std::string& path) {
  if (!windowsBuild()) return path;
  std::string windows = "Z:" + path;
  for (char& c : windows) c = c == '/' ? '\\' : c;
  return windows;
}

RunResult runQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options) {
  return startQuelm(args, cwd, options).finish();
}

}  // namespace e2e
