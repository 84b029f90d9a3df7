// libFuzzer target: the PRIV value (as the filter reads it, and as the server does) and the
// header rules, differential against the rules as they are written down (reference.h). Input: a
// GM list's length, the list, then text taken both as a PRIV value and, behind a "[", as a header
// line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/priv.h"
#include "filter/section.h"
#include "fuzz/fuzz_input.h"
#include "reference.h"
#include "roster/gm_list.h"
#include "test_util.h"

namespace {

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
  auto [gm, rest] = fuzz::splitInput(data, size);
  // As the scan hands them over: text ends at its line end, and a NUL ends it for every test.
  std::string text = rest.substr(0, rest.find_first_of(std::string("\r\n\0", 3)));

  fuzz::check(parsePrivValue(text.data(), text.size()) == reference::privValue(text),
              "the PRIV value is read as the filter always has");
  std::uint32_t bits = 0;
  std::optional<std::uint32_t> server = reference::serverNumber(text);
  fuzz::check(readServerNumber(text, bits) == server.has_value() && bits == server.value_or(0),
              "a plain PRIV number is the server's");

  std::optional<std::vector<std::string>> names = reference::gmNames(gm);
  if (!names) return 0;
  GmList list;
  testing_util::StringSource source(gm);
  fuzz::check(readGmList(source, list, 512).ok(), "the list loads");
  std::string header = "[" + text;
  fuzz::check(kindOf(classifySection(header, list)) == reference::classifyHeader(header, *names),
              "the header is classified by its rules");
  return 0;
}
