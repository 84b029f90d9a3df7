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
