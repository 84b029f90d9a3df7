// What kind of account section a header line opens, and the section the scan is in.
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
// broken one.
bool headerAccountName(std::string_view headerLine, std::string_view& name);

// The section the scan is in: the header line that opened it, and its state, classified as
// classifySection does. Both are worked out only when a line needs them: most sections hold no
// privilege line, so most headers are never copied out of the reader's window and most names
// never looked up.
class CurrentSection {
 public:
  CurrentSection() = default;
  // The header may stand in the section's own copy.
  CurrentSection(const CurrentSection&) = delete;
  CurrentSection& operator=(const CurrentSection&) = delete;

  // Enters the section a header line opens, its text as for classifySection; the text stays in
  // the reader's window until keepHeader(). Whether the header is well formed.
  bool enter(std::string_view headerLine);

  // Enters the section a header behind white space opens, given the line as the reports show it:
  // the server of today gives the lines after it to the name it holds, an older one to the
  // account above, so they are checked, whatever the name. The line stays in the reader's window
  // until keepHeader().
  void enterIndented(std::string_view line) {
    header_ = line;
    state_ = SectionState::Ordinary;
    known_ = true;
  }

  // Checks the lines from here on, in whatever section they stand: their header is gone.
  void checkFromHere() {
    state_ = SectionState::Ordinary;
    known_ = true;
  }

  // Copies the header line, as much of it as the reports show, out of the reader's window before
  // the window moves on.
  void keepHeader();

  // The header line as the reports show it: its first 63 characters (a NUL ends it sooner when
  // printed); empty before the first header.
  std::string_view header() const { return header_.substr(0, sizeof copy_); }

  // The section's state. The GM list is asked the first time.
  SectionState state(const GmList& gmList) {
    if (!known_) {
      // A well-formed header is at most 38 characters: the name is in the kept part too.
      known_ = true;
      state_ = gmList.contains({header_.data() + 1, nameSize_}) ? SectionState::Staff
                                                                : SectionState::Ordinary;
    }
    return state_;
  }

 private:
  // Lines before the first header are checked like an ordinary account's.
  SectionState state_ = SectionState::Ordinary;
  bool known_ = true;
  std::string_view header_{copy_, 0};  // in the reader's window, or in copy_
  std::size_t nameSize_ = 0;
  char copy_[63];
};
