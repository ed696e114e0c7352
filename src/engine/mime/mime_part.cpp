#include "engine/mime/mime_part.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/common/messages.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_reader.h"
#include "engine/mime/transfer_codec.h"
#include "engine/platform/unique_id.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kContentDisposition = "Content-Disposition";
constexpr std::string_view kTransferEncoding = "Content-Transfer-Encoding";
constexpr std::string_view kMimeVersion = "Mime-Version";

class LeafBody final : public Body {
 public:
  explicit LeafBody(MimePart& part) : Body(part), content_(MakeRef<ContentBuffer>()) {}
  bool Read(MimeReader& reader) override { return reader.ReadLeafBody(part_); }
  bool Write(Stream& stream) override {
    std::string encoding;
    if (!part_.GetTransferEncoding(encoding)) encoding = part_.wire_encoding();
    return MakeTransferCodec(encoding)->Encode(stream, *content_);
  }
  BodyContent Content() const override { return {BodyKind::kLeaf, content_, {}, {}}; }

 private:
  Ref<ContentBuffer> content_;
};

class MultipartBody final : public Body {
 public:
  explicit MultipartBody(MimePart& part) : Body(part), parts_(MakeRef<PartList>()) {}
  bool Read(MimeReader& reader) override { return reader.ReadMultipartBody(part_, *parts_); }
  bool Write(Stream& stream) override;
  BodyContent Content() const override { return {BodyKind::kMultipart, {}, parts_, {}}; }

 private:
  Ref<PartList> parts_;
};

class MessageBody final : public Body {
 public:
  explicit MessageBody(MimePart& part) : Body(part), message_(MakeRef<MessageEntity>()) {}
  bool Read(MimeReader& reader) override { return reader.ReadMessageBody(*message_); }
  bool Write(Stream& stream) override { return message_->Write(stream); }
  BodyContent Content() const override { return {BodyKind::kMessage, {}, {}, message_}; }

 private:
  Ref<MessageEntity> message_;
};

// The preamble as stored, except that a line break other than CR LF (a lone
// LF or CR put in by a caller) goes out as CR LF. A preamble that was read
// holds CR LF line ends only and is written unchanged.
void WritePreamble(Stream& stream, std::string_view preamble) {
  if (preamble.find_first_of("\r\n") == std::string_view::npos) {
    WriteText(stream, preamble);
    return;
  }
  std::string text;
  text.reserve(preamble.size() + 16);
  for (size_t i = 0; i < preamble.size(); ++i) {
    const char c = preamble[i];
    if (c == '\r' || c == '\n') {
      text += "\r\n";
      if (c == '\r' && i + 1 < preamble.size() && preamble[i + 1] == '\n') ++i;
    } else {
      text += c;
    }
  }
  WriteText(stream, text);
}

// RFC 2046 section 5.1.1: the preamble, then each child after CR LF and its
// delimiter line, then CR LF and the closing delimiter. The CR LF before each
// delimiter belongs to the delimiter, so a child's content keeps its own last
// line end.
//
// A boundary that holds a line break could delimit nothing (bchars exclude CR
// and LF) and would put a bare line end on the wire, so such a multipart is
// written like one without a boundary: the preamble alone (where the reader
// keeps the lines of a body it could not split), and the write fails when
// there were parts to delimit.
bool MultipartBody::Write(Stream& stream) {
  std::string boundary;
  WritePreamble(stream, parts_->preamble());
  if (parts_->unsplit()) return true;
  if (!part_.GetBoundary(boundary) || boundary.find_first_of("\r\n") != std::string::npos) {
    return parts_->Count() == 0;
  }
  bool complete = true;
  std::string delimiter = "\r\n--" + boundary + "\r\n";
  for (size_t i = 0; i < parts_->Count(); ++i) {
    // The child may be shared with automation objects; hold it for the write.
    const Ref<MimePart> child = parts_->At(i);
    WriteText(stream, delimiter);
    if (!child->WriteTo(stream)) complete = false;
  }
  delimiter.insert(delimiter.size() - 2, "--");
  WriteText(stream, delimiter);
  return complete;
}

