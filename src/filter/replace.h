// Puts the filtered copy in the account file's place, keeping the original as "<path>.old".
#pragma once

#include "filter/scan.h"
#include "sys/report.h"

// Without violations, touches nothing, and leaves the copy complete in the working directory (or
// fails to, and removes it). With them, keeps the account file under its backup name,
// puts the filtered copy from the working directory in its place and prints the summary. Fails,
// and the account file keeps the contents it has, when any step fails, the account file's path
// no longer names the file the scan read, unchanged, or the copy's name no longer names this
// run's copy; a backup made by this run is then removed again (or named in the report when it
// cannot be), and the copy stays in the working directory.
Outcome replaceAccountFile(const char* accountPath, FilteredCopy& copy);
