#include "engine/mime/mime_part.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/message_entity.h"
#include "engine/platform/unique_id.h"

namespace vesk {
namespace {

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kContentDisposition = "Content-Disposition";
constexpr std::string_view kTransferEncoding = "Content-Transfer-Encoding";
constexpr std::string_view kMimeVersion = "Mime-Version";

class LeafBody final : public Body {
 public:
  LeafBody() : content_(MakeRef<ContentBuffer>()) {}
  BodyContent Content() const override { return {BodyKind::kLeaf, content_, {}, {}}; }

 private:
  Ref<ContentBuffer> content_;
};

class MultipartBody final : public Body {
 public:
  MultipartBody() : parts_(MakeRef<PartList>()) {}
  BodyContent Content() const override { return {BodyKind::kMultipart, {}, parts_, {}}; }

 private:
  Ref<PartList> parts_;
};

class MessageBody final : public Body {
 public:
  MessageBody() : message_(MakeRef<MessageEntity>()) {}
  BodyContent Content() const override { return {BodyKind::kMessage, {}, {}, message_}; }

 private:
  Ref<MessageEntity> message_;
};

int OwnHeaderHook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode,
                  const TextMode& text_mode) {
  return static_cast<MimePart*>(context)->OnHeaderField(list, position, text, mode, text_mode);
}

}  // namespace

void PartList::Insert(size_t index, Ref<MimePart> part) {
  unsplit_ = false;
  if (index > parts_.size()) index = parts_.size();
  parts_.insert(parts_.begin() + static_cast<std::ptrdiff_t>(index), std::move(part));
}

bool PartList::RemoveAt(size_t index) {
  if (index >= parts_.size()) return false;
  parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

std::string NewBoundary() {
  const UniqueId id = NewUniqueId();
  char text[64];
  std::snprintf(text, sizeof text, "----=_NextPart_%08X_%04X_%04X_%02X%02X%02X%02X.%02X%02X%02X%02X",
                static_cast<unsigned>(id.data1), static_cast<unsigned>(id.data2), static_cast<unsigned>(id.data3),
                id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6],
                id.data4[7]);
  return text;
}

MimePart::MimePart()
    : content_type_parameters_(MakeRef<FieldList>()),
      disposition_parameters_(MakeRef<FieldList>()),
      headers_(MakeRef<FieldList>()),
      body_(std::make_unique<LeafBody>()) {
  InstallOwnHook();
}

MimePart::~MimePart() {
  // The list may outlive the part in the hands of a dictionary object.
  if (!headers_shared_) headers_->ClearHook();
}

void MimePart::InstallOwnHook() { headers_->SetHook(&OwnHeaderHook, this); }

BodyKind MimePart::body_kind() const { return body_ ? body_->Content().kind : BodyKind::kNone; }

Ref<MessageEntity> MimePart::message() const { return GetBody().message; }

bool MimePart::HasContentTypeInfo() const {
  return !type_.empty() || !subtype_.empty() || content_type_parameters_->Count() != 0;
}

bool MimePart::HasDispositionInfo() const {
  return !disposition_.empty() || disposition_parameters_->Count() != 0;
}

bool MimePart::GetBoundary(std::string& boundary) const {
  return GetParameter(*content_type_parameters_, "boundary", boundary);
}

std::string MimePart::FileName(std::string* charset) const {
  std::string name;
  if (GetParameter(*disposition_parameters_, "filename", name, charset) && !name.empty()) return name;
  if (!GetParameter(*content_type_parameters_, "name", name, charset)) name.clear();
  return name;
}

std::string MimePart::ComposedContentType(const TextMode& text_mode) const {
  return ComposeContentType(type_, subtype_, *content_type_parameters_, text_mode);
}

std::string MimePart::ComposedContentDisposition(const TextMode& text_mode) const {
  return ComposeContentDisposition(disposition_, *disposition_parameters_, text_mode);
}

void MimePart::MakeMultipartBody() {
  body_ = std::make_unique<MultipartBody>();
  // An existing boundary parameter stays; a new one is made only when absent.
  std::string boundary;
  if (!GetBoundary(boundary)) content_type_parameters_->Set("boundary", NewBoundary());
  body_->Content().parts->set_preamble(MessageText(kMsgMultipartPreamble));
}

void MimePart::ReplaceBodyWithLeaf() {
  if (body_kind() != BodyKind::kLeaf) body_ = std::make_unique<LeafBody>();
}

