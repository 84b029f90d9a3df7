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

std::optional<std::uint32_t> serverNumber(std::string value) {
  if (!value.empty() && value[0] == '.') value.erase(0, 1);
  if (value.empty()) return 0u;
  auto all = [](const std::string& digits, const std::string& allowed) {
    return digits.find_first_not_of(allowed) == std::string::npos;
  };
  const std::string hex = "0123456789abcdefABCDEF";
  if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    if (all(value.substr(2), hex)) return 0u;
    return std::nullopt;
  }
  std::uint32_t number = 0;  // the server's arithmetic wraps; the low 32 bits are what counts
  if (value[0] == '0' && all(value, hex)) {
    for (char c : value) number = number * 16 + static_cast<std::uint32_t>(hexDigit(c));
    return number;
  }
  if (value[0] >= '0' && value[0] <= '9' && all(value, "0123456789.")) {
    for (char c : value) {
      if (c != '.') number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number;
  }
  return std::nullopt;
}

namespace {

bool isServerSpace(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\xA0';
}

bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isServerSpace(text[begin])) ++begin;
  while (end > begin && isServerSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string privReport(std::uint32_t bits, const std::string& header) {
  char line[64];
  std::snprintf(line, sizeof line, "PRIV %lx found. Varmo=", static_cast<unsigned long>(bits));
  return line + header + "\n";
}

// The report of a privilege line of a checked section, the server's text of the line given, its
// key at keyAt; nothing for any other line.
std::string privilegeReport(const std::string& text, std::size_t keyAt, const std::string& header) {
  std::string lowered;
  for (char c : text.substr(keyAt)) lowered += lower(c);
  // The key is matched before the comment is cut: PLEVEL// is a PLEVEL line as much as PLEVEL is.
  auto keyIs = [&](const std::string& key) {
    return lowered.rfind(key, 0) == 0 &&
           (lowered.size() == key.size() || !isWordByte(lowered[key.size()]));
  };
  if (keyIs("plevel")) return "PLEVEL found. Varmo=" + header + "\n";
  // A setting ends at a "//" comment, and its white space at the end is no part of it.
  std::string line = text.substr(0, text.find("//"));
  while (line.size() > keyAt && isServerSpace(line.back())) line.pop_back();
  if (!keyIs("priv")) return "";
  auto isSeparator = [](char c) { return c == '=' || c == ',' || c == ' ' || c == '\t'; };
  std::size_t at = keyAt + 4;
  bool plainKey = at == line.size() || isSeparator(line[at]);
  while (at < line.size() && !isSeparator(line[at])) ++at;
  if (at < line.size()) {
    bool blank = line[at] == ' ' || line[at] == '\t';
    ++at;
    if (blank) {
      while (at < line.size() && isServerSpace(line[at])) ++at;
      if (at < line.size() && (line[at] == '=' || line[at] == ',')) ++at;
    }
  }
  std::size_t valueAt = at;
  while (valueAt < line.size() && isServerSpace(line[valueAt])) ++valueAt;
  std::string value = trimmed(line.substr(at));
  // The filter's own reading looks no further than the line's first 254 characters.
  std::uint32_t own = privValue(valueAt < 254 ? value.substr(0, 254 - valueAt) : "");
  if ((own & ~std::uint32_t{0x1040}) != 0) return privReport(own, header);
  std::optional<std::uint32_t> server = serverNumber(value);
  if (!plainKey || !server) return privReport(own, header);
  if ((*server & ~std::uint32_t{0x1040}) != 0) return privReport(*server, header);
  return "";
}

// The lines of a file as its pieces make them up: each piece that does not begin a line joins
// the one before.
std::vector<std::string> lines(const std::string& file) {
  std::vector<std::string> out;
  for (const Piece& piece : pieces(file)) {
    if (piece.startsLine) {
      out.push_back(piece.text);
    } else {
      out.back() += piece.text;
    }
  }
  return out;
}

}  // namespace

ScanOutcome scan(const std::string& accounts, const std::string& gmListFile) {
  std::vector<std::string> names = gmNames(gmListFile).value_or(std::vector<std::string>{});
  if (isUtf16(accounts)) return {"", "", -1};
  ScanOutcome out{"", "", 0};
  if (accounts.rfind(kUtf8Mark, 0) == 0) out.output = kUtf8Mark;
  Header state = Header::Ordinary;  // before the first header: checked
  std::string header;
  bool removing = false;  // in a section whose header went
  for (const std::string& line : lines(afterMark(accounts))) {
    // The line as the copy holds it, as the server reads it: 4095 bytes at a time, each part's
    // text ending before the copy's CR LF.
    std::string copy;
    for (char c : line) copy += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::size_t textEnd = line.empty() || line.back() != '\n' ? line.size() : line.size() - 1;
    std::string report;
    bool opened = false;
    for (std::size_t at = 0; at < copy.size(); at += 4095) {
      std::string text =
          copy.substr(at, at < textEnd ? std::min<std::size_t>(4095, textEnd - at) : 0);
      text = upTo(text, std::string("\0", 1));
      std::string got;
      std::size_t keyAt = 0;
      while (keyAt < text.size() && isServerSpace(text[keyAt])) ++keyAt;
      if (!text.empty() && text[0] == '[') {
        std::string line = upTo(text, "\r");
        header = line.substr(0, 63);
        state = classifyHeader(line, names);
        opened = true;
        if (state == Header::Broken) got = "File is BROKEN! (" + line.substr(0, 254) + ")\n";
        // A line that begins with "[" opens a section or begins a removed one; so does a
        // broken header anywhere.
        if (at == 0 || state == Header::Broken) removing = state == Header::Broken;
      } else if (keyAt < text.size() && text[keyAt] == '[') {
        header = text.substr(0, text.find('\r', keyAt)).substr(0, 63);
        state = Header::Ordinary;
        opened = true;
      } else if (state != Header::Staff) {
        got = privilegeReport(text, keyAt, header);
      }
      if (report.empty()) report = got;
    }
    if (!report.empty()) {
      out.reports += report;
      ++out.violations;
      // The sections the line opened go with it; the lines after it are checked.
      if (opened) removing = true;
      state = Header::Ordinary;
    }
    if (!report.empty() || removing) continue;
    for (char c : line) {
      if (c == '\n') out.output += '\r';
      out.output += c;
    }
  }
  return out;
}

}  // namespace reference
