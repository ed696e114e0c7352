// Base64 decoding of arbitrary text; see fuzz_decode_common.h for the checks.

#include "fuzz_decode_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::fuzz::CheckDecoder(data, size, vesk::TransferEncoding::kBase64, vesk::DecodeBase64, vesk::EncodeBase64,
                           true);
  return 0;
}
