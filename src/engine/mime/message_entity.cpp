#include "engine/mime/message_entity.h"

#include "engine/common/ascii.h"

namespace vesk {

MessageEntity::MessageEntity() { Reset(); }

MessageEntity::~MessageEntity() {
  // The list may outlive the message in the hands of a dictionary object.
  headers_->ClearHook();
}

void MessageEntity::Reset() {
  if (headers_) headers_->ClearHook();
  headers_ = MakeRef<FieldList>();
  headers_->SetHook(&MessageEntity::HeaderHook, this);
  bindings_.clear();
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
    headers_->AddEmpty(name);
  }
  bindings_.emplace_back(std::string(name), list);
  return list;
}

int MessageEntity::HeaderHook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode) {
  return static_cast<MessageEntity*>(context)->OnHeaderField(list, position, text, mode);
}

int MessageEntity::OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode) {
  // The root part may be swapped by its own hook's effects; keep it alive.
  const Ref<MimePart> root = root_;
  if (root && root->OnHeaderField(list, position, text, mode)) return 1;
  const auto binding = FindBinding(list.At(position)->name());
  if (binding == bindings_.end()) return 0;
  if (mode == HookMode::kRead) {
    text = binding->second->RenderedText();
  } else {
    // A new value replaces the list: whoever still holds it keeps it, but it
    // no longer belongs to the message; the next lookup parses the new text.
    bindings_.erase(binding);
  }
  return 1;
}

}  // namespace vesk
