#pragma once

// Helpers for the MIME model tests: parsing and rendering through string
// streams, and a text dump of a whole tree that two trees can be compared by.

#include <string>
#include <string_view>
#include <type_traits>

#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/streams/string_stream.h"

namespace vesk::testing {

inline Ref<MessageEntity> ParseMessage(std::string_view text) {
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  StringStream stream{std::string(text)};
  ReadMessage(stream, *message);
  return message;
}

template <class Entity>  // a MessageEntity or a MimePart
std::string Render(Entity& entity) {
  StringStream out;
  if constexpr (std::is_same_v<Entity, MimePart>) {
    WritePart(out, entity);
  } else {
    WriteMessage(out, entity);
  }
  return out.TakeText();
}

inline void DumpFields(FieldList& list, const std::string& indent, std::string& out) {
  for (size_t i = 0; i < list.Count(); ++i) {
    out += indent + "[" + list.At(i)->name() + "] = [" + list.At(i)->ReadValue() + "]\n";
  }
}

// Everything the model holds about a part and its descendants, one item a line.
inline void DumpPart(MimePart& part, const std::string& indent, std::string& out) {
  out += indent + "part " + part.type() + "/" + part.subtype() + " disposition=" + part.disposition() +
         " kind=" + std::to_string(static_cast<int>(part.body_kind())) + "\n";
  DumpFields(*part.content_type_parameters(), indent + "  param ", out);
  DumpFields(*part.disposition_parameters(), indent + "  dparam ", out);
  if (!part.headers_shared()) DumpFields(*part.headers(), indent + "  header ", out);
  const BodyContent body = part.GetBody();
  if (body.leaf) out += indent + "  content [" + std::string(body.leaf->view()) + "]\n";
  if (body.parts) {
    out += indent + "  preamble [" + body.parts->preamble() + "]\n";
    for (size_t i = 0; i < body.parts->Count(); ++i) DumpPart(*body.parts->At(i), indent + "    ", out);
  }
  if (body.message) {
    DumpFields(*body.message->headers(), indent + "  message header ", out);
    DumpPart(*body.message->root(), indent + "    ", out);
  }
}

inline std::string Dump(MessageEntity& message) {
  std::string out;
  DumpFields(*message.headers(), "header ", out);
  DumpPart(*message.root(), "", out);
  return out;
}

inline std::string Dump(MimePart& part) {
  std::string out;
  DumpPart(part, "", out);
  return out;
}

}  // namespace vesk::testing
