// Puts the filtered copy in the account file's place, keeping the original as "<path>.old".
#pragma once

#include <cstdint>

// Decides the outcome of a run from the scan's violation count. With no violation nothing is
// touched and the result is 0. Otherwise the account file is kept under its backup name, the
// filtered copy from the working directory takes its place, the summary is printed and the
// result is 1. If any step fails, the account file keeps its old contents, a backup made by this
// run is removed again, the copy stays in the working directory, and the result is 2.
int replaceAccountFile(const char* accountPath, std::int64_t violations);
