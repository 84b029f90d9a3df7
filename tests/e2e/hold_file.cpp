// Holds a file as another program on the server would, for the end-to-end tests:
//   hold_file copy PATH      as another run of quelm holds its filtered copy
//   hold_file read PATH [MS] as a virus scanner or backup agent reads a file: open for reading,
//                            sharing reads only (on Windows; elsewhere an open holds nothing)
// It prints "held" once it holds the file, and lets go when its standard input closes, or after
// MS milliseconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "sys/platform.h"
#include "sys/report.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

bool holdForReading(const char* path) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return h != INVALID_HANDLE_VALUE;  // closed when the process ends
#else
  return ::open(path, O_RDONLY) >= 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc >= 3 ? argv[1] : "";
  if ((mode != "copy" && mode != "read") || argc > 4) {
    std::fputs("usage: hold_file copy PATH | hold_file read PATH [MS]\n", stderr);
    return 2;
  }
  sys::File copy;
  if (mode == "copy" ? !copy.createHeld(argv[2]) : !holdForReading(argv[2])) {
    Outcome::lastError("hold_file").report();
    return 2;
  }
  std::puts("held");
  std::fflush(stdout);
  if (argc == 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[3])));
  } else {
    while (std::getchar() != EOF) {
    }
  }
  return 0;
}
