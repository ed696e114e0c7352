#pragma once

// One MIME entity (RFC 2045, RFC 2046) and the tree of them that holds a
// message's content. A part keeps two views of its content description in
// step: the structured data (type, subtype, disposition and their parameter
// lists) owns the truth, and the "Content-Type" and "Content-Disposition"
// fields of its header list are live: writing one parses it into the
// structured data, reading one composes it from there.
//
// The body is one of three kinds, chosen by the media type: a leaf holding the
// decoded content, a multipart holding child parts, or an embedded message.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/ref_counted.h"
#include "engine/mime/field_list.h"
#include "engine/streams/byte_buffer.h"

namespace vesk {

class MessageEntity;
class MimePart;

enum class BodyKind : int { kNone = 0, kLeaf = 1, kMultipart = 2, kMessage = 3 };

// The decoded content of a leaf part. Counted, so that an object that exposes
// the content keeps it alive after the part has moved on.
class ContentBuffer final : public RefCounted, public ByteBuffer {};

// The children of a multipart part, in order, the text before its first
// boundary line and the text after its closing one.
class PartList final : public RefCounted {
 public:
  size_t Count() const { return parts_.size(); }
  // The child at an index (from 0); the index must be below Count().
  const Ref<MimePart>& At(size_t index) const { return parts_[index]; }
  void Append(Ref<MimePart> part) {
    unsplit_ = false;
    parts_.push_back(std::move(part));
  }
  void Insert(size_t index, Ref<MimePart> part);
  bool RemoveAt(size_t index);
  void Clear() { parts_.clear(); }

  // Written as stored before the first delimiter line; no line end is added.
  const std::string& preamble() const { return preamble_; }
  void set_preamble(std::string text) {
    preamble_ = std::move(text);
    delimiter_follows_preamble_directly_ = false;
  }
  // Written as stored after the closing delimiter line (RFC 2046 section
  // 5.1.1's epilogue, which readers ignore but a message written back keeps).
  const std::string& epilogue() const { return epilogue_; }
  void set_epilogue(std::string text) { epilogue_ = std::move(text); }

  // Set by the reader when no boundary could split the body (its lines are
  // the preamble): the body is then written as the preamble alone, with no
  // closing delimiter that could end a multipart around it. Adding a part
  // clears it.
  bool unsplit() const { return unsplit_; }
  void set_unsplit() { unsplit_ = true; }

  // Set by the reader where the first delimiter line came right after the
  // preamble's last line end (or began the body) instead of after a line end
  // of its own; the writer then gives it none, so that the body is written
  // as it was read. Storing a preamble clears it.
  bool delimiter_follows_preamble_directly() const { return delimiter_follows_preamble_directly_; }
  void set_delimiter_follows_preamble_directly(bool directly) { delimiter_follows_preamble_directly_ = directly; }

  // One counted object of the automation layer's choice, passed on to the
  // children it hands out; the engine never looks inside.
  Ref<RefCounted> user_data;

 private:
  std::vector<Ref<MimePart>> parts_;
  std::string preamble_;
  std::string epilogue_;
  bool unsplit_ = false;
  bool delimiter_follows_preamble_directly_ = false;
};

// What GetBody hands out: the kind and a reference to its content holder (the
// one that matches the kind; the others are empty).
struct BodyContent {
  BodyKind kind = BodyKind::kNone;
  Ref<ContentBuffer> leaf;
  Ref<PartList> parts;
  Ref<MessageEntity> message;
};

// A part's body: one of three kinds of content holder. The reader fills it
// and the writer writes it; the body itself does neither.
class Body {
 public:
  virtual ~Body() = default;
  virtual BodyContent Content() const = 0;
};

class MimePart final : public RefCounted {
 public:
  // An empty part: no type, no disposition, empty parameter lists, an empty
  // header list of its own and an empty leaf body.
  MimePart();

  const std::string& type() const { return type_; }
  const std::string& subtype() const { return subtype_; }
  const std::string& disposition() const { return disposition_; }

  // Stores the type as given and picks the body that fits it: "multipart"
  // (any case) always makes a new, empty multipart body, "message" a new,
  // empty embedded message; anything else keeps a leaf body with its content,
  // or makes an empty one. Then keeps the Content-Type field present exactly
  // when there is content-type information.
  void SetType(std::string_view type);
  void SetSubtype(std::string_view subtype);
  void SetDisposition(std::string_view disposition);

  // The "Content-Transfer-Encoding" field; false when it is absent.
  bool GetTransferEncoding(std::string& value);
  // Sets that field (appending it when absent).
  void SetTransferEncoding(std::string_view value);

  // Direct access: changing a parameter runs none of the presence rules.
  const Ref<FieldList>& content_type_parameters() const { return content_type_parameters_; }
  const Ref<FieldList>& disposition_parameters() const { return disposition_parameters_; }

  bool HasContentTypeInfo() const;
  bool HasDispositionInfo() const;

