// The pass over the account file: copies it to the temporary file, leaving out every line that
// would give privileges to an account not on the GM list and every malformed section header,
// and reports and counts each line left out.
#pragma once

#include <cstdint>
#include <cstdio>

#include "roster/gm_list.h"
#include "sys/platform.h"
#include "sys/report.h"
#include "text/line_reader.h"
#include "text/text_writer.h"

// The filtered copy, in the working directory.
inline constexpr const char* kTempFileName = "..newaccu.scp";

// What the scan leaves for the replacement: the filtered copy, which, when it is to replace the
// account file, is still open and held by this run until the run ends, so that no other run in
// the same working directory takes or replaces it; the account file as it was when the scan
// opened it, so that a change made meanwhile (the server saving) is found before the copy can
// take its place; and the number of lines left out.
struct FilteredCopy {
  sys::File file;
  sys::FileIdentity original;
  std::int64_t violations = 0;
};

// Filters the account file at accountPath into kTempFileName, reporting each violation on
// standard output. Fails when a file cannot be opened, read, written or flushed, the account
// file is UTF-16 text, another run holds the copy, or the two files were given the other way
// round (the account file holds no section header, and the GM list names one); a copy that is
// not complete is removed. Without violations the copy is complete and closed when this returns,
// and stays in the working directory: the run's whole product. With them it is on stable
// storage, ready to replace the account file.
Outcome scanAccountFile(const char* accountPath, const GmList& gmList, FilteredCopy& copy);

// What a pass counted: the lines it left out, and whether it met a section header at all.
struct PassCount {
  std::int64_t violations = 0;
  bool sawHeader = false;
};

// The pass itself, from any source into any writer, with its reports going to reports. A UTF-8
// byte-order mark that begins the source begins the output too. Fails on a read or write failure
// and on a source in UTF-16. The reader's block is of the given size (tests take small ones).
inline constexpr std::size_t kAccountFileBlock = std::size_t{1} << 20;
Outcome filterAccounts(text::ByteSource& input, const GmList& gmList, text::TextWriter& output,
                       std::FILE* reports, PassCount& count,
                       std::size_t blockSize = kAccountFileBlock);
