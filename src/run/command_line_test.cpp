#include "run/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "usage_text.h"

namespace {

const char* const kUsage = kUsageText;

struct CommandLineCase {
  std::vector<std::string> args;  // after the program name
  bool accepted;
  std::string printed;
};

// Characters, where Windows counts them, take two bytes each here (Cyrillic "д"), and four for
// two UTF-16 units beyond U+FFFF.
std::string repeated(const char* character, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += character;
  return text;
}

#ifdef _WIN32
constexpr bool kCountsCharacters = true;
#else
constexpr bool kCountsCharacters = false;
#endif

TEST(CommandLine, ArgumentsAndTheirMessages) {
  const std::string p200(200, 'p');
  const std::string p201(201, 'p');
  const std::string refusedHere = kCountsCharacters ? "" : "Invalid arguments.\n";
  const CommandLineCase cases[] = {
      {{}, false, kUsage},
      {{"accounts.scp"}, false, kUsage},
      {{"accounts.scp", "gm.txt"}, true, ""},
      {{"accounts.scp", "gm.txt", "world.scp", "more"}, true, ""},
      {{p200, p200}, true, ""},
      {{p201, "gm.txt"}, false, "Invalid arguments.\n"},
      {{"accounts.scp", p201}, false, "Invalid arguments.\n"},
      {{"", ""}, true, ""},
      {{repeated("\xD0\xB4", 200), "gm.txt"}, kCountsCharacters, refusedHere},
      {{"accounts.scp", repeated("\xD0\xB4", 201)}, false, "Invalid arguments.\n"},
      {{repeated("\xF0\x9F\x98\x80", 100), "gm.txt"}, kCountsCharacters, refusedHere},
      {{repeated("\xF0\x9F\x98\x80", 100) + "x", "gm.txt"}, false, "Invalid arguments.\n"},
  };
  for (const CommandLineCase& c : cases) {
    std::vector<std::string> args{"quelm"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ::testing::internal::CaptureStdout();
    std::optional<CommandLine> parsed = parseCommandLine(args);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    ASSERT_EQ(parsed.has_value(), c.accepted) << c.args.size() << " arguments";
    if (parsed) {
      EXPECT_EQ(parsed->accountFile, c.args[0]);
      EXPECT_EQ(parsed->gmList, c.args[1]);
    }
  }
}

}  // namespace
