// Holds a file the way a run of quelm holds its filtered copy, until its standard input closes:
// the end-to-end tests use it as another run that is busy in the same working directory.
#include <cstdio>

#include "sys/platform.h"
#include "sys/report.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: hold_copy PATH\n", stderr);
    return 2;
  }
  sys::File file;
  if (!file.createHeld(argv[1])) {
    sys::reportSystemError("hold_copy", sys::lastError());
    return 2;
  }
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
