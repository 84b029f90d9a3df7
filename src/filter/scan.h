// The pass over the account file: copies it to the temporary file, leaving out every line that
// would give privileges to an account not on the GM list and every malformed section header,
// and reports and counts each line left out.
#pragma once

#include <cstdint>
#include <cstdio>

#include "sys/line_reader.h"
#include "sys/text_writer.h"

// The filtered copy, in the working directory.
inline constexpr const char* kTempFileName = "..newaccu.scp";

// Filters the account file at accountPath into kTempFileName, reporting each violation on
// standard output. Returns the number of violations, or -1 when a file could not be opened,
// read, written or flushed (reported on standard error). When violations were found, the copy
// is on stable storage before this returns.
std::int64_t scanAccountFile(const char* accountPath);

// The pass itself, from any source into any writer, with its reports going to reports.
// Returns the number of violations, or -1 after reporting a read or write failure.
std::int64_t filterAccounts(sys::ByteSource& input, sys::TextWriter& output, std::FILE* reports);
