#include "filter/section.h"

#include <string>

#include <gtest/gtest.h>

#include "roster/gm_list.h"
#include "test_util.h"

namespace {

struct SectionCase {
  std::string header;
  SectionState expected;
};

TEST(Section, Classification) {
  GmList gmList = testing_util::gmListOf("Admin\nmoira\n" + std::string(31, 'g') + "\n");
  const std::string g31(31, 'g');
  const SectionCase cases[] = {
      {"[Admin]", SectionState::Staff},
      {"[ADMIN]", SectionState::Staff},
      {"[moira]", SectionState::Staff},
      {"[tobin]", SectionState::Ordinary},
      {"[]", SectionState::Ordinary},
      {"[Admin] trailing words", SectionState::Staff},
      {"[Admin]trailing", SectionState::Staff},
      {"[Admin]x]", SectionState::Staff},
      {"[Adm]in]", SectionState::Ordinary},
      {"[Ad min]", SectionState::Broken},
      {"[Ad\tmin]", SectionState::Broken},
      {"[ Admin]", SectionState::Broken},
      {"[Admin", SectionState::Broken},
      {"[", SectionState::Broken},
      // The length limit: 38 characters pass, 39 are broken whatever they hold.
      {"[" + g31 + "]     ", SectionState::Staff},
      {"[" + g31 + "]      ", SectionState::Broken},
      {"[" + std::string(36, 'q') + "]", SectionState::Ordinary},
      {"[" + std::string(37, 'q') + "]", SectionState::Broken},
      {"[" + g31 + "g]", SectionState::Ordinary},
  };
  for (const SectionCase& c : cases) {
    EXPECT_EQ(classifySection(c.header, gmList), c.expected) << '"' << c.header << '"';
  }
}

}  // namespace
