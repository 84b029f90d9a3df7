// The pass over the account file: copies it to the temporary file, leaving out every line that
// would give privileges to an account not on the GM list and every malformed section header,
// and reports and counts each line left out.
#pragma once

#include <cstdint>
#include <cstdio>

#include "sys/platform.h"
#include "text/line_reader.h"
#include "text/text_writer.h"

// The filtered copy, in the working directory.
inline constexpr const char* kTempFileName = "..newaccu.scp";

// What the scan leaves for the replacement: the filtered copy, still open and held by this run
// until the run ends, so that no other run in the same working directory takes or replaces it;
// and the account file as it was when the scan opened it, so that a change made meanwhile (the
// server saving) is found before the copy can take its place.
struct FilteredCopy {
  sys::File file;
  sys::FileIdentity original;
};

// Filters the account file at accountPath into kTempFileName, reporting each violation on
// standard output. Returns the number of violations, or -1 when a file could not be opened,
// read, written or flushed, the account file is UTF-16 text, or another run holds the copy
// (reported on standard error). When violations were found, the copy is on stable storage
// before this returns.
std::int64_t scanAccountFile(const char* accountPath, FilteredCopy& copy);

// The pass itself, from any source into any writer, with its reports going to reports. A UTF-8
// byte-order mark that begins the source begins the output too. Returns the number of
// violations, or -1 after reporting a read or write failure or a source in UTF-16.
std::int64_t filterAccounts(text::ByteSource& input, text::TextWriter& output, std::FILE* reports);
