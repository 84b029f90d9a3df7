#include "sys/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#else
#include <csignal>
#endif

namespace sys {

void prepareConsole() {
#ifdef _WIN32
  // Text mode turns each "\n" of a report into CR LF.
  _setmode(_fileno(stdout), _O_TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
#else
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace sys
