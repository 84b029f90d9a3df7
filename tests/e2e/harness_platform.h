// What each platform's harness (harness_posix.cpp, harness_win32.cpp) gives the loops that
// harness.cpp writes once: a started program's pipes, its pause and its end.
#pragma once

#include "e2e/harness.h"

namespace e2e {

// Reads what the program has written so far, waiting up to timeoutMs for something to come.
void readOutput(Started::Process& p, int timeoutMs);
// Whether the program's standard output (stream 0) or error (1) may still bring something.
bool isOpen(const Started::Process& p, int stream);
// What the program has written so far, and its status once it has ended.
RunResult& resultOf(Started::Process& p);
bool hasEnded(const Started::Process& p);
// Waits up to timeoutMs for the program to stand still before the call it was told to stop at
// (true), reading its output meanwhile, and notes its end should it end instead.
bool standsStill(Started::Process& p, int timeoutMs);
// Ends the program, with all it started, unless it has ended.
void kill(Started::Process& p);
// Waits for the program's end and notes its status, unless it is noted.
void awaitEnd(Started::Process& p);

}  // namespace e2e
