// libFuzzer target: the PRIV value and the header rules, differential against the rules as they
// are written down (reference.h). Input: a GM list's length, the list, then text taken both as a
// PRIV value and, behind a "[", as a header line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/priv.h"
#include "filter/section.h"
#include "reference.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

reference::Header kindOf(SectionState state) {
  switch (state) {
    case SectionState::Staff:
      return reference::Header::Staff;
    case SectionState::Ordinary:
      return reference::Header::Ordinary;
    case SectionState::Broken:
      break;
  }
  return reference::Header::Broken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t gmSize = data[0] < size - 1 ? data[0] : size - 1;
  std::string gm(reinterpret_cast<const char*>(data) + 1, gmSize);
  std::string rest(reinterpret_cast<const char*>(data) + 1 + gmSize, size - 1 - gmSize);
  // As the scan hands them over: text ends at its line end, and a NUL ends it for every test.
  std::string text = rest.substr(0, rest.find_first_of(std::string("\r\n\0", 3)));

  check(parsePrivValue(text.data(), text.size()) == reference::privValue(text),
        "the PRIV value is the server's");

  std::optional<std::vector<std::string>> names = reference::gmNames(gm);
  if (!names) return 0;
  GmList list;
  testing_util::StringSource source(gm);
  check(readGmList(source, list, 512).ok(), "the list loads");
  std::string header = "[" + text;
  check(kindOf(classifySection(header, list)) == reference::classifyHeader(header, *names),
        "the header is classified by its rules");
  return 0;
}
