// quelm: removes privileges from every account of a game server's account file that is not on
// the list of its GMs and Counselors.
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "filter/replace.h"
#include "filter/scan.h"
#include "roster/gm_list.h"
#include "run/command_line.h"
#include "sys/console.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

// The process's exit statuses, for the scripts that run the tool.
enum ExitStatus : int {
  kExitClean = 0,       // no violation found
  kExitViolations = 1,  // violations found and removed
  kExitError = 2,       // anything went wrong; the account file holds its old contents
};

ExitStatus failed(const Outcome& outcome) {
  outcome.report();
  return kExitError;
}

ExitStatus run(const std::vector<std::string>& arguments) {
  printBanner();
  std::optional<CommandLine> args = parseCommandLine(arguments);
  if (!args) return kExitError;
  GmList gmList;
  if (Outcome loaded = loadGmList(args->gmList.c_str(), gmList); !loaded.ok()) {
    return failed(loaded);
  }
  FilteredCopy copy;  // held by this run from the scan to its end
  if (Outcome scanned = scanAccountFile(args->accountFile.c_str(), gmList, copy); !scanned.ok()) {
    return failed(scanned);
  }
  // A clean run's copy is complete in the working directory, and nothing is to be replaced.
  if (copy.violations == 0) return kExitClean;
  if (Outcome replaced = replaceAccountFile(args->accountFile.c_str(), copy); !replaced.ok()) {
    return failed(replaced);
  }
  std::printf("Done, %" PRId64 " violations found.\n", copy.violations);
  return kExitViolations;
}

// The label of a failure that no step reports itself.
constexpr const char* kProgram = "quelm";

template <typename Char>
int runToTheEnd(int argc, Char** argv) {
  sys::prepareConsole();
  try {
    return run(sys::commandLineArguments(argc, argv));
  } catch (const std::bad_alloc&) {
    return failed(Outcome::outOfMemory());
  } catch (const std::exception& e) {
    return failed(Outcome::failure(kProgram, e.what()));
  } catch (...) {
    return failed(Outcome::failure(kProgram, "unexpected failure"));
  }
}

}  // namespace

#ifdef _WIN32
// Windows hands the command line over in UTF-16, which holds any path it accepts.
int wmain(int argc, wchar_t** argv) {
  return runToTheEnd(argc, argv);
}
#else
int main(int argc, char** argv) {
  return runToTheEnd(argc, argv);
}
#endif
