#include "filter/setting.h"

#include <cstddef>

#include "text/rules.h"

namespace {

bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether key (lower-case) stands at line[at] in any mix of ASCII case and ends a word there: the
// server matches keys by their head, so PLEVEL.x and PLEVEL(1) are PLEVEL, and PLEVELS is not.
bool isKeyAt(std::string_view line, std::size_t at, std::string_view key) {
  if (line.size() - at < key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    char c = line[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != key[i]) return false;
  }
  return at + key.size() == line.size() || !isWordByte(line[at + key.size()]);
}

bool endsKey(char c) {
  return c == '=' || c == ',' || c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && text::isServerSpace(text[begin])) ++begin;
  while (end > begin && text::isServerSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

Setting readSetting(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && text::isServerSpace(line[at])) ++at;
  if (at == line.size()) return {};
  if (line[at] == '[') {
    std::size_t end = line.find(text::kCR, at);
    return {SettingKind::IndentedHeader, line.substr(0, end), true};
  }
  // The server reads a setting up to a "//" comment, less the white space that ends it.
  line = line.substr(0, line.find("//"));
  while (line.size() > at && text::isServerSpace(line.back())) line.remove_suffix(1);
  if (isKeyAt(line, at, "plevel")) return {SettingKind::PrivilegeLevel, {}, true};
  if (!isKeyAt(line, at, "priv")) return {};
  at += 4;
  bool plainKey = at == line.size() || endsKey(line[at]);
  while (at < line.size() && !endsKey(line[at])) ++at;
  if (at < line.size()) {
    // After a blank or tab, more white space and one "=" or "," may follow before the value.
    bool blank = line[at] == ' ' || line[at] == '\t';
    ++at;
    if (blank) {
      while (at < line.size() && text::isServerSpace(line[at])) ++at;
      if (at < line.size() && (line[at] == '=' || line[at] == ',')) ++at;
    }
  }
  return {SettingKind::PrivilegeBits, trimmed(line.substr(at)), plainKey};
}
