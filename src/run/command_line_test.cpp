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

TEST(CommandLine, ArgumentsAndTheirMessages) {
  const std::string p200(200, 'p');
  const std::string p201(201, 'p');
  const CommandLineCase cases[] = {
      {{}, false, kUsage},
      {{"accounts.scp"}, false, kUsage},
      {{"accounts.scp", "gm.txt"}, true, ""},
      {{"accounts.scp", "gm.txt", "world.scp", "more"}, true, ""},
      {{p200, p200}, true, ""},
      {{p201, "gm.txt"}, false, "Invalid arguments.\n"},
      {{"accounts.scp", p201}, false, "Invalid arguments.\n"},
      {{"", ""}, true, ""},
  };
  for (const CommandLineCase& c : cases) {
    std::vector<const char*> argv{"quelm"};
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    ::testing::internal::CaptureStdout();
    std::optional<CommandLine> parsed =
        parseCommandLine(static_cast<int>(argv.size()), argv.data());
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
