// Reports of failed system operations, on standard error.
#pragma once

#include "sys/platform.h"

namespace sys {

// One line on standard error: the operation's label, ": ", the platform's text for the error.
void reportSystemError(const char* label, ErrorCode code);

// The same for a failure the tool finds itself, with its own text in place of the platform's.
void reportFailure(const char* label, const char* text);

// The same for a failure that no longer changes the outcome of the run, marked as a warning.
void reportWarning(const char* label, ErrorCode code);

}  // namespace sys

// A failed step: its label and the platform's error, or a text of the tool's own. A
// default-made one stands for success, so that "if (Failure f = step())" reads as it acts.
struct Failure {
  const char* label = nullptr;
  sys::ErrorCode code = 0;
  const char* text = nullptr;
  explicit operator bool() const { return label != nullptr; }
};

// The failure of the operation just attempted, with the platform's error.
inline Failure failure(const char* label) {
  return {label, sys::lastError()};
}

// Reports a failure on standard error, as reportSystemError or reportFailure.
void report(const Failure& f);
