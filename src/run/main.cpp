// quelm: removes privileges from every account of a game server's account file that is not on
// the list of its GMs and Counselors.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "filter/replace.h"
#include "filter/scan.h"
#include "roster/gm_list.h"
#include "run/command_line.h"
#include "sys/console.h"
#include "sys/exit_status.h"
#include "sys/platform.h"
#include "sys/report.h"

namespace {

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
  if (Outcome replaced = replaceAccountFile(args->accountFile.c_str(), copy); !replaced.ok()) {
    return failed(replaced);
  }
  return copy.violations > 0 ? kExitViolations : kExitClean;
}

template <typename Char>
int runToTheEnd(int argc, Char** argv) {
  sys::prepareConsole();
  try {
    return run(sys::commandLineArguments(argc, argv));
  } catch (const std::bad_alloc&) {
    return failed(Outcome::systemError("malloc", sys::outOfMemoryError()));
  } catch (const std::exception& e) {
    return failed(Outcome::failure("quelm", e.what()));
  } catch (...) {
    return failed(Outcome::failure("quelm", "unexpected failure"));
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
