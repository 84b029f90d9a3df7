// quelm: removes privileges from every account of a game server's account file that is not on
// the list of its GMs and Counselors.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

#include "filter/replace.h"
#include "filter/scan.h"
#include "roster/gm_list.h"
#include "run/command_line.h"
#include "sys/console.h"
#include "sys/report.h"

namespace {

int run(int argc, const char* const* argv) {
  printBanner();
  std::optional<CommandLine> args = parseCommandLine(argc, argv);
  if (!args) return kExitError;
  if (loadGmList(args->gmList) != 0) return kExitError;
  FilteredCopy copy;  // held by this run from the scan to its end
  std::int64_t violations = scanAccountFile(args->accountFile, copy);
  if (violations < 0) return kExitError;
  return replaceAccountFile(args->accountFile, violations, copy);
}

}  // namespace

int main(int argc, char** argv) {
  sys::prepareConsole();
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    sys::reportSystemError("malloc", sys::outOfMemoryError());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelm: %s\n", e.what());
  } catch (...) {
    std::fputs("quelm: unexpected failure\n", stderr);
  }
  return kExitError;
}
