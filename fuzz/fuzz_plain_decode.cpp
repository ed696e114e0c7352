// Plain decoding of arbitrary text; see fuzz_decode_common.h for the checks.
// Plain encoding is not lossless (CRs before line ends and a missing final
// line end are not kept), so only the agreement of the forms is checked, plus
// a round trip of the decoded bytes, which hold no CR: they come back as they
// were, with an LF added after a last line that had none.

#include "fuzz_decode_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::fuzz::CheckDecoder(data, size, vesk::TransferEncoding::kPlain, vesk::DecodePlain, vesk::EncodePlain, false);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  vesk::ByteBuffer decoded;
  vesk::DecodePlain(input, decoded);
  std::string encoded;
  vesk::EncodePlain(decoded.data(), decoded.size(), encoded);
  vesk::ByteBuffer back;
  vesk::DecodePlain(encoded, back);
  std::string expected(decoded.view());
  if (!expected.empty() && expected.back() != '\n') expected += '\n';
  vesk::fuzz::Check(back.view() == expected, "decoded plain text survives a round trip");
  return 0;
}
