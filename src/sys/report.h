// How a step of the run ended, and the report of one that failed, on standard error.
#pragma once

#include <string>

#include "sys/platform.h"

// How a step of the run ended: done, or failed, with its report: one line, the step's label,
// ": " and the platform's text for the error or a text of the tool's own ("fopen(gmFile): No
// such file or directory"). Every step that can fail gives one; run control reports it.
class Outcome {
 public:
  // Done.
  Outcome() = default;

  // Failed with the platform's error code.
  static Outcome systemError(const char* label, sys::ErrorCode code);
  // Failed with the error of the platform call just made.
  static Outcome lastError(const char* label) { return systemError(label, sys::lastError()); }
  // Failed for a reason the tool finds itself.
  static Outcome failure(const char* label, const std::string& text);
  // Failed for want of memory.
  static Outcome outOfMemory() { return systemError("malloc", sys::outOfMemoryError()); }

  bool ok() const { return report_.empty(); }
  // The platform's error code of a failed system call; 0 for any other outcome.
  sys::ErrorCode code() const { return code_; }

  // Adds a line to the report: what else went wrong in the wake of the failure.
  void add(const Outcome& later);

  // Prints the report on standard error, after what standard output holds so far.
  void report() const;
  // The same, marked as a warning: for a step whose failure no longer changes the outcome.
  void reportAsWarning() const;

 private:
  std::string report_;  // line after line, without the last line end
  sys::ErrorCode code_ = 0;
};
