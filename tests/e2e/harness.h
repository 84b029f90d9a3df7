// Runs the built program in scratch directories and reads back what it left.
#pragma once

#include <string>
#include <vector>

namespace e2e {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> env;  // NAME=value, added to the environment
  bool dropPrivileges = false;   // run as nobody when the tests run as root
  long long fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
  bool pipeInput = false;        // standard input from a pipe the test closes, not /dev/null
};

// A directory of its own for one test, removed afterwards.
class Scratch {
 public:
  explicit Scratch(const std::string& base = "");
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

// A run of the program going on in the background, for tests that act while it stands still.
// One that is neither finished nor ended by itself is killed when this goes.
class Started {
 public:
  Started(const std::vector<std::string>& command, const std::string& cwd,
          const RunOptions& options);
  Started(Started&& other) noexcept;
  ~Started();
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  Started& operator=(Started&&) = delete;

  // Waits until the program stops itself (SIGSTOP) or ends: true if it stopped.
  bool waitUntilStopped();
  // Lets a stopped program go on.
  void resume();
  // Reads the program's output until it holds text (true) or the program ends (false).
  bool waitForOutput(const std::string& text);
  // Closes the program's standard input (with RunOptions::pipeInput).
  void closeInput();
  // Waits for the program's end, collecting its output; a run that takes more than a minute is
  // killed (status 128 + 9).
  RunResult finish();

 private:
  void readOutput(int timeoutMs);
  int pid_ = -1;
  int fds_[2] = {-1, -1};
  int input_ = -1;
  bool ended_ = false;
  RunResult result_;
};

// Starts the program (QUELM_BIN, behind QUELM_RUNNER if set) with args, in directory cwd.
Started startQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options = {});

// Starts a helper that holds the file at path (relative to cwd) as another program on the
// server would, and returns once it does; closing its input lets it go. QUELM_HOLDER (behind
// QUELM_RUNNER) names the helper built for the platform under test.
// As another run holds its copy:
Started holdLikeARun(const std::string& path, const std::string& cwd);
// As a virus scanner reads a file: open for reading, sharing reads only; for holdMs
// milliseconds, or until its input closes if holdMs is 0.
Started holdLikeAScanner(const std::string& path, const std::string& cwd, int holdMs = 0);

// Runs a program of the platform under test (behind QUELM_RUNNER if set) in directory cwd, to
// its end.
RunResult runOnPlatform(const std::vector<std::string>& command, const std::string& cwd,
                        const RunOptions& options = {});

// A path of this machine as the program under test sees it: under wine, drive Z: holds the
// root, with backslashes.
std::string platformPath(const std::string& path);

// Runs the program with args in directory cwd, to its end.
RunResult runQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options = {});

// Whether the program under test is a Windows build (run under wine).
bool windowsBuild();

// Console text as the program prints it: "\n" becomes the platform's line end.
std::string console(const std::string& text);

// The banner that opens every run, in console form.
std::string banner();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

}  // namespace e2e
