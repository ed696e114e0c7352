#include "engine/mime/html_text.h"

#include <vector>

#include "engine/common/ascii.h"
#include "engine/mime/attachment_list.h"
#include "engine/mime/mail_dates.h"

namespace vesk {
namespace {

bool Is(const MimePart& part, std::string_view type, std::string_view subtype) {
  return EqualsIgnoringAsciiCase(part.type(), type) && EqualsIgnoringAsciiCase(part.subtype(), subtype);
}

// The multipart part that holds `part`, and its index there; null when
// `part` is the root (or not in the tree).
Ref<MimePart> ParentOf(const Ref<MimePart>& root, const Ref<MimePart>& part, size_t& index) {
  std::vector<Ref<MimePart>> pending{root};
  while (!pending.empty()) {
    const Ref<MimePart> current = std::move(pending.back());
    pending.pop_back();
    const Ref<PartList> children = current->parts();
    if (!children) continue;
    for (size_t i = 0; i < children->Count(); ++i) {
      if (children->At(i).get() == part.get()) {
        index = i;
        return current;
      }
      pending.push_back(children->At(i));
    }
  }
  return {};
}

// Puts a new multipart/<subtype> where `part` stands, holding `part` as its
// first child. The root hands the message's header list to the new part.
Ref<MimePart> WrapWhereItStands(MessageEntity& message, const Ref<MimePart>& part, std::string_view subtype) {
  Ref<MimePart> wrapper = MakeRef<MimePart>();
  wrapper->SetType("multipart");
  wrapper->SetSubtype(subtype);
  size_t index = 0;
  if (const Ref<MimePart> parent = ParentOf(message.root(), part, index)) {
    parent->parts()->RemoveAt(index);
    parent->parts()->Insert(index, wrapper);
    wrapper->parts()->Append(part);
    return wrapper;
  }
  wrapper->parts()->Append(part);
  const Ref<FieldList> headers = part->headers();
  part->ReplaceHeaderList(MakeRef<FieldList>(), false);
  wrapper->ReplaceHeaderList(headers, true);
  message.set_root(wrapper);
  return wrapper;
}

Ref<MimePart> EnsureHtmlPart(MessageEntity& message) {
  if (Ref<MimePart> html = FindHtmlPart(message.root())) return html;
  message.GetOrCreateMainText();
  const Ref<MimePart> alternative = WrapWhereItStands(message, FindMainTextPart(message.root()), "alternative");
  Ref<MimePart> html = MakeRef<MimePart>();
  html->SetType("text");
  html->SetSubtype("html");
  alternative->parts()->Append(html);
  return html;
}

}  // namespace

Ref<MimePart> FindHtmlPart(const Ref<MimePart>& root) {
  std::vector<Ref<MimePart>> pending{root};
  while (!pending.empty()) {
    const Ref<MimePart> part = std::move(pending.back());
    pending.pop_back();
    if (const Ref<PartList> children = part->parts()) {
      for (size_t i = children->Count(); i > 0; --i) pending.push_back(children->At(i - 1));
    } else if (part->content() && Is(*part, "text", "html") && part->disposition() != "attachment") {
      return part;
    }
  }
  return {};
}

void SetHtmlText(MessageEntity& message, std::string_view html) {
  EnsureHtmlPart(message)->content()->Assign(html.data(), html.size());
}

std::string AddRelatedFile(MessageEntity& message, const std::string& path, std::string_view domain) {
  const Ref<MimePart> file = MakeFilePart(path, "inline", message.text_mode());
  if (!file) return {};
  const Ref<MimePart> html = EnsureHtmlPart(message);
  size_t index = 0;
  Ref<MimePart> related = ParentOf(message.root(), html, index);
  if (!related || !Is(*related, "multipart", "related")) related = WrapWhereItStands(message, html, "related");
  std::string id = NewMessageId(domain);
  id = id.substr(1, id.size() - 2);  // without the angle brackets
  file->headers()->Set("Content-ID", "<" + id + ">");
  related->parts()->Append(file);
  return id;
}

}  // namespace vesk
