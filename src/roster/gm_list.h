// The roster of accounts that may hold privileges: the server's GMs and Counselors.
//
// Loaded once from its text file, before the account file is opened, and only read afterwards.
#pragma once

#include <string_view>

// One name of the list, as it stood in the file (cut to 31 characters).
struct GmEntry {
  GmEntry* next;
  char name[32];
};

// Head of the list, newest entry first. Entries live until the process ends.
extern GmEntry* gmList;

// Reads the GM list file at path into gmList: one name per line, the line's text before its first
// blank or tab; names shorter than 2 characters are skipped, longer than 31 are cut to 31. A
// UTF-8 byte-order mark that begins the file is passed over; a file in UTF-16 is refused.
// Returns 0, or -1 after reporting the failure on standard error.
int loadGmList(const char* path);

// Whether name is on the list, comparing ASCII letters without regard to case.
bool isOnGmList(std::string_view name);

// Forgets the whole list, for tests and the fuzzer that load several lists in one process.
void clearGmList();

namespace text {
class ByteSource;
}

// loadGmList's reading step, from any source of bytes.
int readGmList(text::ByteSource& source);
