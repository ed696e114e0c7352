#include "engine/mailapi/set_apart.h"

#include <algorithm>

#include "engine/common/ascii.h"

#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"

namespace vesk::mailapi {
namespace {

struct Candidate {
  Ref<PartList> parent;
  Ref<MimePart> part;
  size_t size = 0;
};

// Leaves below the root that a reader shows as attachments: a file name, or
// a disposition of "attachment". Embedded messages are not looked into.
void CollectAttachments(const Ref<MimePart>& part, std::vector<Candidate>& found) {
  const Ref<PartList> children = part->parts();
  if (!children) return;
  for (size_t i = 0; i < children->Count(); ++i) {
    const Ref<MimePart>& child = children->At(i);
    if (child->body_kind() == BodyKind::kMultipart) {
      CollectAttachments(child, found);
    } else if (child->body_kind() == BodyKind::kLeaf &&
               (!child->FileName().empty() || EqualsIgnoringAsciiCase(child->disposition(), "attachment"))) {
      // An empty one would make nothing smaller.
      const Ref<ContentBuffer> content = child->content();
      if (content && !content->empty()) found.push_back({children, child, content->size()});
    }
  }
}

// The length of `size` bytes as one run of base64, as the request carries it.
constexpr size_t Base64RunSize(size_t size) { return (size + 2) / 3 * 4; }

std::string Render(MessageEntity& message) {
  StringStream out;
  WriteMessage(out, message);
  return out.TakeText();
}

SetApartAttachment TakeOut(const Candidate& candidate) {
  MimePart& part = *candidate.part;
  SetApartAttachment taken;
  taken.name = part.FileName();
  if (taken.name.empty()) taken.name = "attachment";
  taken.content_type = part.type().empty() ? "application/octet-stream" : part.type() + "/" + part.subtype();
  std::string id;
  if (part.headers()->Get("Content-ID", id)) {
    const size_t open = id.find('<'), close = id.rfind('>');
    taken.content_id = open != std::string::npos && close != std::string::npos && close > open
                           ? id.substr(open + 1, close - open - 1)
                           : id;
  }
  taken.is_inline = EqualsIgnoringAsciiCase(part.disposition(), "inline");
  if (const Ref<ContentBuffer> content = part.content()) taken.bytes.assign(content->view());
  PartList& parent = *candidate.parent;
  for (size_t i = 0; i < parent.Count(); ++i) {
    if (parent.At(i).get() == candidate.part.get()) {
      parent.RemoveAt(i);
      break;
    }
  }
  return taken;
}

}  // namespace

bool SetAttachmentsApart(std::string& mime, size_t always_over, size_t base64_limit,
                         std::vector<SetApartAttachment>& apart) {
  apart.clear();
  const Ref<MessageEntity> message(new MessageEntity());
  StringStream in{std::string_view(mime)};
  ReadMessage(in, *message);
  std::vector<Candidate> candidates;
  CollectAttachments(message->root(), candidates);
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.size > b.size; });
  size_t taken = 0;
  while (taken < candidates.size() && candidates[taken].size > always_over) apart.push_back(TakeOut(candidates[taken++]));
  std::string rest = Render(*message);
  while (Base64RunSize(rest.size()) > base64_limit) {
    if (taken == candidates.size()) {
      apart.clear();
      return false;
    }
    // Take out as many as should make it fit before writing it again.
    size_t expected = rest.size();
    do {
      expected -= std::min(expected, Base64EncodedSize(candidates[taken].size));
      apart.push_back(TakeOut(candidates[taken++]));
    } while (taken < candidates.size() && Base64RunSize(expected) > base64_limit);
    rest = Render(*message);
  }
  mime = std::move(rest);
  return true;
}

}  // namespace vesk::mailapi
