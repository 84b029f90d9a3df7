// libFuzzer target: arbitrary bytes as a GM list and an account file, through the real reader,
// scan and writer, checked against what the filter promises:
//  - the copy's lines are input lines, in order, and every line the filter may not remove is
//    there (staff sections whole, ordinary settings other than privileges);
//  - no line left in the copy is a malformed header, or a "plevel=" line or a "priv=" line with
//    a bit outside 0x1040 in a section that is not staff;
//  - the violation count equals the lines removed and the reports printed.
// Input: the first byte is the GM list's length, then the GM list, then the account file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter/priv.h"
#include "filter/scan.h"
#include "filter/section.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

struct Line {
  std::string text;  // decoded, all pieces
  bool removable;    // the filter must remove it
};

std::string encode(const std::string& decoded) {
  std::string out;
  for (char c : decoded) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The text the filter judges a line by: up to the first CR, LF or NUL of its first piece.
std::string judged(const std::string& firstPiece) {
  std::size_t n = firstPiece.find_first_of(std::string("\r\n\0", 3));
  return firstPiece.substr(0, n);
}

bool hasKey(const std::string& text, const char* key) {
  std::size_t i = 0;
  for (; key[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != key[i]) return false;
  }
  return true;
}

std::vector<Line> modelLines(const std::string& input) {
  std::vector<Line> lines;
  bool staff = false;
  for (const auto& piece : testing_util::referencePieces(input)) {
    if (!piece.startsLine) {
      lines.back().text += piece.text;
      continue;
    }
    std::string text = judged(piece.text);
    bool removable = false;
    if (!text.empty() && text[0] == '[') {
      SectionState state = classifySection(text);
      staff = state == SectionState::Staff;
      removable = state == SectionState::Broken;
    } else if (!staff) {
      removable = hasKey(text, "plevel=") ||
                  (hasKey(text, "priv=") &&
                   isForbiddenPriv(parsePrivValue(text.data() + 5, text.size() - 5)));
    }
    lines.push_back({piece.text, removable});
  }
  return lines;
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t gmSize = data[0] < size - 1 ? data[0] : size - 1;
  std::string gm(reinterpret_cast<const char*>(data) + 1, gmSize);
  std::string accounts(reinterpret_cast<const char*>(data) + 1 + gmSize, size - 1 - gmSize);

  testing_util::StringSource gmSource(gm, 7);
  check(readGmList(gmSource) == 0, "the GM list loads");

  testing_util::StringSource source(accounts, 1 + size % 300);
  testing_util::StringSink sink;
  sys::TextWriter writer(sink, 600);
  char* reportText = nullptr;
  std::size_t reportSize = 0;
  std::FILE* reports = open_memstream(&reportText, &reportSize);
  std::int64_t violations = filterAccounts(source, writer, reports);
  std::fclose(reports);
  std::string printed(reportText, reportSize);
  std::free(reportText);

  std::vector<Line> lines = modelLines(accounts);
  std::size_t removed = 0;
  std::string expected;
  for (const Line& line : lines) {
    if (line.removable) {
      ++removed;
    } else {
      expected += encode(line.text);
    }
  }
  check(violations >= 0, "the pass succeeds");
  check(sink.data == expected, "the copy holds exactly the lines that may stay, in order");
  check(static_cast<std::size_t>(violations) == removed, "one violation per removed line");
  std::size_t reportLines = 0;
  for (char c : printed) reportLines += c == '\n' ? 1 : 0;
  check(reportLines == removed, "one report per removed line");

  clearGmList();
  return 0;
}
