#include "engine/mime/attachment_list.h"

#include "engine/common/ascii.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/text_mode.h"
#include "engine/platform/file_types.h"

namespace vesk {

bool IsAttachmentPart(const MimePart& part) {
  return part.body_kind() == BodyKind::kLeaf && part.disposition() == "attachment";
}

std::string FileNameOfPath(std::string_view path) {
  const size_t separator = path.find_last_of("\\/");
  return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

bool AttachmentList::RootIsMultipart() const { return message_->root()->body_kind() == BodyKind::kMultipart; }

std::vector<Ref<MimePart>> AttachmentList::Snapshot() const {
  std::vector<Ref<MimePart>> attachments;
  const Ref<PartList> children = message_->root()->parts();
  if (!children) return attachments;
  for (size_t i = 0; i < children->Count(); ++i) {
    if (IsAttachmentPart(*children->At(i))) attachments.push_back(children->At(i));
  }
  return attachments;
}

size_t AttachmentList::Count() const { return Snapshot().size(); }

Ref<MimePart> AttachmentList::Item(size_t position) const {
  std::vector<Ref<MimePart>> attachments = Snapshot();
  if (position < 1 || position > attachments.size()) return {};
  return attachments[position - 1];
}

Ref<MimePart> AttachmentList::Add() {
  const Ref<MimePart> root = message_->EnsureMultipartMixedRoot();
  Ref<MimePart> part = MakeRef<MimePart>();
  part->SetDisposition("attachment");
  root->parts()->Append(part);
  return part;
}

bool AttachmentList::Remove(size_t position) {
  const Ref<PartList> children = message_->root()->parts();
  if (!children || position < 1) return false;
  size_t seen = 0;
  for (size_t i = 0; i < children->Count(); ++i) {
    if (IsAttachmentPart(*children->At(i)) && ++seen == position) return children->RemoveAt(i);
  }
  return false;
}

void AttachmentList::Clear() {
  const Ref<PartList> children = message_->root()->parts();
  if (!children) return;
  for (size_t i = 0; i < children->Count();) {
    if (IsAttachmentPart(*children->At(i))) {
      children->RemoveAt(i);
    } else {
      ++i;
    }
  }
}

bool AttachmentList::AttachFile(const std::string& path) {
  // The file is read before the message is touched: a file that cannot be
  // read leaves no empty attachment behind.
  const Ref<MimePart> part = MakeFilePart(path, "attachment", message_->text_mode());
  if (!part) return false;
  message_->EnsureMultipartMixedRoot()->parts()->Append(part);
  return true;
}

Ref<MimePart> MakeFilePart(const std::string& path, std::string_view disposition, const TextMode& text_mode) {
  ByteBuffer bytes;
  if (!bytes.LoadFromFile(path)) return {};
  const Ref<MimePart> part = MakeRef<MimePart>();
  const std::string file_name = FileNameOfPath(path);
  // Fields come out in the order they were first needed: Content-Disposition,
  // Content-Type, Content-Transfer-Encoding.
  part->SetDisposition(disposition);

  // The type comes from the extension: the text after the last period of the
  // whole path, as the system registers it. A type that would give the part
  // a multipart or message body could not hold the file's bytes, so such a
  // registration counts as none.
  std::string content_type;
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || !ContentTypeForExtension(std::string_view(path).substr(dot), content_type)) {
    content_type = "application/octet-stream";
  }
  const size_t slash = content_type.find('/');
  std::string_view type = std::string_view(content_type).substr(0, slash);
  if (EqualsIgnoringAsciiCase(type, "multipart") || EqualsIgnoringAsciiCase(type, "message")) {
    content_type = "application/octet-stream";
  }
  const size_t split = content_type.find('/');
  part->SetType(std::string_view(content_type).substr(0, split));
  part->SetSubtype(split == std::string::npos ? std::string_view() : std::string_view(content_type).substr(split + 1));

  part->SetTransferEncoding("base64");
  // The name as the caller's text when it has a place there; otherwise in
  // the extended form (RFC 2231), so that every character survives.
  std::string narrow;
  if (text_mode.FromUtf8(file_name, narrow)) {
    part->disposition_parameters()->Set("filename", narrow);
    part->content_type_parameters()->Set("name", narrow);
  } else {
    const std::string extended = ExtendedParameterValue(file_name);
    part->disposition_parameters()->Set("filename*", extended);
    part->content_type_parameters()->Set("name*", extended);
  }
  static_cast<ByteBuffer&>(*part->content()) = std::move(bytes);
  return part;
}

}  // namespace vesk
