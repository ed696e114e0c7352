// Fuzzes the reader of FETCH BODYSTRUCTURE responses.
//
// 1. Any response (the input cut at 0x01 bytes into lines, each line but the
//    last followed by a literal cut off at the next 0x02 byte) is read
//    without a fault, however deep its lists are nested.
// 2. Every part read has a well-formed part specifier, at most
//    kMaxBodyStructureDepth levels deep, and no two parts share one.
// 3. The same response behind a known FETCH prefix reads the same way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/imap_body_structure.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

vesk::ImapResponse ResponseFrom(std::string_view prefix, std::string_view input) {
  vesk::ImapResponse response;
  response.text = prefix;
  while (!input.empty()) {
    const std::size_t cut = input.find('\x01');
    response.text.append(input.substr(0, cut));
    if (cut == std::string_view::npos) break;
    input.remove_prefix(cut + 1);
    const std::size_t end = input.find('\x02');
    response.literals.emplace_back(input.substr(0, end));
    response.text += "{" + std::to_string(response.literals.back().size()) + "}";
    response.literal_ends.push_back(response.text.size());
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  }
  return response;
}

void CheckParts(const std::vector<vesk::ImapBodyPart>& parts) {
  std::set<std::string> seen;
  for (const vesk::ImapBodyPart& part : parts) {
    Require(vesk::IsPartSection(part.section));
    int levels = 1;
    for (const char c : part.section) levels += c == '.';
    Require(levels <= vesk::kMaxBodyStructureDepth + 1);
    Require(seen.insert(part.section).second);
    Require(part.type.find('/') == std::string::npos || !part.type.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<vesk::ImapBodyPart> parts;
  (void)vesk::ReadBodyStructure(ResponseFrom("", input), parts);
  CheckParts(parts);
  std::vector<vesk::ImapBodyPart> behind_prefix;
  (void)vesk::ReadBodyStructure(ResponseFrom("* 1 FETCH (UID 7 BODYSTRUCTURE ", input), behind_prefix);
  CheckParts(behind_prefix);
  return 0;
}
