// quelm: removes privileges from every account of a game server's account file that is not on
// the list of its GMs and Counselors.
#include <cstdint>
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

int run(const std::vector<std::string>& arguments) {
  printBanner();
  std::optional<CommandLine> args = parseCommandLine(arguments);
  if (!args) return kExitError;
  if (loadGmList(args->gmList.c_str()) != 0) return kExitError;
  FilteredCopy copy;  // held by this run from the scan to its end
  std::int64_t violations = scanAccountFile(args->accountFile.c_str(), copy);
  if (violations < 0) return kExitError;
  return replaceAccountFile(args->accountFile.c_str(), violations, copy);
}

template <typename Char>
int runToTheEnd(int argc, Char** argv) {
  sys::prepareConsole();
  try {
    return run(sys::commandLineArguments(argc, argv));
  } catch (const std::bad_alloc&) {
    sys::reportSystemError("malloc", sys::outOfMemoryError());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelm: %s\n", e.what());
  } catch (...) {
    std::fputs("quelm: unexpected failure\n", stderr);
  }
  return kExitError;
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