// Whether content holds a byte outside ASCII, eight bytes a step.
bool HasEightBit(const ByteBuffer& content) {
  const uint8_t* const data = content.data();
  const size_t size = content.size();
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    high |= word;
  }
  for (; i < size; ++i) high |= data[i];
  return (high & 0x8080808080808080ull) != 0;
}

// Whether a line of content is longer than SMTP and RFC 5322 allow (998
// octets before CR LF). From each line start it looks back from the farthest
// place the line could end, so that it steps about a thousand bytes at a time
// instead of one line.
bool HasOverlongLine(const ByteBuffer& content) {
  constexpr size_t kMaxLine = 998;
  const uint8_t* const data = content.data();
  const size_t size = content.size();
  size_t start = 0;
  while (size - start > kMaxLine) {
    // Every line inside [start, start + kMaxLine] is short enough.
    size_t end = start + kMaxLine;
    while (end > start && data[end] != '\n') --end;
    if (data[end] != '\n') {
      // No line end within reach: only CR LF right after it may end the line.
      const size_t lf = start + kMaxLine + 1;
      if (lf >= size || data[lf] != '\n' || data[lf - 1] != '\r') return true;
      end = lf;
    }
    start = end + 1;
  }
  return false;
}

thread_local bool t_eight_bit_text = false;

// 8bit (RFC 2045 section 2.8) holds no NUL; the line length is checked apart.
bool HasNul(const ByteBuffer& content) {
  return content.size() > 0 && std::memchr(content.data(), 0, content.size()) != nullptr;
}

// About the size of content in quoted-printable: three characters for a byte
// written as "=XX", two for a line end, one for any other byte, and a soft
// line break ("=" CR LF) per 73 characters.
size_t QuotedPrintableSize(const ByteBuffer& content) {
  const uint8_t* const data = content.data();
  size_t escaped = 0;
  size_t line_feeds = 0;
  // Counted without branches, so that the compiler can take many bytes a step.
  for (size_t i = 0; i < content.size(); ++i) {
    const uint8_t c = data[i];
    line_feeds += c == '\n';
    escaped += (c < 0x20 && c != '\t' && c != '\r' && c != '\n') | (c > 0x7E) | (c == '=');
  }
  const size_t characters = content.size() + 2 * escaped + line_feeds;
  return characters + 3 * (characters / 73);
}

// The context of a part's header block on its way to the wire.
struct HeaderWireContext {
  FieldList::PrepareForWire prepare;
  void* prepare_context;
  const MimePart::WireAdditions& additions;
  // The part's Content-Type as composed: a charset is added to that, never
  // to the text a sender wrote (whose quotes may not even close).
  std::string composed_type;
  bool charset_written = false;
};

bool PreparePartField(void* context, std::string_view name, std::string& value) {
  auto& wire = *static_cast<HeaderWireContext*>(context);
  if (wire.prepare && !wire.prepare(wire.prepare_context, name, value)) return false;
  if (!wire.additions.charset.empty() && EqualsIgnoringAsciiCase(name, kContentType)) {
    value = wire.composed_type + ";\r\n\tcharset=\"" + wire.additions.charset + '"';
    wire.charset_written = true;
  }
  return true;
}

