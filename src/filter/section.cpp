#include "filter/section.h"

#include "roster/gm_list.h"

SectionState classifySection(std::string_view headerLine) {
  if (headerLine.size() > kMaxHeaderLength) return SectionState::Broken;
  std::string_view rest = headerLine.substr(headerLine.empty() ? 0 : 1);
  // The name must close before the line ends, and before any blank or tab.
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == ']')
      return isOnGmList(rest.substr(0, i)) ? SectionState::Staff : SectionState::Ordinary;
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\0') break;
  }
  return SectionState::Broken;
}
