#include "filter/section.h"

#include "roster/gm_list.h"

SectionState classifySection(std::string_view headerLine) {
  if (headerLine.size() > kMaxHeaderLength) return SectionState::Broken;
  std::string_view rest = headerLine.substr(headerLine.empty() ? 0 : 1);
  // The name must close before the line ends, and before any blank or tab.
  std::size_t cut = rest.find_first_of(std::string_view("\r\n \t\0", 5));
  if (cut != std::string_view::npos) rest = rest.substr(0, cut);
  std::size_t close = rest.find(']');
  if (close == std::string_view::npos) return SectionState::Broken;
  return isOnGmList(rest.substr(0, close)) ? SectionState::Staff : SectionState::Ordinary;
}
