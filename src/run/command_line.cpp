#include "run/command_line.h"

#include <cstdio>

#include "sys/platform.h"

void printBanner() {
  std::fputs(">>> Quelm <<< Hacked account remover\n\n", stdout);
}

namespace {

void printUsage() {
  std::fputs("Usage: QUELM <AccountFile> <GmList> [<WorldFile>]\n\n", stdout);
  std::fputs("  AccountFile is Sphere file with accounts\n", stdout);
  std::fputs("              probably c:\\sphere\\save\\sphereaccu.scp\n", stdout);
  std::fputs("  GmList      is text file with list of valid GM/Counselors accounts.\n", stdout);
  std::fputs("  Return Values: 0 = OK, 1 = Violation Found, other = any error.\n\n", stdout);
}

}  // namespace

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args) {
  if (args.size() < 3) {
    printUsage();
    return std::nullopt;
  }
  if (sys::pathLength(args[1]) > kMaxPathLength || sys::pathLength(args[2]) > kMaxPathLength) {
    std::fputs("Invalid arguments.\n", stdout);
    return std::nullopt;
  }
  return CommandLine{args[1], args[2]};
}
