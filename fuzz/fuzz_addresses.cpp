// Fuzzes the splitting and parsing of address header values.
//
// 1. Any header value: every entry can be read, and a list nobody changed
//    renders byte for byte as the value it was given.
// 2. The input cut at 0x01 bytes gives display names; a list of entries with
//    those names renders to a value that reads back as the same entries
//    (names lose only trailing white space), so no name can add, drop or
//    merge entries.
// 3. The same list as it goes on the wire (display names outside ASCII as
//    encoded-words) is ASCII and reads back as the same entries, its names
//    decoded; names with line breaks are left out (a header cannot keep them).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mime/addresses.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/idna.h"

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
  for (const std::string& name : names) {
    if (name.find_first_of("\r\n") != std::string::npos) return;
  }
  const std::string wire = vesk::WireHeaderValue("To", written.RenderedText(), vesk::DefaultTextMode());
  // Names that are not UTF-8 cannot go as encoded-words labelled utf-8: the
  // value goes as it stands.
  for (const std::string& name : names) {
    if (!vesk::DecodeUtf8(name)) return Require(wire == written.RenderedText());
  }
  for (const char c : wire) Require(static_cast<unsigned char>(c) < 0x80);
  vesk::AddressList from_wire(wire);
  Require(from_wire.Count() == names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    vesk::Ref<vesk::AddressItem> item = from_wire.Item(i);
    std::string decoded;
    for (const vesk::HeaderTextRun& run : vesk::DecodeEncodedWords(item->Name())) decoded += run.bytes;
    bool ascii = true;
    for (const char c : names[i]) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    Require((ascii ? item->Name() : decoded) == WithoutTrailingWhiteSpace(names[i]));
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
