// The byte rules of the tool's two input files and of the copy it writes, stated once. The line
// reader, the text writer and the line classifier each keep to their part, and the tests beside
// each hold it to them (line_reader_test, text_writer_test, classify_test).
//
// Reading (line_reader.h), byte by byte:
//  - A file that begins with the UTF-8 byte-order mark (EF BB BF) is read as if it began after
//    it, and the copy of such a file begins with the same mark. A file that begins with FF FE or
//    FE FF is UTF-16 text, which is refused rather than read byte by byte. Nowhere else are these
//    bytes special.
//  - A carriage return (0x0D) is dropped and the byte after it is taken instead, whatever it is:
//    CR LF reads as LF, a lone CR vanishes and the text on both sides of it joins, CR CR reads as
//    one CR, a CR that is the last byte of the file is lost.
//  - A 0x1A byte is dropped wherever it stands (also right after a CR), and the reading goes on
//    afresh after it: only the real end of the file ends the reading.
//  - A piece ends after a line feed, which it keeps, after kMaxPieceChars characters, or at the
//    end of the file. A longer line therefore arrives as several pieces; only the first begins
//    the line.
//  - A NUL byte is an ordinary byte to the reader; whoever looks at a piece's text ends it there.
//
// Writing (text_writer.h): each line feed is written as CR LF; every other byte, a CR and 0x1A
// included, is written as it is.
//
// Looking (classify.h): the filter can leave out only a line that begins with "[" (a section
// header), with "p" then "l" or "r" in either case (the keys PLEVEL and PRIV), or with white space,
// behind which the server finds a key or a header all the same (for speed, any byte up to a blank
// but CR, and any from 0x80); every other line is copied without a look. A plain line, at most 253
// characters followed by CR LF and holding no other CR and no 0x1A, reads as one piece whose bytes
// are already what the writer writes for it, so it may be copied as it stands.
//
// The server (the file's one reader that matters) reads the copy's bytes as they are: a line is at
// most kServerLineBytes bytes, CR LF included, a longer one reaching it as several; a NUL ends a
// line's text. What it makes of a line's text is the filter's business (filter/setting.h).
#pragma once

#include <cstddef>

namespace text {

inline constexpr char kLF = '\n';
inline constexpr char kCR = '\r';
inline constexpr char kSUB = 0x1A;

// The longest piece, in characters.
inline constexpr std::size_t kMaxPieceChars = 254;

// The longest line the server reads as one, in bytes of the copy: what fgets gives with a 4096-byte
// buffer.
inline constexpr std::size_t kServerLineBytes = 4095;

// The bytes the server skips as white space before a key or a "[", and trims around a value.
inline constexpr bool isServerSpace(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == kCR || c == '\xA0';
}

}  // namespace text
