// Account files the fault and shared-disk suites run the program on.
#pragma once

#include <string>

namespace fixtures {

inline const char kGmList[] = "Admin\r\n";
inline const char kDirty[] =
    "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=2\r\nPRIV=0200\r\nPASSWORD=sparrow\r\n";
inline const char kFiltered[] = "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=sparrow\r\n";

// The users of a file of a few megabytes, which takes many calls to read and write: on POSIX
// over 4 MiB, so that it is mapped window by window; on Windows, where it is read, three of the
// reader's 1 MiB blocks.
#ifdef _WIN32
inline constexpr int kBigUsers = 45000;
#else
inline constexpr int kBigUsers = 90000;
#endif

// Such a file; a smaller count gives the start of the same file.
inline std::string bigAccounts(bool filtered, int users = kBigUsers) {
  std::string text;
  for (int i = 0; i < users; ++i) {
    text += "[user" + std::to_string(i) + "]\r\nPASSWORD=secret" + std::to_string(i) + "\r\n";
    if (i % 997 == 0 && !filtered) text += "PLEVEL=4\r\n";
    text += "LASTIP=192.0.2." + std::to_string(i % 250) + "\r\n";
  }
  return text;
}

}  // namespace fixtures
