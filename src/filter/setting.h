// A line of the account file as the server reads it, as far as the filter cares: a section opened
// behind white space, or a setting of the privilege level or bits, and the value it is given. The
// server reads a setting up to a "//" comment, trimmed, skips the white space before its key, ends
// the key at its first "=", ",", blank or tab, takes any key that begins with PLEVEL or PRIV for
// that setting, and reads the value after the separator.
#pragma once

#include <string_view>

enum class SettingKind {
  Other,           // nothing the filter needs to look at again
  IndentedHeader,  // white space, then "["
  PrivilegeLevel,  // PLEVEL
  PrivilegeBits,   // PRIV
};

struct Setting {
  SettingKind kind = SettingKind::Other;
  // For an indented header: the line up to its line end, its white space included, as the
  // reports show it. For a PRIV line: the value.
  std::string_view text;
  // For a PRIV line: whether the key is PRIV itself, followed directly by a separator, rather than
  // a longer key the server takes for PRIV all the same (PRIV.x, PRIV(1)).
  bool plainKey = true;
};

// What the text of a line that does not begin with "[" is to the server: the line up to its line
// feed, any CR in it included (to the server a CR is white space), and ended at a NUL.
Setting readSetting(std::string_view line);
