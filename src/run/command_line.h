// The command line: QUELM <AccountFile> <GmList> [<WorldFile>]
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The longest path accepted for either file, as sys::pathLength counts it.
inline constexpr std::size_t kMaxPathLength = 200;

struct CommandLine {
  std::string accountFile;
  std::string gmList;
};

// Prints the banner that opens every run.
void printBanner();

// Reads the two paths from the arguments, the program's name first. Anything after them (the
// world file the server also passes) is accepted and ignored. Prints the usage text or "Invalid
// arguments." and gives nothing when the command line is unusable.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args);
