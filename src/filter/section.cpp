#include "filter/section.h"

#include <algorithm>
#include <cstring>

#include "text/byte_set.h"

namespace {

// The bytes that end the search for a header's account name: its "]", and those that make the
// header broken when they come first. Every header of the account file passes through here: one
// look-up a byte beats six comparisons.
constexpr text::ByteSet kHeaderNameEnds{']', '\r', '\n', ' ', '\t', '\0'};

}  // namespace

bool headerAccountName(std::string_view headerLine, std::string_view& name) {
  if (headerLine.size() > kMaxHeaderLength) return false;
  std::string_view rest = headerLine.substr(headerLine.empty() ? 0 : 1);
  // The name must close before the line ends, and before any blank or tab.
  std::size_t i = 0;
  while (i < rest.size() && !kHeaderNameEnds.has(rest[i])) ++i;
  if (i == rest.size() || rest[i] != ']') return false;
  name = rest.substr(0, i);
  return true;
}

bool CurrentSection::enter(std::string_view headerLine) {
  header_ = headerLine;
  std::string_view name;
  bool wellFormed = headerAccountName(headerLine, name);
  known_ = !wellFormed;
  state_ = SectionState::Broken;
  nameSize_ = name.size();
  return wellFormed;
}

void CurrentSection::keepHeader() {
  if (header_.data() == copy_) return;
  std::size_t keep = std::min(header_.size(), sizeof copy_);
  if (keep > 0) std::memcpy(copy_, header_.data(), keep);
  header_ = {copy_, keep};
}

SectionState classifySection(std::string_view headerLine, const GmList& gmList) {
  CurrentSection section;
  section.enter(headerLine);
  return section.state(gmList);
}
