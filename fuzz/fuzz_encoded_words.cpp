// Encoded-words: any header text reads without harm, and a subject written
// for the wire reads back as the text it was (for text that holds no line
// break and nothing that looks like an encoded-word already).
#include <string>
#include <string_view>

#include "engine/mime/encoded_words.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const vesk::HeaderTextRun& run : vesk::DecodeEncodedWords(text)) {
    vesk::fuzz::Check(run.charset.empty() || !run.original.empty(), "an encoded run keeps its words");
  }
  if (text.find("=?") != std::string_view::npos || text.find_first_of("\r\n") != std::string_view::npos) return 0;
  std::string back;
  const std::string wire = vesk::WireHeaderValue("Subject", text, vesk::DefaultTextMode());
  for (const vesk::HeaderTextRun& run : vesk::DecodeEncodedWords(wire)) {
    back += run.bytes;
  }
  vesk::fuzz::Check(back == text, "a subject written for the wire reads back as it was");
  return 0;
}
