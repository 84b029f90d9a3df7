// Puts the filtered copy in the account file's place, keeping the original as "<path>.old".
#pragma once

#include "filter/scan.h"
#include "sys/report.h"

// For a copy with violations: keeps the account file under its backup name and puts the
// filtered copy from the working directory in its place. Fails, and the account file keeps the
// contents it has, when any step fails, the account file's path no longer names the file the
// scan read, unchanged, or the copy's name no longer names this run's copy; a backup made by
// this run is then removed again (or named in the report when it cannot be), and the copy stays
// in the working directory. A warning reports a step after the replacement that failed, which
// no longer changes the outcome.
Outcome replaceAccountFile(const char* accountPath, FilteredCopy& copy);
