#pragma once

// A whole message: its header list, the address lists bound to its address
// headers and the root part that carries its body. The reader fills it
// (ReadMessage, mime_reader.h) and the writer writes it (WriteMessage,
// mime_writer.h). The root part shares the
// message's header list, so the live Content-Type and Content-Disposition
// fields of the message header describe the root part. The same model is the
// content of an embedded message/* part.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/common/ref_counted.h"
#include "engine/mime/addresses.h"
#include "engine/mime/field_list.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/text_mode.h"

namespace vesk {

class MessageEntity final : public RefCounted, private AddressListOwner {
 public:
  // An empty header list, no bindings and a new root part without a type;
  // the caller's text in `text_mode`.
  explicit MessageEntity(TextMode text_mode = {});

  // Detaches the header list (anyone still holding it keeps a plain list),
  // drops every binding and starts again with a new list and a new root.
  void Reset();


  const Ref<FieldList>& headers() const { return headers_; }
  const Ref<MimePart>& root() const { return root_; }
  // Makes `part` the root; the part must share this message's header list
  // (as the results of EnsureMultipartMixed and GetOrCreateMainText do).
  void set_root(Ref<MimePart> part) { root_ = std::move(part); }

  // The root after making sure it is multipart/mixed (it may be a new part).
  Ref<MimePart> EnsureMultipartMixedRoot();
  // The content of the main text part, created (and the root replaced) when
  // there is none.
  Ref<ContentBuffer> GetOrCreateMainText();

  // The address list bound to the header `name` (ASCII letter case ignored).
  // When there is none and `create` is set, a new list is bound: it takes the
  // field's current value, or, when there is no such field, the field is
  // appended once the list gains an entry. Null when there is none and
  // `create` is not set.
  Ref<AddressList> FindAddressList(std::string_view name, bool create);
  size_t binding_count() const { return bindings_.size(); }

  // What the caller's text in this message is in (see text_mode.h): the
  // writer converts and labels it accordingly, and whoever reads a live
  // field of the message for its caller passes it on. An embedded message is
  // written in the mode of the message that holds it. Kept across Reset and
  // Read.
  const TextMode& text_mode() const { return text_mode_; }
  void set_text_mode(TextMode mode) { text_mode_ = std::move(mode); }

  // Whether the message as read says its text is UTF-8: a text part labelled
  // utf-8, an encoded-word in utf-8, or header text outside ASCII that is
  // UTF-8 as it stands (RFC 6532). Embedded messages count.
  bool DeclaresUtf8Text();

 private:
  ~MessageEntity() override;

  static int HeaderHook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode,
                        const TextMode& text_mode);
  int OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode, const TextMode& text_mode);
  std::vector<std::pair<std::string, Ref<AddressList>>>::iterator FindBinding(std::string_view name);
  void ListGainedEntries(AddressList& list) override;
  void DropBindings();

  Ref<FieldList> headers_;
  std::vector<std::pair<std::string, Ref<AddressList>>> bindings_;
  Ref<MimePart> root_;
  TextMode text_mode_;
};

}  // namespace vesk
