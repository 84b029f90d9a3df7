// What kind of account section a header line opens.
#pragma once

#include <cstddef>
#include <string_view>

#include "roster/gm_list.h"

enum class SectionState : int {
  Broken = -1,   // a malformed header
  Ordinary = 0,  // an account that is not on the GM list
  Staff = 1,     // an account on the GM list
};

// The longest header line that can be well formed.
inline constexpr std::size_t kMaxHeaderLength = 38;

// Classifies a header line: its text (already cut at its line end), beginning with "[". The
// account name is what stands between the "[" and the first "]"; a blank or tab before that
// "]", a missing "]" or a line over 38 characters make the header broken.
SectionState classifySection(std::string_view headerLine, const GmList& gmList);

// classifySection's first half: the account name of a well-formed header line, or false for a
// broken one. The scan asks the GM list about the name only once the section holds a line that
// depends on the answer, which most sections never do.
bool headerAccountName(std::string_view headerLine, std::string_view& name);
