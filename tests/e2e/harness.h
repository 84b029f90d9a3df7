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

// Runs the program (QUELM_BIN, behind QUELM_RUNNER if set) with args, in directory cwd.
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
