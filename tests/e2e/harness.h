// Runs the built program in scratch directories and reads back what it left. Built for the
// platform the program runs on: the tests of a Windows build are Windows programs too, which
// start the program with CreateProcessW, and those of a POSIX build start it with fork and exec.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace e2e {

struct RunResult {
  int status = -1;  // exit status; on POSIX 128 + the signal's number for a signal
  std::string out;
  std::string err;
};

// The status of a run that the fault build ended before one of its calls: SIGKILL's
// on POSIX, and what the Windows fault build gives TerminateProcess.
inline constexpr int kKilledStatus = 128 + 9;

struct RunOptions {
  std::vector<std::string> env;  // NAME=value, added to the environment
  bool dropPrivileges = false;   // POSIX: run the program under test as nobody, as root
  long long fileSizeLimit = -1;  // POSIX: RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
  bool pipeInput = false;        // standard input from a pipe the test closes, not the null device
  long pauseAt = 0;              // the fault build stops the program before this call (0: never)
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
// One that is neither finished nor ended by itself is killed when this goes, with whatever it
// started.
class Started {
 public:
  Started(const std::vector<std::string>& command, const std::string& cwd,
          const RunOptions& options);
  Started(Started&& other) noexcept;
  ~Started();
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  Started& operator=(Started&&) = delete;

  // Waits until the program stands still before the call RunOptions::pauseAt named, or ends:
  // true if it stands.
  bool waitUntilStopped();
  // Lets a program that stands still go on.
  void resume();
  // Reads the program's output until it holds text (true) or the program ends (false).
  bool waitForOutput(const std::string& text);
  // Closes the program's standard input (with RunOptions::pipeInput).
  void closeInput();
  // Waits for the program's end, collecting its output; a run that takes more than a minute is
  // killed (status kKilledStatus).
  RunResult finish();

  struct Process;  // what the platform keeps of a started program

 private:
  std::unique_ptr<Process> process_;
};

// The program under test: QUELM_BIN, or the one built beside the tests.
std::string programPath();

// Starts the program (programPath()) with args, in directory cwd.
Started startQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options = {});

// Starts a helper that holds the file at path (relative to cwd) as another program on the
// server would, and returns once it does; closing its input lets it go. QUELM_HOLDER names the
// helper, by default the one built beside the tests.
// As another run holds its copy:
Started holdLikeARun(const std::string& path, const std::string& cwd);
// As a virus scanner reads a file: open for reading, sharing reads only; for holdMs
// milliseconds, or until its input closes if holdMs is 0.
Started holdLikeAScanner(const std::string& path, const std::string& cwd, int holdMs = 0);

// Runs a program in directory cwd, to its end.
RunResult runOnPlatform(const std::vector<std::string>& command, const std::string& cwd,
                        const RunOptions& options = {});

// Runs the program with args in directory cwd, to its end.
RunResult runQuelm(const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options = {});

// Whether the program under test is a Windows build.
bool windowsBuild();

// A path as a user of the platform writes it: with backslashes on Windows.
std::string platformPath(const std::string& path);

// A folder on another volume than the scratch directories (QUELM_OTHER_VOLUME, or /dev/shm where
// that is another file system, or under wine the host's /dev/shm, on drive Z:), or "" when there
// is none where this user can make a folder; and why a test that needs one is skipped without it.
std::string otherVolume();
inline constexpr const char* kNoOtherVolume =
    "no second volume where this user can make a folder: set QUELM_OTHER_VOLUME to a writable "
    "folder on another volume";
// The platform's own guess at such a folder, when QUELM_OTHER_VOLUME names none.
std::string foundOtherVolume();

// Console text as the program prints it: "\n" becomes the platform's line end.
std::string console(const std::string& text);

// The banner that opens every run, in console form.
std::string banner();

// Files and folders, by paths in UTF-8.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
void makeDirectory(const std::string& path);
// Gives the file at from the name to, replacing what is there; false if the platform refuses.
bool renameOver(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
// Names in a folder.
std::vector<std::string> namesIn(const std::string& directory);

// Who may read and write a file, as one comparable text: the permission bits, owner and group on
// POSIX, the access control list on Windows.
std::string accessOf(const std::string& path);
// Whether rights, as accessOf gives them, let nobody read or write who could not under the
// original ones: on POSIX no permission bit more, and a group or owner other than the original's
// only without its bits, or the tests' own user as owner; on Windows the same list.
bool noWiderThan(const std::string& rights, const std::string& original);

#ifndef _WIN32
// Whether a program run with RunOptions::dropPrivileges can start in cwd: as root, the user
// nobody must reach the folder (the program is copied where it can). Always true for others.
bool nobodyCanRun(const std::string& cwd);
#endif

// Makes a file readable by fewer than a new file is: by its owner and group alone on POSIX (and
// owned by nobody when the tests run as root), by its owner and SYSTEM alone on Windows.
void restrictAccess(const std::string& path);

}  // namespace e2e
