// The fault build's instructions and its record of a run, written once for both platforms. Each
// platform's part (fault_posix.cpp, fault_win32.cpp) puts functions of its own in the platform
// layer's table of calls, which come here before each call; only ending the process and standing
// still are the platform's own.
//
// Environment, with the platform's names of the calls and its error codes:
//   QUELM_FAULT_OP=name QUELM_FAULT_NTH=n QUELM_FAULT_ERRNO=e
//       the n-th call of that function fails with error e, without being made (the platform's
//       part says what a failed sync or close does besides)
//   QUELM_FAULT_ALWAYS=name:e    every call of that function fails with error e
//   QUELM_FAULT_KILL_AT=n        the process ends, as killed (status 137), just before its n-th
//                                call
//   QUELM_FAULT_PAUSE_AT=n       the process stands still before its n-th call, and makes the call
//                                once the test lets it go on
//   QUELM_FAULT_COUNT_FILE=path  at exit, "name count" lines for every function, and the total
//   QUELM_FAULT_TRACE_FILE=path  at exit, the functions in the order they were called, one a line
//                                (the first 65,536 of them)
//   QUELM_FAULT_PATHS_FILE=path  at exit, every path the calls were given, one a line, in UTF-8
#pragma once

#include <string>

namespace fault {

// Reads the instructions, before the first call; names are the table's calls, in its order.
void install(const char* const* names, int count);

// Reads the instructions, keeps the system's functions of the platform's table in real, and has
// put give the table the platform part's functions in their place.
template <typename Calls>
bool install(Calls& table, Calls& real, const char* const* names, int count, void (*put)(Calls&)) {
  install(names, count);
  real = table;
  put(table);
  return true;
}

// Counts a call of the kind-th function and, as the instructions say, ends the process or stands
// still before it; true when it is to fail instead of being made, with the error to give.
// Touches no memory it has not set aside at install: it may run in a signal handler.
bool intercept(int kind, long& error);

// Notes a path a call was given.
void notePath(std::string path);

// The platform's own (fault_posix.cpp, fault_win32.cpp): ends the process as a kill does; stands
// still until the test lets the run go on.
[[noreturn]] void endProcess();
void standStill();

}  // namespace fault
