// Fuzzes the splitting and parsing of address header values.
//
// 1. Any header value: every entry can be read, and a list nobody changed
//    renders byte for byte as the value it was given.
// 2. The input cut at 0x01 bytes gives display names; a list of entries with
//    those names renders to a value that reads back as the same entries
//    (names lose only trailing white space), so no name can add, drop or
//    merge entries.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mime/addresses.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string WithoutTrailingWhiteSpace(std::string text) {
  while (!text.empty() && std::string_view(" \t\n\v\f\r").find(text.back()) != std::string_view::npos) {
    text.pop_back();
  }
  return text;
}

void CheckUntouchedListKeepsItsText(const std::string& header) {
  vesk::AddressList list(header);
  const std::size_t count = list.Count();
  for (std::size_t i = 0; i < count; ++i) {
    vesk::Ref<vesk::AddressItem> item = list.Item(i);
    (void)item->Name();
    (void)item->Address();
    (void)vesk::CheckAddressSyntax(item->Address());
  }
  Require(!list.IsChanged());
  Require(list.RenderedText() == header);
}

void CheckNamesCannotChangeTheEntries(std::string_view data) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (names.size() < 8) {
    std::size_t cut = data.find('\x01', start);
    names.emplace_back(data.substr(start, cut == std::string_view::npos ? cut : cut - start));
    if (cut == std::string_view::npos) break;
    start = cut + 1;
  }
  vesk::AddressList written;
  for (const std::string& name : names) {
    vesk::Ref<vesk::AddressItem> item = written.Add();
    item->SetName(name);
    item->SetAddress("x@y.zz");
  }
  vesk::AddressList reread(written.RenderedText());
  Require(reread.Count() == names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    vesk::Ref<vesk::AddressItem> item = reread.Item(i);
    Require(item->Name() == WithoutTrailingWhiteSpace(names[i]));
    Require(item->Address() == "x@y.zz");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckUntouchedListKeepsItsText(text);
  CheckNamesCannotChangeTheEntries(text);
  return 0;
}
