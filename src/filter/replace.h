// Puts the filtered copy in the account file's place, keeping the original as "<path>.old".
#pragma once

#include <cstdint>

#include "filter/scan.h"

// Decides the outcome of a run from the scan's violation count. With no violation nothing is
// touched and the result is 0. Otherwise the account file is kept under its backup name, the
// filtered copy from the working directory takes its place, the summary is printed and the
// result is 1. If any step fails, or the account file's path no longer names the file the scan
// read, unchanged, or the copy's name no longer names this run's copy, the account file keeps
// the contents it has, a backup made by this run is removed again, the copy stays in the working
// directory, and the result is 2.
int replaceAccountFile(const char* accountPath, std::int64_t violations, FilteredCopy& copy);
