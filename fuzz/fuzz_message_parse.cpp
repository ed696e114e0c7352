// Message reading on arbitrary input. Properties:
// - reading the text in place and reading it line by line give the same
//   rendering;
// - a rendering read again renders the same bytes, unless the tree holds one
//   of the shapes that the reading rules themselves cannot give back:
//   (a) a multipart without a boundary parameter (it writes no body, yet its
//       siblings made from its lines are written with delimiter lines of
//       their own);
//   (b) a boundary whose delimiter is a prefix of an enclosing one's, or the
//       other way round (its delimiter lines end the other level);
//   (c) leaf content whose encoded lines begin with an enclosing delimiter
//       (content decoded from quoted-printable may hold such a line, or a
//       soft line break may start one).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"
#include "fuzz_support.h"

namespace {

using vesk::MessageEntity;
using vesk::MimePart;
using vesk::Ref;

std::string Render(MessageEntity& message) {
  vesk::StringStream out;
  vesk::WriteMessage(out, message);
  return out.TakeText();
}

bool LineBeginsWithAny(std::string_view line, const std::vector<std::string>& delimiters) {
  for (const std::string& delimiter : delimiters) {
    if (line.substr(0, delimiter.size()) == delimiter) return true;
  }
  return false;
}

bool EncodedContentCollides(MimePart& part, const std::vector<std::string>& delimiters) {
  if (delimiters.empty()) return false;
  std::string encoding;
  if (!part.GetTransferEncoding(encoding)) encoding = vesk::LeafWireAdditions(part, vesk::DefaultTextMode()).encoding;
  vesk::StringStream out;
  vesk::MakeTransferCodec(encoding)->Encode(out, *part.content());
  vesk::StringStream lines(out.TakeText());
  std::string line;
  while (lines.ReadLine(line)) {
    if (LineBeginsWithAny(line, delimiters)) return true;
  }
  return false;
}

// Whether the tree holds one of the shapes (a) to (c).
bool HasUnstableShape(MimePart& part, std::vector<std::string>& delimiters) {
  const vesk::BodyContent body = part.GetBody();
  if (body.leaf) return EncodedContentCollides(part, delimiters);
  if (body.message) return HasUnstableShape(*body.message->root(), delimiters);
  if (!body.parts) return false;
  std::string boundary;
  if (!part.content_type_parameters()->Get("boundary", boundary)) return true;
  const std::string delimiter = "--" + boundary;
  for (const std::string& outer : delimiters) {
    if (outer.compare(0, delimiter.size(), delimiter) == 0 || delimiter.compare(0, outer.size(), outer) == 0) {
      return true;
    }
  }
  delimiters.push_back(delimiter);
  bool unstable = false;
  for (size_t i = 0; i < body.parts->Count() && !unstable; ++i) {
    unstable = HasUnstableShape(*body.parts->At(i), delimiters);
  }
  delimiters.pop_back();
  return unstable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const Ref<MessageEntity> first = vesk::MakeRef<MessageEntity>();
  vesk::StringStream in_place(input);
  vesk::ReadMessage(in_place, *first);
  const std::string rendered = Render(*first);

  const Ref<MessageEntity> by_lines = vesk::MakeRef<MessageEntity>();
  vesk::fuzz::ByteByByteStream lines(input);
  vesk::ReadMessage(lines, *by_lines);
  vesk::fuzz::Check(Render(*by_lines) == rendered, "in-place and line-by-line reading agree");

  const Ref<MessageEntity> second = vesk::MakeRef<MessageEntity>();
  vesk::StringStream again(rendered);
  vesk::ReadMessage(again, *second);
  const std::string rendered_again = Render(*second);

  std::vector<std::string> delimiters;
  if (!HasUnstableShape(*first->root(), delimiters)) {
    vesk::fuzz::Check(rendered_again == rendered, "a rendering reads back into the same rendering");
  }
  return 0;
}
