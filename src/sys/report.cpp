#include "sys/report.h"

#include <cstdio>
#include <string>

namespace sys {

namespace {

void report(const char* prefix, const char* label, ErrorCode code) {
  std::string text = errorText(code);
  // Whatever was reported on standard output so far comes first when both go to one console.
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s: %s\n", prefix, label, text.c_str());
  std::fflush(stderr);
}

}  // namespace

void reportSystemError(const char* label, ErrorCode code) {
  report("", label, code);
}

void reportWarning(const char* label, ErrorCode code) {
  report("warning: ", label, code);
}

}  // namespace sys