void MimePart::SetType(std::string_view type) {
  if (EqualsIgnoringAsciiCase(type, "multipart")) {
    MakeMultipartBody();
  } else if (EqualsIgnoringAsciiCase(type, "message")) {
    body_ = std::make_unique<MessageBody>();
  } else {
    ReplaceBodyWithLeaf();
  }
  type_.assign(type);
  ++type_changes_;
  if (ApplyContentTypeRule()) ApplyMimeVersionRule();
}

void MimePart::SetSubtype(std::string_view subtype) {
  subtype_.assign(subtype);
  ++type_changes_;
  if (ApplyContentTypeRule()) ApplyMimeVersionRule();
}

void MimePart::SetDisposition(std::string_view disposition) {
  disposition_.assign(disposition);
  ++disposition_changes_;
  if (ApplyDispositionRule()) ApplyMimeVersionRule();
}

bool MimePart::GetTransferEncoding(std::string& value) { return headers_->Get(kTransferEncoding, value); }

void MimePart::SetTransferEncoding(std::string_view value) {
  headers_->Set(kTransferEncoding, value);
  ApplyMimeVersionRule();
}

bool MimePart::ApplyPresenceRule(std::string_view name, bool wanted) {
  // While a field's value is being taken in, the list stays as it stands: the
  // type may be empty for a moment (a value such as "/html", or an empty
  // value after one with parameters), and removing a field there (the one
  // written, or an earlier one of the same name) would move fields and add
  // Mime-Version anew each time the rendered text is read again. Outside a
  // write the rule runs as it always does.
  if (field_being_written_) return false;
  const std::optional<size_t> position = headers_->Find(name);
  if (position && !wanted) return headers_->RemoveAt(*position);
  if (!position && wanted) {
    headers_->AddEmpty(name);
    return true;
  }
  return false;
}

bool MimePart::ApplyContentTypeRule() { return ApplyPresenceRule(kContentType, HasContentTypeInfo()); }

bool MimePart::ApplyDispositionRule() { return ApplyPresenceRule(kContentDisposition, HasDispositionInfo()); }

// RFC 2045 section 4: a message whose root part carries MIME information says
// so with "Mime-Version: 1.0". Only the root part (the one sharing its
// message's header list) keeps that field.
void MimePart::ApplyMimeVersionRule() {
  if (!headers_shared_) return;
  const bool needed = HasContentTypeInfo() || HasDispositionInfo() || headers_->Find(kTransferEncoding);
  const std::optional<size_t> position = headers_->Find(kMimeVersion);
  if (position && !needed) {
    headers_->RemoveAt(*position);
  } else if (!position && needed) {
    headers_->AddEmpty(kMimeVersion)->WriteValue("1.0");
  }
}

void MimePart::ParseContentType(std::string_view text) {
  const std::string unfolded = Unfolded(text);
  std::string type;
  std::string subtype;
  const size_t rest = SplitMediaType(unfolded, type, subtype);
  // RFC 2045 section 5.2: a syntactically invalid Content-Type (no type or
  // no subtype) is taken as text/plain; its parameters still count.
  if ((type.empty() || subtype.empty()) && unfolded.find_first_not_of(" \t\r\n") != std::string::npos) {
    type = "text";
    subtype = "plain";
  }
  SetType(type);
  SetSubtype(subtype);
  content_type_parameters_->Clear();
  ParseParameters(unfolded, rest, *content_type_parameters_);
}

void MimePart::ParseContentDisposition(std::string_view folded) {
  const std::string unfolded = Unfolded(folded);
  const std::string_view text = unfolded;
  size_t position = 0;
  while (position < text.size() && IsCSpace(text[position])) ++position;
  const size_t start = position;
  while (position < text.size() && !IsCSpace(text[position]) && text[position] != ';') ++position;
  SetDisposition(text.substr(start, position - start));
  const size_t semicolon = text.find(';', position);
  disposition_parameters_->Clear();
  if (semicolon != std::string_view::npos) ParseParameters(text, semicolon + 1, *disposition_parameters_);
}

