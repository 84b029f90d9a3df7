#include "sys/report.h"

#include <cstdio>
#include <string>

namespace sys {

namespace {

void report(const char* prefix, const char* label, const char* text) {
  // Whatever was reported on standard output so far comes first when both go to one console.
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s: %s\n", prefix, label, text);
  std::fflush(stderr);
}

}  // namespace

void reportSystemError(const char* label, ErrorCode code) {
  report("", label, errorText(code).c_str());
}

void reportFailure(const char* label, const char* text) {
  report("", label, text);
}

void reportWarning(const char* label, ErrorCode code) {
  report("warning: ", label, errorText(code).c_str());
}

}  // namespace sys

void report(const Failure& f) {
  if (f.text != nullptr) {
    sys::reportFailure(f.label, f.text);
  } else {
    sys::reportSystemError(f.label, f.code);
  }
}
