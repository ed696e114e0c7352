#pragma once

// Helpers for the MIME model tests: parsing and rendering through string
// streams, making parts, and a text dump of a whole tree that two trees can
// be compared by.

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"

namespace vesk::testing {

inline Ref<MessageEntity> ParseMessage(std::string_view text) {
  Ref<MessageEntity> message = MakeRef<MessageEntity>();
  StringStream stream{std::string(text)};
  ReadMessage(stream, *message);
  return message;
}

template <class Entity>  // a MessageEntity or a MimePart
std::string Render(Entity& entity, const WriteOptions& options = {}) {
  StringStream out;
  if constexpr (std::is_same_v<Entity, MimePart>) {
    WritePart(out, entity, options);
  } else {
    WriteMessage(out, entity, options);
  }
  return out.TakeText();
}

// The header block of written text, without its empty line, and the body after it.
inline std::string HeaderOf(std::string_view text) { return std::string(text.substr(0, text.find("\r\n\r\n"))); }
inline std::string BodyOf(std::string_view text) { return std::string(text.substr(text.find("\r\n\r\n") + 4)); }

// The value of a field that must be there.
inline std::string FieldValue(FieldList& list, std::string_view name) {
  std::string value;
  EXPECT_TRUE(list.Get(name, value)) << name;
  return value;
}

inline Ref<MimePart> MakePart(std::string_view type, std::string_view subtype, std::string_view boundary = "") {
  Ref<MimePart> part = MakeRef<MimePart>();
  if (!boundary.empty()) part->content_type_parameters()->Set("boundary", boundary);
  part->SetType(type);
  part->SetSubtype(subtype);
  return part;
}

inline Ref<MimePart> AttachmentNamed(std::string_view name) {
  const Ref<MimePart> part = MakePart("application", "pdf");
  part->SetDisposition("attachment");
  part->disposition_parameters()->Set("filename", name);
  return part;
}

// Content in base64 or quoted-printable as the encoder writes it.
inline std::string EncodedAs(TransferEncoding encoding, std::string_view content) {
  std::string out;
  const auto* data = reinterpret_cast<const uint8_t*>(content.data());
  if (encoding == TransferEncoding::kBase64) EncodeBase64(data, content.size(), out);
  if (encoding == TransferEncoding::kQuotedPrintable) EncodeQuotedPrintable(data, content.size(), out);
  return out;
}

using Fields = std::vector<std::pair<std::string, std::string>>;  // name, value

inline Fields AllFields(FieldList& list) {
  Fields fields;
  for (size_t i = 0; i < list.Count(); ++i) fields.emplace_back(list.At(i)->name(), list.At(i)->ReadValue());
  return fields;
}

inline void DumpFields(FieldList& list, const std::string& indent, std::string& out) {
  for (const auto& [name, value] : AllFields(list)) out += indent + "[" + name + "] = [" + value + "]\n";
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
