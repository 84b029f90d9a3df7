// The harness on POSIX: programs started with fork and exec, their output read through pipes,
// and stopped by the fault build with SIGSTOP.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/harness.h"
#include "e2e/harness_platform.h"

namespace e2e {

namespace {

constexpr uid_t kNobody = 65534;

// The program under test, where the user nobody can run it: a checkout in a private folder
// (/root, a home of mode 0700) is out of its reach, so the tests that run it as nobody run a copy
// of it in a scratch folder of their own, made once for all of them.
std::string reachableByNobody() {
  static Scratch place;
  static const std::string copy = [] {
    std::string path = place / "quelm";
    std::filesystem::copy_file(programPath(), path);
    ::chmod(path.c_str(), 0755);
    return path;
  }();
  return copy;
}

}  // namespace

struct Started::Process {
  pid_t pid = -1;
  int fds[2] = {-1, -1};  // standard output and error
  int input = -1;
  bool ended = false;
  RunResult result;

  void recordEnd(int wstatus) {
    ended = true;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
};

Started::Started(const std::vector<std::string>& command, const std::string& cwd,
                 const RunOptions& options)
    : process_(std::make_unique<Process>()) {
  std::vector<std::string> words = command;
  if (options.dropPrivileges && ::geteuid() == 0) words[0] = reachableByNobody();
  std::vector<std::string> env = options.env;
  if (options.pauseAt > 0) env.push_back("QUELM_FAULT_PAUSE_AT=" + std::to_string(options.pauseAt));

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
    for (const std::string& assignment : env) ::putenv(::strdup(assignment.c_str()));
    if (options.fileSizeLimit >= 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimit);
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.dropPrivileges && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        ::_exit(126);
      }
    }
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
    process_->input = inPipe[1];
  }
  process_->pid = pid;
  process_->fds[0] = outPipe[0];
  process_->fds[1] = errPipe[0];
}

Started::Started(Started&& other) noexcept = default;

Started::~Started() {
  if (!process_) return;
  Process& p = *process_;
  for (int fd : {p.fds[0], p.fds[1], p.input}) {
    if (fd >= 0) ::close(fd);
  }
  if (p.pid > 0 && !p.ended) {
    kill(p);
    while (::waitpid(p.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

void readOutput(Started::Process& p, int timeoutMs) {
  struct pollfd polled[2] = {{p.fds[0], POLLIN, 0}, {p.fds[1], POLLIN, 0}};
  if (::poll(polled, 2, timeoutMs) < 0) {
    if (errno == EINTR) return;
    throw std::runtime_error("poll failed");
  }
  std::string* sinks[2] = {&p.result.out, &p.result.err};
  for (int i = 0; i < 2; ++i) {
    if (polled[i].fd < 0 || polled[i].revents == 0) continue;
    char buffer[65536];
    ssize_t n = ::read(polled[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(p.fds[i]);
      p.fds[i] = -1;
    }
  }
}

bool isOpen(const Started::Process& p, int stream) {
  return p.fds[stream] >= 0;
}

RunResult& resultOf(Started::Process& p) {
  return p.result;
}

bool hasEnded(const Started::Process& p) {
  return p.ended;
}

bool standsStill(Started::Process& p, int timeoutMs) {
  readOutput(p, timeoutMs);
  int wstatus = 0;
  if (::waitpid(p.pid, &wstatus, WNOHANG | WUNTRACED) != p.pid) return false;
  if (WIFSTOPPED(wstatus)) return true;
  p.recordEnd(wstatus);
  return false;
}

void kill(Started::Process& p) {
  if (!p.ended) ::kill(p.pid, SIGKILL);
}

void awaitEnd(Started::Process& p) {
  if (p.ended) return;
  int wstatus = 0;
  while (::waitpid(p.pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  p.recordEnd(wstatus);
}

void Started::resume() {
  ::kill(process_->pid, SIGCONT);
}

void Started::closeInput() {
  if (process_->input >= 0) ::close(process_->input);
  process_->input = -1;
}

std::string foundOtherVolume() {
  struct stat shm, scratch;
  Scratch probe;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(probe.path().c_str(), &scratch) != 0 ||
      shm.st_dev == scratch.st_dev) {
    return "";
  }
  return "/dev/shm";
}

bool nobodyCanRun(const std::string& cwd) {
  if (::geteuid() != 0) return true;
  std::string program = reachableByNobody();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    bool can = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
               ::access(program.c_str(), X_OK) == 0 && ::chdir(cwd.c_str()) == 0;
    ::_exit(can ? 0 : 1);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

std::string accessOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
  char text[64];
  std::snprintf(text, sizeof text, "%04o %u:%u", static_cast<unsigned>(st.st_mode & 07777),
                static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
  return text;
}

bool noWiderThan(const std::string& rights, const std::string& original) {
  unsigned mode, uid, gid, originalMode, originalUid, originalGid;
  if (std::sscanf(rights.c_str(), "%o %u:%u", &mode, &uid, &gid) != 3 ||
      std::sscanf(original.c_str(), "%o %u:%u", &originalMode, &originalUid, &originalGid) != 3) {
    return false;
  }
  bool groupKept = gid == originalGid || (mode & 070) == 0;
  bool ownerKept = uid == originalUid || uid == ::geteuid();
  return (mode & ~originalMode) == 0 && groupKept && ownerKept;
}

void restrictAccess(const std::string& path) {
  if (::geteuid() == 0 && ::chown(path.c_str(), kNobody, kNobody) != 0) {
    throw std::runtime_error("cannot give " + path + " to nobody");
  }
  if (::chmod(path.c_str(), 0640) != 0) throw std::runtime_error("cannot chmod " + path);
}

}  // namespace e2e
