// The command line: QUELM <AccountFile> <GmList> [<WorldFile>]
#pragma once

#include <cstddef>
#include <optional>

// Exit statuses, for the scripts that run the tool.
enum ExitStatus : int {
  kExitClean = 0,       // no violation found
  kExitViolations = 1,  // violations found and removed
  kExitError = 2,       // anything went wrong; the account file holds its old contents
};

// The longest path accepted for either file.
inline constexpr std::size_t kMaxPathLength = 200;

struct CommandLine {
  const char* accountFile;
  const char* gmList;
};

// Prints the banner that opens every run.
void printBanner();

// Reads the two paths from the argument vector. Anything after them (the world file the server
// also passes) is accepted and ignored. Prints the usage text or "Invalid arguments." and gives
// nothing when the command line is unusable.
std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv);