  // The Content-Type and Content-Disposition text composed from the
  // structured data, parameter values outside ASCII taken in `text_mode`.
  std::string ComposedContentType(const TextMode& text_mode) const;
  // The boundary parameter in any of its written forms; false when absent.
  bool GetBoundary(std::string& boundary) const;
  // The part's file name as mail readers find it: the disposition's
  // "filename", else the type's "name" (each in any of its written forms);
  // empty when neither is there. The charset an RFC 2231 form names goes to
  // `charset` when given (empty when none is named).
  std::string FileName(std::string* charset = nullptr) const;
  std::string ComposedContentDisposition(const TextMode& text_mode) const;

  BodyKind body_kind() const;
  BodyContent GetBody() const { return body_ ? body_->Content() : BodyContent{}; }
  // The content holders; empty when the body is of another kind.
  Ref<ContentBuffer> content() const { return GetBody().leaf; }
  Ref<PartList> parts() const { return GetBody().parts; }
  Ref<MessageEntity> message() const;

  const Ref<FieldList>& headers() const { return headers_; }
  bool headers_shared() const { return headers_shared_; }
  // Takes `list` as the part's header list; `shared` says that it belongs to
  // the message that owns the part (which then reads and writes it). The
  // Content-Type and Content-Disposition fields of the new list are brought
  // in step with the part, and its transfer encoding is carried over.
  void ReplaceHeaderList(Ref<FieldList> list, bool shared);

  // The same for the delimiter line after this part in its multipart: set
  // by the reader when it came right after the part's last line end.
  bool delimiter_follows_directly() const { return delimiter_follows_directly_; }
  void set_delimiter_follows_directly(bool directly) { delimiter_follows_directly_ = directly; }

  // Gives the part an empty leaf body unless it has one: what the reader
  // does with a part it reads as plain content whatever its type (too deep,
  // or past the limit on parts).
  void ReplaceBodyWithLeaf();

  // The live-field logic of the header list: the hook of the part's own list,
  // and what the owning message's hook calls first for a shared list. A part
  // does not know the message it belongs to (it may belong to none, move to
  // another, or outlive it): a read composes in the text mode its reader
  // gives.
  int OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode, const TextMode& text_mode);

  // One counted object of the automation layer's choice (for example what a
  // page handed out with the part); the engine never looks inside.
  Ref<RefCounted> user_data;

 private:
  ~MimePart() override;

  void InstallOwnHook();
  void ParseContentType(std::string_view text);
  void ParseContentDisposition(std::string_view text);
  // Presence rules: keep a field present exactly while there is information
  // for it. They return whether they changed the list.
  bool ApplyContentTypeRule();
  bool ApplyDispositionRule();
  bool ApplyPresenceRule(std::string_view name, bool wanted);
  void ApplyMimeVersionRule();
  void MakeMultipartBody();

  std::string type_;
  std::string subtype_;
  std::string disposition_;
  Ref<FieldList> content_type_parameters_;
  Ref<FieldList> disposition_parameters_;
  Ref<FieldList> headers_;
  bool headers_shared_ = false;
  bool delimiter_follows_directly_ = false;
  std::unique_ptr<Body> body_;
  // The Content-Type or Content-Disposition field whose written value is
  // being parsed; the presence rules leave the list alone meanwhile.
  const Field* field_being_written_ = nullptr;
  // A structured field keeps the text it was read with (RFC 2045 does not
  // let a writer improve what a sender wrote, and rebuilding it from its
  // parsed form can change what it says) until its structured data changes:
  // the field that was parsed, and the state of the data right after.
  struct AsRead {
    Ref<Field> field;
    uint64_t own_changes = 0;
    uint64_t parameter_changes = 0;
  };
  static bool IsAsRead(const AsRead& as_read, const Field& field, uint64_t own_changes, const FieldList& parameters);
  AsRead type_as_read_;
  AsRead disposition_as_read_;
  // Grow with every change of type or subtype, and of the disposition.
  uint64_t type_changes_ = 0;
  uint64_t disposition_changes_ = 0;
};

// The part that best serves as the message's text: a depth-first search that
// scores every part that is neither a multipart nor an attachment (text/plain
// or no type 4, other text 3, any other type but multipart and message 1) and
// keeps the first with the highest score above 0. Null when there is none.
Ref<MimePart> FindMainTextPart(const Ref<MimePart>& root);

// `root` itself when it is multipart/mixed; otherwise a new multipart/mixed
// part that takes over root's header list (and whether it is shared) and holds
// root, now with a header list of its own, as its first child.
Ref<MimePart> EnsureMultipartMixed(const Ref<MimePart>& root);

// The content of the main text part. When there is none, a new text/plain part
// is appended to the result of EnsureMultipartMixed, which replaces `root`.
Ref<ContentBuffer> GetOrCreateMainText(Ref<MimePart>& root);

// The boundary made for a new multipart body: "----=_NextPart_" and the
// fields of a fresh unique identifier in hexadecimal.
std::string NewBoundary();

}  // namespace vesk
