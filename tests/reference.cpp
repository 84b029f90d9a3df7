#include "reference.h"

#include <cstdio>
#include <string_view>

namespace reference {

namespace {

const std::string kUtf8Mark = "\xEF\xBB\xBF";

bool isUtf16(const std::string& file) {
  return file.rfind("\xFF\xFE", 0) == 0 || file.rfind("\xFE\xFF", 0) == 0;
}

// The file after a UTF-8 byte-order mark, if it begins with one.
std::string afterMark(const std::string& file) {
  return file.rfind(kUtf8Mark, 0) == 0 ? file.substr(kUtf8Mark.size()) : file;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text up to the first of the given bytes.
std::string upTo(const std::string& text, const std::string& ends) {
  std::size_t at = text.find_first_of(ends);
  return at == std::string::npos ? text : text.substr(0, at);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<Piece> pieces(const std::string& in) {
  std::vector<Piece> out;
  out.reserve(in.size() / 8);
  std::size_t pos = 0;
  bool atLineStart = true;
  for (;;) {
    std::string piece;
    while (piece.size() < 254) {
      if (pos == in.size()) break;
      char c = in[pos++];
      if (c == '\r') {
        if (pos == in.size()) break;
        c = in[pos++];
      }
      if (c == 0x1a) continue;
      piece += c;
      if (c == '\n') break;
    }
    if (piece.empty()) return out;
    out.push_back({piece, atLineStart});
    atLineStart = piece.back() == '\n';
  }
}

std::optional<std::vector<std::string>> gmNames(const std::string& file) {
  if (isUtf16(file)) return std::nullopt;
  std::vector<std::string> names;
  for (const Piece& piece : pieces(afterMark(file))) {
    if (!piece.startsLine) continue;
    std::size_t length = piece.text.find_first_of(std::string_view("\r\n \t\0", 5));
    if (length == std::string::npos) length = piece.text.size();
    if (length >= 2) names.emplace_back(piece.text, 0, length < 31 ? length : 31);
  }
  return names;
}

bool isListed(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& listed : names) {
    if (listed.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) same = lower(listed[i]) == lower(name[i]);
    if (same) return true;
  }
  return false;
}

std::uint32_t privValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  // The magnitude, held only as far as it matters: anything past 2^32 is as good as 2^32.
  std::uint64_t magnitude = 0;
  for (; i < text.size() && hexDigit(text[i]) >= 0; ++i) {
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(hexDigit(text[i]));
    if (magnitude > (std::uint64_t{1} << 32)) magnitude = std::uint64_t{1} << 32;
  }
  std::int64_t value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
  if (value < -0x80000000LL) value = -0x80000000LL;
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

Header classifyHeader(const std::string& line, const std::vector<std::string>& names) {
  if (line.size() > 38) return Header::Broken;
  std::string rest = upTo(line.substr(1, 63), "\r\n \t");
  std::size_t close = rest.find(']');
  if (close == std::string::npos) return Header::Broken;
  return isListed(names, rest.substr(0, close)) ? Header::Staff : Header::Ordinary;
}

ScanOutcome scan(const std::string& accounts, const std::string& gmListFile) {
  std::vector<std::string> names = gmNames(gmListFile).value_or(std::vector<std::string>{});
  if (isUtf16(accounts)) return {"", "", -1};
  ScanOutcome out{"", "", 0};
  if (accounts.rfind(kUtf8Mark, 0) == 0) out.output = kUtf8Mark;
  Header state = Header::Ordinary;  // before the first header: checked
  std::string header;
  bool dropping = false;
  for (const Piece& piece : pieces(afterMark(accounts))) {
    if (piece.startsLine) {
      // The line's text: up to its line end, and a NUL ends it for every test.
      std::string text = upTo(piece.text, std::string("\r\n\0", 3));
      std::string report;
      if (!text.empty() && text[0] == '[') {
        header = text.substr(0, 63);
        state = classifyHeader(text, names);
        if (state == Header::Broken) report = "File is BROKEN! (" + text + ")\n";
      } else if (state != Header::Staff) {
        std::string lowered;
        for (char c : text) lowered += lower(c);
        if (lowered.rfind("plevel=", 0) == 0) {
          report = "PLEVEL found. Varmo=" + header + "\n";
        } else if (lowered.rfind("priv=", 0) == 0) {
          std::uint32_t bits = privValue(text.substr(5));
          if ((bits & ~std::uint32_t{0x1040}) != 0) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "PRIV %lx found. Varmo=", static_cast<unsigned long>(bits));
            report = line + header + "\n";
          }
        }
      }
      dropping = !report.empty();
      out.reports += report;
      out.violations += dropping ? 1 : 0;
    }
    if (dropping) continue;
    for (char c : piece.text) {
      if (c == '\n') out.output += '\r';
      out.output += c;
    }
  }
  return out;
}

}  // namespace reference
