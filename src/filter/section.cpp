#include "filter/section.h"

#include "text/byte_set.h"

namespace {

// The bytes that end the search for the name: its "]", and those that make the header broken
// when they come first. Every header of the account file passes through here: one look-up a
// byte beats six comparisons.
constexpr text::ByteSet kNameEnds{']', '\r', '\n', ' ', '\t', '\0'};

}  // namespace

bool headerAccountName(std::string_view headerLine, std::string_view& name) {
  if (headerLine.size() > kMaxHeaderLength) return false;
  std::string_view rest = headerLine.substr(headerLine.empty() ? 0 : 1);
  // The name must close before the line ends, and before any blank or tab.
  std::size_t i = 0;
  while (i < rest.size() && !kNameEnds.has(rest[i])) ++i;
  if (i == rest.size() || rest[i] != ']') return false;
  name = rest.substr(0, i);
  return true;
}

SectionState classifySection(std::string_view headerLine, const GmList& gmList) {
  std::string_view name;
  if (!headerAccountName(headerLine, name)) return SectionState::Broken;
  return gmList.contains(name) ? SectionState::Staff : SectionState::Ordinary;
}
