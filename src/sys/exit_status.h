// The process's exit statuses, for the scripts that run the tool. Defined here, at the bottom of
// the house, since besides run control the platform layer ends the process itself in one case (a
// mapped file that shrinks under the reader).
#pragma once

enum ExitStatus : int {
  kExitClean = 0,       // no violation found
  kExitViolations = 1,  // violations found and removed
  kExitError = 2,       // anything went wrong; the account file holds its old contents
};
