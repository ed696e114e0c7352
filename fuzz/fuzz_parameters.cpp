// Parameters of Content-Type and Content-Disposition (RFC 2045, RFC 2231):
// any text is taken apart without harm and its parameters read in every
// form; a file name (any bytes but line breaks) written into a field reads
// back as the same name, and the field read back composes to the same text.
#include <string>
#include <string_view>

#include "engine/mime/content_fields.h"
#include "engine/mime/field_list.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vesk::Ref<vesk::FieldList> parsed = vesk::MakeRef<vesk::FieldList>();
  vesk::ParseParameters(text, 0, *parsed);
  std::string value;
  std::string charset;
  for (const std::string& name : parsed->Names()) vesk::GetParameter(*parsed, name, value, &charset);
  vesk::GetParameter(*parsed, "filename", value, &charset);

  if (text.find_first_of("\r\n") != std::string_view::npos) return 0;
  const vesk::Ref<vesk::FieldList> written = vesk::MakeRef<vesk::FieldList>();
  written->Set("filename", text);
  const std::string composed = vesk::ComposeContentDisposition("attachment", *written, vesk::DefaultTextMode());
  const std::string unfolded = vesk::Unfolded(composed);
  const vesk::Ref<vesk::FieldList> reread = vesk::MakeRef<vesk::FieldList>();
  vesk::ParseParameters(unfolded, unfolded.find(';') + 1, *reread);
  vesk::fuzz::Check(vesk::GetParameter(*reread, "filename", value, &charset) && value == text,
                    "a written file name reads back as it was");
  vesk::fuzz::Check(vesk::ComposeContentDisposition("attachment", *reread, vesk::DefaultTextMode()) == composed,
                    "a field read back composes to the same text");
  return 0;
}
