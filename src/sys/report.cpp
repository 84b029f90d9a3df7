#include "sys/report.h"

#include <cstdio>

Outcome Outcome::systemError(const char* label, sys::ErrorCode code) {
  Outcome failed = failure(label, sys::errorText(code));
  failed.code_ = code;
  return failed;
}

Outcome Outcome::failure(const char* label, const std::string& text) {
  Outcome failed;
  failed.report_ = std::string(label) + ": " + text;
  return failed;
}

void Outcome::add(const Outcome& later) {
  if (later.ok()) return;
  report_ += ok() ? later.report_ : "\n" + later.report_;
}

namespace {

void print(const char* prefix, const std::string& text) {
  // Whatever was reported on standard output so far comes first when both go to one console.
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s\n", prefix, text.c_str());
  std::fflush(stderr);
}

}  // namespace

void Outcome::report() const {
  print("", report_);
}

void Outcome::reportAsWarning() const {
  print("warning: ", report_);
}
