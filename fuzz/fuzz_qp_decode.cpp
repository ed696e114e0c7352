// Quoted-printable decoding of arbitrary text; see fuzz_decode_common.h for
// the checks.

#include "fuzz_decode_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::fuzz::CheckDecoder(data, size, vesk::TransferEncoding::kQuotedPrintable, vesk::DecodeQuotedPrintable,
                           vesk::EncodeQuotedPrintable, true);
  return 0;
}
