// Mailbox names in modified UTF-7: whatever a caller gives encodes into a
// name that decodes, and UTF-8 text comes back exactly; any wire text decodes
// or is refused without harm, and what decodes encodes to a name that decodes
// to the same text.
#include <string>
#include <string_view>

#include "engine/protocols/imap_mailbox_names.h"
#include "fuzz_support.h"

namespace {

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string wire = vesk::EncodeMailboxName(input);
  std::string back;
  vesk::fuzz::Check(vesk::DecodeMailboxName(wire, back), "an encoded name decodes");
  if (IsUtf8(input)) vesk::fuzz::Check(back == input, "UTF-8 names come back exactly");
  std::string decoded;
  if (vesk::DecodeMailboxName(input, decoded)) {
    std::string again;
    vesk::fuzz::Check(vesk::DecodeMailboxName(vesk::EncodeMailboxName(decoded), again) && again == decoded,
                      "decoded names encode and decode to themselves");
  }
  return 0;
}
