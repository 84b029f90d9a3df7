#include "filter/section.h"

#include "roster/gm_list.h"

bool headerAccountName(std::string_view headerLine, std::string_view& name) {
  if (headerLine.size() > kMaxHeaderLength) return false;
  std::string_view rest = headerLine.substr(headerLine.empty() ? 0 : 1);
  // The name must close before the line ends, and before any blank or tab.
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == ']') {
      name = rest.substr(0, i);
      return true;
    }
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\0') break;
  }
  return false;
}

SectionState classifySection(std::string_view headerLine) {
  std::string_view name;
  if (!headerAccountName(headerLine, name)) return SectionState::Broken;
  return isOnGmList(name) ? SectionState::Staff : SectionState::Ordinary;
}
