// Header block reading on arbitrary input. Properties: the string stream and
// the byte-by-byte reader give the same fields; writing the fields and reading
// them back gives the same fields again; values with line breaks never split a
// field when written.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/mime/field_list.h"
#include "engine/streams/string_stream.h"
#include "fuzz_support.h"

namespace {

using vesk::FieldList;
using vesk::Ref;
using Fields = std::vector<std::pair<std::string, std::string>>;

Fields AllFields(FieldList& list) {
  Fields fields;
  for (size_t i = 0; i < list.Count(); ++i) fields.emplace_back(list.At(i)->name(), list.At(i)->ReadValue());
  return fields;
}

Fields ReadFields(vesk::Stream& stream) {
  const Ref<FieldList> list = vesk::MakeRef<FieldList>();
  list->ReadHeaderBlock(stream);
  return AllFields(*list);
}

std::string Written(const Fields& fields) {
  const Ref<FieldList> list = vesk::MakeRef<FieldList>();
  for (const auto& [name, value] : fields) list->Add(name, value);
  vesk::StringStream out;
  list->WriteHeaderBlock(out, vesk::DefaultTextMode());
  return out.TakeText();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  vesk::StringStream fast{std::string(input)};
  vesk::fuzz::ByteByByteStream shared(input);
  const Fields fields = ReadFields(fast);
  vesk::fuzz::Check(fields == ReadFields(shared), "scanning and shared readers agree");

  vesk::StringStream again(Written(fields) + "\r\n");
  vesk::fuzz::Check(ReadFields(again) == fields, "written fields read back unchanged");

  // The input cut into name/value pairs at NUL bytes: any value, and any name a
  // caller could pass, stays one field.
  Fields made;
  size_t start = 0;
  std::string name;
  bool have_name = false;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) continue;
    std::string piece(input.substr(start, i - start));
    start = i + 1;
    if (!have_name) {
      name = std::move(piece);
      have_name = true;
    } else {
      if (vesk::IsAcceptableFieldName(name) && (name.empty() || (name[0] != ' ' && name[0] != '\t'))) {
        made.emplace_back(name, std::move(piece));
      }
      have_name = false;
    }
  }
  vesk::StringStream reread(Written(made) + "\r\n");
  const Fields back = ReadFields(reread);
  vesk::fuzz::Check(back.size() == made.size(), "each written field reads back as one field");
  for (size_t i = 0; i < back.size(); ++i) {
    vesk::fuzz::Check(back[i].first == made[i].first, "names survive writing");
  }
  return 0;
}
