# Copies IN to OUT with CR LF line ends, for Notepad; with OVERSTRIKES, also takes out the
# overstrikes that mandoc's plain text uses for bold and underlined letters. Run with cmake -P,
# so that a Windows build needs nothing beyond CMake for it.
file(READ "${IN}" text)
if(OVERSTRIKES)
  string(ASCII 8 backspace)
  string(REGEX REPLACE "[^\n]${backspace}" "" text "${text}")
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
