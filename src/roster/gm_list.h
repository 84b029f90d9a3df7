// The roster of accounts that may hold privileges: the server's GMs and Counselors.
//
// Run control loads it from its text file before the account file is opened and hands it to
// the scan, which only asks it about names.
#pragma once

#include <cstddef>
#include <string_view>

#include "roster/name_index.h"
#include "sys/report.h"

namespace text {
class ByteSource;
}

// The names of a GM list file: one a line, the line's text before its first blank or tab; names
// shorter than 2 characters are skipped, longer than 31 are cut to 31.
class GmList {
 public:
  // Whether name is on the list, comparing ASCII letters without regard to case.
  bool contains(std::string_view name) const { return names_.contains(name); }

  // The names as stored, in the file's order; a name listed twice stands twice.
  std::size_t size() const { return names_.size(); }
  const GmEntry& entry(std::size_t i) const { return names_[i]; }

 private:
  friend Outcome readGmList(text::ByteSource& source, GmList& list, std::size_t blockSize);
  roster::NameIndex names_;
};

// The label of a failure to read the GM list, or of a list that cannot be one.
inline constexpr const char* kGmListRead = "fread(gmFile)";

// Reads the GM list file at path into list. A UTF-8 byte-order mark that begins the file is
// passed over; a file in UTF-16 is refused.
Outcome loadGmList(const char* path, GmList& list);

// loadGmList's reading step, from any source of bytes, into an empty list, through a reader of
// the given block (tests take small ones).
inline constexpr std::size_t kGmListBlock = std::size_t{64} << 10;
Outcome readGmList(text::ByteSource& source, GmList& list, std::size_t blockSize = kGmListBlock);
