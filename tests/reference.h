// The tool's rules applied the plain way, one byte or one line at a time, in code that shares
// nothing with the product: the yardsticks the tests and the fuzz targets hold it to. Each
// function follows the rule as it is written down (rules.h, the manual), step by step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference {

// A piece of a file as the reading rules give it: its decoded text (a final LF included), and
// whether it begins a line.
struct Piece {
  std::string text;
  bool startsLine;
  bool operator==(const Piece&) const = default;
};

// The pieces of a file, its bytes taken one at a time: a CR is dropped for the byte after it, a
// 0x1A dropped, a piece ends after an LF or at 254 characters. No byte-order mark is looked at.
std::vector<Piece> pieces(const std::string& file);

// The names of a GM list file, in order: each line's text before its first CR, LF, blank, tab or
// NUL, when it has 2 characters or more, cut to 31; the rest of an overlong line names nobody. A
// UTF-8 byte-order mark at the start is passed over; nothing for a file in UTF-16.
std::optional<std::vector<std::string>> gmNames(const std::string& file);

// Whether name equals a listed name when the letters A to Z are taken for a to z.
bool isListed(const std::vector<std::string>& names, const std::string& name);

// The 32-bit pattern of the PRIV value text, converted as strtol with base 16 would into a
// signed 32-bit number: white space, a sign, "0x", hex digits; out of range saturated.
std::uint32_t privValue(const std::string& text);

// The 32 bits of a PRIV value (cut at "//" and trimmed) as the server reads a plain number: after
// one "." at most, nothing; "0x" and hex digits (0); "0" and hex digits; a digit, digits and dots
// (decimal). Nothing for anything else, which it would evaluate.
std::optional<std::uint32_t> serverNumber(std::string value);

// The kind of section a header line opens (its text cut at its line end, beginning with "[").
enum class Header { Broken, Ordinary, Staff };
Header classifyHeader(const std::string& line, const std::vector<std::string>& names);

// What a scan gives: the copy, the reports and the violation count (-1 for a refused file).
struct ScanOutcome {
  std::string output;
  std::string reports;
  std::int64_t violations;
};

// The whole filter: the account file against the GM list file, one line at a time, each line as
// the server reads the copy: 4095 bytes at a time, white space before a key or a "[", keys by
// their head, PRIV values as the server's numbers; the sections of removed headers removed.
ScanOutcome scan(const std::string& accounts, const std::string& gmListFile);

}  // namespace reference