int MimePart::OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode,
                            const TextMode& text_mode) {
  const std::string& name = list.At(position)->name();
  const bool is_type = EqualsIgnoringAsciiCase(name, kContentType);
  if (!is_type && !EqualsIgnoringAsciiCase(name, kContentDisposition)) return 0;
  if (mode == HookMode::kWrite) {
    // The field keeps the text as written; the structured data takes it in.
    // Parsing may remove or add fields; the list keeps the written field alive.
    const std::string written = text;
    const Field* const outer = std::exchange(field_being_written_, list.At(position).get());
    if (is_type) {
      ParseContentType(written);
      type_as_read_ = {list.At(position), type_changes_, content_type_parameters_->changes()};
    } else {
      ParseContentDisposition(written);
      disposition_as_read_ = {list.At(position), disposition_changes_, disposition_parameters_->changes()};
    }
    field_being_written_ = outer;
    return 1;
  }
  if (is_type ? !HasContentTypeInfo() : !HasDispositionInfo()) return 0;
  // Unchanged since it was read: the field says what the sender wrote.
  if (is_type ? IsAsRead(type_as_read_, *list.At(position), type_changes_, *content_type_parameters_)
              : IsAsRead(disposition_as_read_, *list.At(position), disposition_changes_, *disposition_parameters_)) {
    return 0;
  }
  text = is_type ? ComposedContentType(text_mode) : ComposedContentDisposition(text_mode);
  return 1;
}

bool MimePart::IsAsRead(const AsRead& as_read, const Field& field, uint64_t own_changes,
                        const FieldList& parameters) {
  return as_read.field.get() == &field && as_read.own_changes == own_changes &&
         as_read.parameter_changes == parameters.changes();
}

void MimePart::ReplaceHeaderList(Ref<FieldList> list, bool shared) {
  std::string encoding;
  const bool had_encoding = headers_->Get(kTransferEncoding, encoding);
  if (!headers_shared_) headers_->ClearHook();
  headers_ = std::move(list);
  headers_shared_ = shared;
  if (ApplyContentTypeRule()) ApplyMimeVersionRule();
  if (had_encoding) SetTransferEncoding(encoding);
  if (ApplyDispositionRule()) ApplyMimeVersionRule();
  if (!headers_shared_) InstallOwnHook();
}

Ref<MimePart> FindMainTextPart(const Ref<MimePart>& root) {
  // Depth first, children in order, with a stack of its own so that no tree
  // can exhaust the call stack.
  Ref<MimePart> best;
  int best_score = 0;
  std::vector<Ref<MimePart>> pending{root};
  while (!pending.empty()) {
    const Ref<MimePart> part = std::move(pending.back());
    pending.pop_back();
    if (!part) continue;
    if (const Ref<PartList> children = part->parts()) {
      for (size_t i = children->Count(); i > 0; --i) pending.push_back(children->At(i - 1));
      continue;
    }
    // An attachment is never the text, whatever its type: writing the text
    // into it would replace the file's content.
    if (EqualsIgnoringAsciiCase(part->disposition(), "attachment")) continue;
    // A part without a type is text/plain (RFC 2045 section 5.2), so the
    // first plain text wins whether it was typed or not.
    int score;
    if (part->type().empty()) {
      score = 4;
    } else if (EqualsIgnoringAsciiCase(part->type(), "multipart") ||
               EqualsIgnoringAsciiCase(part->type(), "message")) {
      score = 0;
    } else if (!EqualsIgnoringAsciiCase(part->type(), "text")) {
      score = 1;
    } else {
      score = EqualsIgnoringAsciiCase(part->subtype(), "plain") ? 4 : 3;
    }
    if (score > best_score) {
      best = part;
      best_score = score;
    }
  }
  return best;
}

Ref<MimePart> EnsureMultipartMixed(const Ref<MimePart>& root) {
  if (EqualsIgnoringAsciiCase(root->type(), "multipart") && EqualsIgnoringAsciiCase(root->subtype(), "mixed")) {
    return root;
  }
  Ref<MimePart> wrapper = MakeRef<MimePart>();
  wrapper->SetType("multipart");
  wrapper->SetSubtype("mixed");
  wrapper->parts()->Append(root);
  // The old root lets go of its list before the wrapper takes it, so that the
  // hook the wrapper installs on a list of the old root's own stays in place.
  const Ref<FieldList> headers = root->headers();
  const bool shared = root->headers_shared();
  root->ReplaceHeaderList(MakeRef<FieldList>(), false);
  wrapper->ReplaceHeaderList(headers, shared);
  return wrapper;
}

Ref<ContentBuffer> GetOrCreateMainText(Ref<MimePart>& root) {
  if (const Ref<MimePart> found = FindMainTextPart(root)) {
    // A message part scores 0 and a multipart is never scored, so the part
    // found is a leaf unless its body was forced by the reader's limits.
    if (Ref<ContentBuffer> content = found->content()) return content;
  }
  const Ref<MimePart> text = MakeRef<MimePart>();
  text->SetType("text");
  text->SetSubtype("plain");
  root = EnsureMultipartMixed(root);
  root->parts()->Append(text);
  return text->content();
}

}  // namespace vesk
