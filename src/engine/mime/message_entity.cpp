#include "engine/mime/message_entity.h"

#include <algorithm>

#include "engine/common/ascii.h"
#include "engine/mime/content_fields.h"

namespace vesk {

MessageEntity::MessageEntity(TextMode text_mode) : text_mode_(std::move(text_mode)) { Reset(); }

MessageEntity::~MessageEntity() {
  // The list may outlive the message in the hands of a dictionary object.
  headers_->ClearHook();
  DropBindings();
}

namespace {

bool FieldsDeclareUtf8(const FieldList& fields) {
  for (size_t i = 0; i < fields.Count(); ++i) {
    const std::string& value = fields.At(i)->stored_value();
    for (size_t at = value.find("=?"); at != std::string::npos; at = value.find("=?", at + 2)) {
      if (value.size() - at >= 8 && EqualsIgnoringAsciiCase(std::string_view(value).substr(at + 2, 6), "utf-8?")) {
        return true;
      }
    }
    const bool eight_bit =
        std::any_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (eight_bit && IsUtf8(value)) return true;
  }
  return false;
}

bool PartDeclaresUtf8(MimePart& part) {
  if (!part.headers_shared() && FieldsDeclareUtf8(*part.headers())) return true;
  const BodyContent body = part.GetBody();
  if (body.leaf) {
    std::string charset;
    return (part.type().empty() || EqualsIgnoringAsciiCase(part.type(), "text")) &&
           GetParameter(*part.content_type_parameters(), "charset", charset) &&
           (EqualsIgnoringAsciiCase(charset, "utf-8") || EqualsIgnoringAsciiCase(charset, "utf8"));
  }
  if (body.message) return body.message->DeclaresUtf8Text();
  if (body.parts) {
    for (size_t i = 0; i < body.parts->Count(); ++i) {
      if (PartDeclaresUtf8(*body.parts->At(i))) return true;
    }
  }
  return false;
}

}  // namespace

bool MessageEntity::DeclaresUtf8Text() {
  const Ref<MimePart> root = root_;
  return FieldsDeclareUtf8(*headers_) || PartDeclaresUtf8(*root);
}

void MessageEntity::DropBindings() {
  for (auto& binding : bindings_) binding.second->set_owner(nullptr);
  bindings_.clear();
}

void MessageEntity::ListGainedEntries(AddressList& list) {
  for (const auto& binding : bindings_) {
    if (binding.second.get() == &list && !headers_->Find(binding.first)) headers_->AddEmpty(binding.first);
  }
}

void MessageEntity::Reset() {
  if (headers_) headers_->ClearHook();
  headers_ = MakeRef<FieldList>();
  headers_->SetHook(&MessageEntity::HeaderHook, this);
  DropBindings();
  root_ = MakeRef<MimePart>();
  root_->ReplaceHeaderList(headers_, true);
}

Ref<MimePart> MessageEntity::EnsureMultipartMixedRoot() {
  root_ = EnsureMultipartMixed(root_);
  return root_;
}

Ref<ContentBuffer> MessageEntity::GetOrCreateMainText() {
  Ref<MimePart> root = root_;
  Ref<ContentBuffer> content = vesk::GetOrCreateMainText(root);
  root_ = root;
  return content;
}

std::vector<std::pair<std::string, Ref<AddressList>>>::iterator MessageEntity::FindBinding(std::string_view name) {
  for (auto it = bindings_.begin(); it != bindings_.end(); ++it) {
    if (EqualsIgnoringAsciiCase(it->first, name)) return it;
  }
  return bindings_.end();
}

Ref<AddressList> MessageEntity::FindAddressList(std::string_view name, bool create) {
  if (const auto found = FindBinding(name); found != bindings_.end()) return found->second;
  if (!create) return {};
  Ref<AddressList> list = MakeRef<AddressList>();
  std::string value;
  if (headers_->Get(name, value)) {
    list->SetText(std::move(value));
  } else {
    list->set_owner(this);
  }
  bindings_.emplace_back(std::string(name), list);
  return list;
}

int MessageEntity::HeaderHook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode,
                              const TextMode& text_mode) {
  return static_cast<MessageEntity*>(context)->OnHeaderField(list, position, text, mode, text_mode);
}

int MessageEntity::OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode,
                                 const TextMode& text_mode) {
  // The root part may be swapped by its own hook's effects; keep it alive.
  const Ref<MimePart> root = root_;
  if (root && root->OnHeaderField(list, position, text, mode, text_mode)) return 1;
  const auto binding = FindBinding(list.At(position)->name());
  if (binding == bindings_.end()) return 0;
  if (mode == HookMode::kRead) {
    text = binding->second->RenderedText();
  } else {
    // A new value replaces the list: whoever still holds it keeps it, but it
    // no longer belongs to the message; the next lookup parses the new text.
    binding->second->set_owner(nullptr);
    bindings_.erase(binding);
  }
  return 1;
}

}  // namespace vesk
