// Account files the fault and shared-disk suites run the program on.
#pragma once

#include <string>

namespace fixtures {

inline const char kGmList[] = "Admin\r\n";
inline const char kDirty[] =
    "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPLEVEL=2\r\nPRIV=0200\r\nPASSWORD=sparrow\r\n";
inline const char kFiltered[] = "[Admin]\r\nPLEVEL=7\r\n[tobin]\r\nPASSWORD=sparrow\r\n";

// A file of a few megabytes for the default count of users, large enough (over 4 MiB) to be
// mapped window by window, so that reading and writing take many calls. A smaller count gives
// the start of the same file.
inline std::string bigAccounts(bool filtered, int users = 90000) {
  std::string text;
  for (int i = 0; i < users; ++i) {
    text += "[user" + std::to_string(i) + "]\r\nPASSWORD=secret" + std::to_string(i) + "\r\n";
    if (i % 997 == 0 && !filtered) text += "PLEVEL=4\r\n";
    text += "LASTIP=192.0.2." + std::to_string(i % 250) + "\r\n";
  }
  return text;
}

}  // namespace fixtures
