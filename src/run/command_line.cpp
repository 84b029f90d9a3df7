#include "run/command_line.h"

#include <cstdio>
#include <cstring>

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

std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv) {
  if (argc < 3) {
    printUsage();
    return std::nullopt;
  }
  if (std::strlen(argv[1]) > kMaxPathLength || std::strlen(argv[2]) > kMaxPathLength) {
    std::fputs("Invalid arguments.\n", stdout);
    return std::nullopt;
  }
  return CommandLine{argv[1], argv[2]};
}
