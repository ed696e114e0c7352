#pragma once

// The attachments of a message as a list: the direct children of the root
// part that are leaves with the disposition "attachment" (exactly that word),
// while the root is multipart. Nothing is stored apart from the part tree;
// every call looks at the message's current root.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/ref_counted.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"

namespace vesk {

class AttachmentList final : public RefCounted {
 public:
  explicit AttachmentList(Ref<MessageEntity> message) : message_(std::move(message)) {}

  // False when the root is not multipart: there is no list to look into.
  bool RootIsMultipart() const;

  size_t Count() const;
  // The attachment at a position counted from 1; empty when there is none.
  Ref<MimePart> Item(size_t position) const;
  // The attachments as they are now.
  std::vector<Ref<MimePart>> Snapshot() const;

  // A new, empty attachment part appended to the root (made multipart/mixed
  // first when it is not).
  Ref<MimePart> Add();
  // Removes the attachment at a position counted from 1; false when there is
  // none.
  bool Remove(size_t position);
  // Removes every attachment; other children keep their order.
  void Clear();

  // Attaches a file by its physical path (UTF-8): a new attachment part named after
  // the file, typed by its extension, encoded in base64, holding the file's
  // bytes. False when the file cannot be read; the message is left as it was.
  bool AttachFile(const std::string& path);

 private:
  Ref<MessageEntity> message_;
};

// A new part holding the file at a physical path: named after the file (in
// the caller's text of `text_mode` where the name has a place there),
// typed by its extension, encoded in base64, with the given disposition.
// Empty when the file cannot be read.
Ref<MimePart> MakeFilePart(const std::string& path, std::string_view disposition, const TextMode& text_mode);

// Whether a child of the root counts as an attachment.
bool IsAttachmentPart(const MimePart& part);

// The file name of a path (UTF-8): the text after its last backslash or
// slash.
std::string FileNameOfPath(std::string_view path);

}  // namespace vesk
