// Fuzzes the readers of IMAP4 server responses and the quoting of names.
//
// 1. Any response (the input cut at 0x01 bytes into lines, each line but the
//    last followed by a literal cut off at the next 0x02 byte) can be read by
//    every reader, whatever it holds.
// 2. Any name without CR, LF or NUL, written as the client writes command
//    arguments, reads back unchanged as the name of a LIST response: quoting
//    and reading agree, so no name can lose or gain characters on the way.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/protocols/imap_responses.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

vesk::ImapResponse ResponseFrom(std::string_view input) {
  vesk::ImapResponse response;
  while (!input.empty()) {
    const std::size_t cut = input.find('\x01');
    response.text.append(input.substr(0, cut));
    if (cut == std::string_view::npos) break;
    input.remove_prefix(cut + 1);
    const std::size_t end = input.find('\x02');
    response.literals.emplace_back(input.substr(0, end));
    response.literal_ends.push_back(response.text.size());
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  }
  return response;
}

void ReadEverything(const vesk::ImapResponse& response) {
  std::int32_t a = 0, b = 0, c = 0;
  vesk::ReadMailboxCounters(response.text, a, b, c);
  (void)vesk::ReadStatusCounts(response, a, b);
  std::vector<std::int32_t> numbers;
  (void)vesk::ReadSearchNumbers(response.text, numbers);
  vesk::ImapListEntry entry;
  (void)vesk::ReadListEntry(response, entry);
  vesk::ImapFetch fetch;
  if (vesk::ReadFetch(response, fetch)) {
    for (const vesk::ImapFetchItem& item : fetch.items) (void)vesk::ReadFlagBits(item.value);
  }
  std::uint64_t count = 0;
  (void)vesk::FindLiteralAnnouncement(response.text, count);
  std::string_view rest = response.text;
  (void)vesk::ReadCNumber(rest, a);
}

void CheckQuotedNamesReadBack(std::string_view input) {
  std::string name(input);
  for (char& c : name) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  Require(!vesk::HasLineBreakOrNul(name));
  vesk::ImapResponse response;
  response.text = "* LIST (\\HasNoChildren) \"/\" " + vesk::ImapAstring(name);
  vesk::ImapListEntry entry;
  Require(vesk::ReadListEntry(response, entry));
  Require(entry.delimiter == "/");
  Require(entry.name == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ReadEverything(ResponseFrom(input));
  CheckQuotedNamesReadBack(input);
  return 0;
}
