// The fault build's instructions and record, the same on every platform (fault_layer.h).
#include "fault/fault_layer.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fault {

namespace {

constexpr int kMostKinds = 64;
constexpr long kTraceRoom = 65536;

struct State {
  const char* const* names = nullptr;
  int kinds = 0;
  // The instructions.
  int failKind = -1;
  long failNth = 0;
  long failError = 0;
  int alwaysKind = -1;
  long alwaysError = 0;
  long killAt = 0;
  long pauseAt = 0;
  // The record.
  long counts[kMostKinds] = {};
  long totalCalls = 0;
  unsigned char trace[kTraceRoom] = {};
  std::vector<std::string> paths;
};

State& state() {
  static State s;
  return s;
}

std::string environment(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

int kindByName(std::string_view name) {
  const State& s = state();
  for (int i = 0; i < s.kinds; ++i) {
    if (name == s.names[i]) return i;
  }
  return -1;
}

void writeLines(const char* variable, const std::vector<std::string>& lines) {
  std::string path = environment(variable);
  if (path.empty()) return;
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    for (const std::string& line : lines) std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

// Writes what the run called when it ends by returning from its entry or by exit().
struct Report {
  ~Report() {
    const State& s = state();
    std::vector<std::string> lines;
    for (int i = 0; i < s.kinds; ++i) {
      lines.push_back(std::string(s.names[i]) + " " + std::to_string(s.counts[i]));
    }
    lines.push_back("total " + std::to_string(s.totalCalls));
    writeLines("QUELM_FAULT_COUNT_FILE", lines);
    lines.clear();
    for (long i = 0; i < s.totalCalls && i < kTraceRoom; ++i) lines.push_back(s.names[s.trace[i]]);
    writeLines("QUELM_FAULT_TRACE_FILE", lines);
    writeLines("QUELM_FAULT_PATHS_FILE", s.paths);
  }
};

}  // namespace

void install(const char* const* names, int count) {
  if (count > kMostKinds) {
    std::fputs("quelm_fault: more calls than room for them\n", stderr);
    std::abort();
  }
  State& s = state();
  s.names = names;
  s.kinds = count;
  if (std::string op = environment("QUELM_FAULT_OP"); !op.empty()) {
    s.failKind = kindByName(op);
    s.failNth = std::atol(environment("QUELM_FAULT_NTH", "1").c_str());
    s.failError = std::atol(environment("QUELM_FAULT_ERRNO", "5").c_str());
  }
  std::string always = environment("QUELM_FAULT_ALWAYS");
  if (std::size_t colon = always.find(':'); colon != std::string::npos) {
    s.alwaysKind = kindByName(std::string_view(always).substr(0, colon));
    s.alwaysError = std::atol(always.c_str() + colon + 1);
  }
  s.killAt = std::atol(environment("QUELM_FAULT_KILL_AT", "0").c_str());
  s.pauseAt = std::atol(environment("QUELM_FAULT_PAUSE_AT", "0").c_str());
  // After the state, so that it is written before the state goes.
  static Report report;
}

bool intercept(int kind, long& error) {
  State& s = state();
  ++s.counts[kind];
  if (s.totalCalls < kTraceRoom) s.trace[s.totalCalls] = static_cast<unsigned char>(kind);
  ++s.totalCalls;
  if (s.killAt == s.totalCalls) endProcess();
  if (s.pauseAt == s.totalCalls) standStill();
  if (kind == s.alwaysKind) {
    error = s.alwaysError;
    return true;
  }
  if (kind == s.failKind && s.counts[kind] == s.failNth) {
    error = s.failError;
    return true;
  }
  return false;
}

void notePath(std::string path) {
  state().paths.push_back(std::move(path));
}

}  // namespace fault