int OwnHeaderHook(void* context, FieldList& list, size_t position, std::string& text, HookMode mode) {
  return static_cast<MimePart*>(context)->OnHeaderField(list, position, text, mode);
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
      body_(std::make_unique<LeafBody>(*this)) {
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

std::string MimePart::ComposedContentType() const {
  return ComposeContentType(type_, subtype_, *content_type_parameters_);
}

std::string MimePart::ComposedContentDisposition() const {
  return ComposeContentDisposition(disposition_, *disposition_parameters_);
}

void MimePart::MakeMultipartBody() {
  body_ = std::make_unique<MultipartBody>(*this);
  // An existing boundary parameter stays; a new one is made only when absent.
  std::string boundary;
  if (!GetBoundary(boundary)) content_type_parameters_->Set("boundary", NewBoundary());
  body_->Content().parts->set_preamble(MessageText(kMsgMultipartPreamble));
}

void MimePart::ReplaceBodyWithLeaf() {
  if (body_kind() != BodyKind::kLeaf) body_ = std::make_unique<LeafBody>(*this);
}

void MimePart::SetType(std::string_view type) {
  if (EqualsIgnoringAsciiCase(type, "multipart")) {
    MakeMultipartBody();
  } else if (EqualsIgnoringAsciiCase(type, "message")) {
    body_ = std::make_unique<MessageBody>(*this);
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

int MimePart::OnHeaderField(FieldList& list, size_t position, std::string& text, HookMode mode) {
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
  text = is_type ? ComposedContentType() : ComposedContentDisposition();
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

bool MimePart::ReadFrom(Stream& stream) {
  MimeReader reader(stream);
  return reader.ReadTopPart(*this);
}

bool MimePart::WriteTo(Stream& stream) { return Write(stream, !headers_shared_, nullptr, nullptr); }

bool MimePart::WriteWithHeaderBlock(Stream& stream, FieldList::PrepareForWire prepare, void* context) {
  return Write(stream, true, prepare, context);
}

bool MimePart::Write(Stream& stream, bool with_headers, FieldList::PrepareForWire prepare, void* context) {
  WireAdditions additions = LeafWireAdditions();
  if (with_headers) {
    WriteHeaderBlock(stream, prepare, context, additions);
    WriteLineEnd(stream);
  }
  wire_encoding_ = std::move(additions.encoding);
  const bool written = body_->Write(stream);
  wire_encoding_.clear();
  return written;
}

MimePart::WireAdditions MimePart::LeafWireAdditions() const {
  WireAdditions additions;
  const Ref<ContentBuffer> leaf = content();
  if (!leaf || !(type_.empty() || EqualsIgnoringAsciiCase(type_, "text"))) return additions;
  if (leaf->size() == 0) return additions;
  // Any written form of the charset counts (RFC 2231 "charset*", "charset*0").
  const FieldList& parameters = *content_type_parameters_;
  const bool has_charset = parameters.Find("charset") || parameters.Find("charset*") || parameters.Find("charset*0") ||
                           parameters.Find("charset*0*");
  const bool has_encoding = headers_->Find(kTransferEncoding).has_value();
  if (has_charset && has_encoding) return additions;
  const bool eight_bit = HasEightBit(*leaf);
  if (!has_charset && eight_bit) additions.charset = NarrowCharset();
  if (!has_encoding && (eight_bit || HasOverlongLine(*leaf))) {
    if (eight_bit && t_eight_bit_text && !HasOverlongLine(*leaf) && !HasNul(*leaf)) {
      additions.encoding = "8bit";
    } else {
      additions.encoding = QuotedPrintableSize(*leaf) <= Base64EncodedSize(leaf->size()) ? "quoted-printable" : "base64";
    }
  }
  return additions;
}

EightBitTextScope::EightBitTextScope(bool active) : previous_(t_eight_bit_text) { t_eight_bit_text = active; }
EightBitTextScope::~EightBitTextScope() { t_eight_bit_text = previous_; }

void MimePart::WriteHeaderBlock(Stream& stream, FieldList::PrepareForWire prepare, void* prepare_context,
                                const WireAdditions& additions) {
  if (additions.charset.empty() && additions.encoding.empty()) {
    headers_->WriteHeaderBlock(stream, prepare, prepare_context);
    return;
  }
  HeaderWireContext context{prepare, prepare_context, additions, {}};
  if (!additions.charset.empty()) {
    const bool untyped = type_.empty();
    context.composed_type = ComposeContentType(untyped ? "text" : type_, untyped ? "plain" : subtype_,
                                               *content_type_parameters_);
  }
  headers_->WriteHeaderBlock(stream, PreparePartField, &context);
  std::string lines;
  if (headers_shared_ && !headers_->Find(kMimeVersion)) lines += "Mime-Version: 1.0\r\n";
  if (!additions.charset.empty() && !context.charset_written) {
    lines += "Content-Type: text/plain;\r\n\tcharset=\"" + additions.charset + "\"\r\n";
  }
  if (!additions.encoding.empty()) lines += "Content-Transfer-Encoding: " + additions.encoding + "\r\n";
  WriteText(stream, lines);
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
