// The console the tool reports to.
#pragma once

namespace sys {

// Sets up standard output and error for the run. Standard output keeps the platform's own line
// ends (CR LF on Windows, LF elsewhere). A reader of the reports that goes away early must not
// stop the run halfway: the run finishes and its exit status still tells the outcome.
void prepareConsole();

}  // namespace sys
