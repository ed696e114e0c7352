// The writer (see mime_writer.h). Rendering is one pass over the tree into
// the stream; nothing in the model changes while it writes.

#include "engine/mime/mime_writer.h"

#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/common/ascii.h"
#include "engine/mime/content_fields.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/text_mode.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr std::string_view kContentType = "Content-Type";
constexpr std::string_view kTransferEncoding = "Content-Transfer-Encoding";
constexpr std::string_view kMimeVersion = "Mime-Version";

// The preamble (or epilogue) as stored, except that a line break other than CR LF (a lone
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

// About the size of content in quoted-printable: three characters for a byte
// written as "=XX", two for a line end, one for any other byte, and a soft
// line break ("=" CR LF) per 73 characters.
size_t QuotedPrintableSize(const ByteBuffer& content) {
  const uint8_t* const data = content.data();
  size_t escaped = 0;
  size_t line_feeds = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step with SSE2: per-byte counters (a compare gives -1,
  // subtracted) summed at least every 255 steps, before a byte could wrap.
  if (VectorCodecsEnabled()) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i equals = _mm_set1_epi8('=');
    while (i + 16 <= content.size()) {
      __m128i escaped_counts = zero;
      __m128i line_feed_counts = zero;
      for (int step = 0; step < 255 && i + 16 <= content.size(); ++step, i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const __m128i is_lf = _mm_cmpeq_epi8(v, lf);
        const __m128i line_controls = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr)), is_lf);
        // Signed: below 0x20 takes in every byte from 0x80 too.
        const __m128i control = _mm_andnot_si128(line_controls, _mm_cmplt_epi8(v, space));
        const __m128i escape = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, equals)));
        escaped_counts = _mm_sub_epi8(escaped_counts, escape);
        line_feed_counts = _mm_sub_epi8(line_feed_counts, is_lf);
      }
      const __m128i escaped_sums = _mm_sad_epu8(escaped_counts, zero);
      const __m128i line_feed_sums = _mm_sad_epu8(line_feed_counts, zero);
      escaped += static_cast<size_t>(_mm_cvtsi128_si32(escaped_sums)) +
                 static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(escaped_sums, 8)));
      line_feeds += static_cast<size_t>(_mm_cvtsi128_si32(line_feed_sums)) +
                    static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(line_feed_sums, 8)));
    }
  }
#endif
  // Counted without branches, so that the compiler can take many bytes a step.
  for (; i < content.size(); ++i) {
    const uint8_t c = data[i];
    line_feeds += c == '\n';
    escaped += (c < 0x20 && c != '\t' && c != '\r' && c != '\n') | (c > 0x7E) | (c == '=');
  }
  const size_t characters = content.size() + 2 * escaped + line_feeds;
  return characters + 3 * (characters / 73);
}

// Turns every CR LF written through it into a bare LF (the line break of
// WriteOptions): the writer itself always writes CR LF. A CR at the end of
// one write waits for the next to see whether an LF follows.
class LineFeedStream final : public Stream {
 public:
  explicit LineFeedStream(Stream& out) : out_(out) {}
  ~LineFeedStream() override {
    if (pending_cr_) out_.Write("\r", 1);
  }
  bool ReadChar(char&) override { return false; }
  bool Write(const char* bytes, size_t length) override {
    std::string text;
    text.reserve(length + 1);
    if (pending_cr_ && length > 0 && bytes[0] != '\n') text += '\r';
    pending_cr_ = false;
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] != '\r') {
        text += bytes[i];
      } else if (i + 1 == length) {
        pending_cr_ = true;
      } else if (bytes[i + 1] != '\n') {
        text += '\r';
      }
    }
    return out_.Write(text.data(), text.size());
  }

 private:
  Stream& out_;
  bool pending_cr_ = false;
};

// What a message's field looks like on the wire. An address field that holds
// no address is not written: RFC 5322 requires at least one address in From,
// To, Cc and Reply-To (Bcc may be empty but says nothing then), and reading a
// collection is enough to create its field. Bytes outside ASCII are written
// as encoded-words. Fields the options hide stay at home (`hidden` is null
// for an embedded message, whose fields are content).
struct MessageWireContext {
  const WriteOptions* hidden;
  const TextMode& text_mode;
};

bool PrepareMessageField(void* context, std::string_view name, std::string& value) {
  const auto& wire = *static_cast<const MessageWireContext*>(context);
  if (wire.hidden && wire.hidden->Hides(name)) return false;
  if (value.find_first_not_of(" \t\r\n") == std::string::npos) {
    for (const std::string_view address_field : {"From", "To", "Cc", "Bcc", "Reply-To"}) {
      if (EqualsIgnoringAsciiCase(name, address_field)) return false;
    }
  }
  value = WireHeaderValue(name, value, wire.text_mode);
  return true;
}

// The context of a part's header block on its way to the wire.
struct HeaderWireContext {
  FieldList::PrepareForWire prepare;
  void* prepare_context;
  const WireAdditions& additions;
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

// Forwards what the writer writes, counting it and keeping its last bytes,
// for a delimiter line that is to follow a part's last line end directly.
class LineEndWatch final : public Stream {
 public:
  explicit LineEndWatch(Stream& inner) : inner_(inner), buffer_(inner.AppendBuffer()) {}
  bool ReadChar(char&) override { return false; }
  bool Write(const char* bytes, size_t length) override {
    written_ += length;
    tail_.append(bytes + (length > 4 ? length - 4 : 0), length > 4 ? 4 : length);
    if (tail_.size() > 4) tail_.erase(0, tail_.size() - 4);
    return inner_.Write(bytes, length);
  }
  std::string* AppendBuffer() override { return buffer_; }

  // What is appended to the buffer directly passes no Write.
  size_t written() const { return buffer_ ? buffer_->size() : written_; }
  bool EndsWith(std::string_view end) const {
    return buffer_ ? buffer_->ends_with(end) : std::string_view(tail_).ends_with(end);
  }

 private:
  Stream& inner_;
  std::string* const buffer_;
  size_t written_ = 0;
  std::string tail_;
};

// One write: the whole tree, embedded messages included, is written in one
// text mode.
class Writer {
 public:
  Writer(Stream& stream, const WriteOptions& options, const TextMode& text_mode)
      : watch_(stream), stream_(watch_), options_(options), text_mode_(text_mode) {}

  // `top`: the message written, not one embedded in it (whose fields are
  // content, never hidden).
  bool Message(MessageEntity& message, bool top = true) {
    // Hold the root for the duration (a hook could replace it).
    const Ref<MimePart> root = message.root();
    MessageWireContext context{!top || options_.hidden_fields.empty() ? nullptr : &options_, text_mode_};
    return Part(*root, true, PrepareMessageField, &context);
  }

  // The header block when `with_headers`, CR LF, then the body.
  bool Part(MimePart& part, bool with_headers, FieldList::PrepareForWire prepare = nullptr, void* context = nullptr) {
    const WireAdditions additions = LeafWireAdditions(part, text_mode_, options_.eight_bit_text);
    if (with_headers) {
      HeaderBlock(part, prepare, context, additions);
      WriteLineEnd(stream_);
    }
    body_start_ = watch_.written();
    const BodyContent body = part.GetBody();
    if (body.leaf) {
      // The field as stored: its hook adds nothing to a transfer encoding.
      const std::optional<size_t> field = part.headers()->Find(kTransferEncoding);
      const std::string_view encoding = field ? part.headers()->At(*field)->stored_value() : additions.encoding;
      // A leaf read in the encoding its field names, with its content as
      // read, gives back the text it was read from.
      if (field) {
        const std::optional<std::string_view> source =
            body.leaf->EncodedForm(static_cast<int>(TransferEncodingFromValue(encoding)));
        if (source) return WriteText(stream_, *source);
      }
      return MakeTransferCodec(encoding)->Encode(stream_, *body.leaf);
    }
    if (body.parts) return Multipart(part, *body.parts);
    if (body.message) return Message(*body.message, false);
    return true;
  }

 private:
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
  bool Multipart(MimePart& part, PartList& parts) {
    std::string boundary;
    WritePreamble(stream_, parts.preamble());
    if (parts.unsplit()) return true;
    if (!part.GetBoundary(boundary) || boundary.find_first_of("\r\n") != std::string::npos) {
      return parts.Count() == 0;
    }
    bool complete = true;
    std::string delimiter = "\r\n--" + boundary + "\r\n";
    bool directly = parts.delimiter_follows_preamble_directly();
    for (size_t i = 0; i < parts.Count(); ++i) {
      // The child may be shared with automation objects; hold it for the write.
      const Ref<MimePart> child = parts.At(i);
      Delimiter(delimiter, directly);
      if (!Part(*child, !child->headers_shared())) complete = false;
      directly = child->delimiter_follows_directly();
    }
    delimiter.insert(delimiter.size() - 2, "--");
    Delimiter(delimiter, directly);
    WritePreamble(stream_, parts.epilogue());
    return complete;
  }

  // A delimiter line read right after the last line end before it goes back
  // the same way, where that reads back as the same parts: what was written
  // before it ends in a line end, and not in an empty line of a body (which
  // the reader would give to the delimiter). An empty body after a header
  // loses nothing that way.
  void Delimiter(std::string_view delimiter, bool directly) {
    if (directly && watch_.EndsWith("\r\n") &&
        !(watch_.EndsWith("\r\n\r\n") && watch_.written() != body_start_)) {
      delimiter.remove_prefix(2);
    }
    WriteText(stream_, delimiter);
  }

  void HeaderBlock(MimePart& part, FieldList::PrepareForWire prepare, void* prepare_context,
                   const WireAdditions& additions) {
    FieldList& headers = *part.headers();
    if (additions.charset.empty() && additions.encoding.empty()) {
      headers.WriteHeaderBlock(stream_, text_mode_, prepare, prepare_context);
      return;
    }
    HeaderWireContext context{prepare, prepare_context, additions, {}};
    if (!additions.charset.empty()) {
      const bool untyped = part.type().empty();
      context.composed_type = ComposeContentType(untyped ? "text" : part.type(), untyped ? "plain" : part.subtype(),
                                                 *part.content_type_parameters(), text_mode_);
    }
    headers.WriteHeaderBlock(stream_, text_mode_, PreparePartField, &context);
    std::string lines;
    if (part.headers_shared() && !headers.Find(kMimeVersion)) lines += "Mime-Version: 1.0\r\n";
    if (!additions.charset.empty() && !context.charset_written) {
      lines += "Content-Type: text/plain;\r\n\tcharset=\"" + additions.charset + "\"\r\n";
    }
    if (!additions.encoding.empty()) lines += "Content-Transfer-Encoding: " + additions.encoding + "\r\n";
    WriteText(stream_, lines);
  }

  LineEndWatch watch_;
  Stream& stream_;  // the watch
  size_t body_start_ = 0;  // where the body of the part written last began
  const WriteOptions& options_;
  const TextMode& text_mode_;
};

size_t FieldsSize(const FieldList& fields) {
  size_t size = 0;
  for (size_t i = 0; i < fields.Count(); ++i) size += fields.At(i)->name().size() + fields.At(i)->stored_value().size() + 4;
  return size;
}

// About how many bytes a part writes: its fields and its leaves'
// contents as their transfer encodings make them. A stream that can be
// appended to makes room for that many at once instead of growing (and
// copying) step by step.
size_t EstimatedSize(const MimePart& part) {
  size_t size = part.headers_shared() ? 0 : FieldsSize(*part.headers());
  const BodyContent body = part.GetBody();
  if (body.leaf) {
    const std::optional<size_t> field = part.headers()->Find(kTransferEncoding);
    const TransferEncoding encoding =
        field ? TransferEncodingFromValue(part.headers()->At(*field)->stored_value()) : TransferEncoding::kPlain;
    const std::optional<std::string_view> source =
        field ? body.leaf->EncodedForm(static_cast<int>(encoding)) : std::nullopt;
    const size_t content = body.leaf->size();
    size += source                                            ? source->size()
            : encoding == TransferEncoding::kBase64           ? Base64EncodedSize(content)
            // A leaf without the field may be given quoted-printable on the way.
            : !field || encoding == TransferEncoding::kQuotedPrintable ? QuotedPrintableRoom(content)
                                                              : content + content / 16 + 2;
  } else if (body.parts) {
    size += body.parts->preamble().size() + body.parts->epilogue().size();
    for (size_t i = 0; i < body.parts->Count(); ++i) size += 128 + EstimatedSize(*body.parts->At(i));
  } else if (body.message) {
    size += FieldsSize(*body.message->headers()) + EstimatedSize(*body.message->root());
  }
  return size;
}

template <class Body>
bool WithLineBreak(Stream& stream, const WriteOptions& options, Body&& body) {
  if (options.line_break == "\n") {
    LineFeedStream line_feeds(stream);
    return body(line_feeds);
  }
  return body(stream);
}

}  // namespace

WireAdditions LeafWireAdditions(const MimePart& part, const TextMode& text_mode, bool eight_bit_text) {
  WireAdditions additions;
  const Ref<ContentBuffer> leaf = part.content();
  if (!leaf || !(part.type().empty() || EqualsIgnoringAsciiCase(part.type(), "text"))) return additions;
  if (leaf->size() == 0) return additions;
  // Any written form of the charset counts: "charset", and "charset*",
  // "charset*0" or "charset*0*" (RFC 2231).
  const FieldList& parameters = *part.content_type_parameters();
  bool has_charset = false;
  for (size_t i = 0; i < parameters.Count() && !has_charset; ++i) {
    const std::string& name = parameters.At(i)->name();
    has_charset = EqualsIgnoringAsciiCase(name, "charset") || EqualsIgnoringAsciiCase(name, "charset*") ||
                  EqualsIgnoringAsciiCase(name, "charset*0") || EqualsIgnoringAsciiCase(name, "charset*0*");
  }
  const bool has_encoding = part.headers()->Find(kTransferEncoding).has_value();
  if (has_charset && has_encoding) return additions;
  const bool eight_bit = HasEightBit(*leaf);
  if (!has_charset && eight_bit) additions.charset = text_mode.narrow_charset();
  if (!has_encoding && (eight_bit || HasOverlongLine(*leaf))) {
    // RFC 6152 and RFC 2045 section 2.8: 8bit holds lines of at most 998
    // octets and no NUL.
    const bool as_8bit = eight_bit && eight_bit_text && !HasOverlongLine(*leaf) &&
                         std::memchr(leaf->data(), 0, leaf->size()) == nullptr;
    additions.encoding = as_8bit ? "8bit"
                         : QuotedPrintableSize(*leaf) <= Base64EncodedSize(leaf->size()) ? "quoted-printable"
                                                                                          : "base64";
  }
  return additions;
}

bool WriteMessage(Stream& stream, MessageEntity& message, const WriteOptions& options) {
  if (std::string* out = stream.AppendBuffer()) {
    out->reserve(out->size() + FieldsSize(*message.headers()) + EstimatedSize(*message.root()));
  }
  const TextMode& text_mode = options.text_mode ? *options.text_mode : message.text_mode();
  return WithLineBreak(stream, options,
                       [&](Stream& out) { return Writer(out, options, text_mode).Message(message); });
}

bool WritePart(Stream& stream, MimePart& part, const WriteOptions& options) {
  const TextMode& text_mode = options.text_mode ? *options.text_mode : DefaultTextMode();
  return WithLineBreak(stream, options, [&](Stream& out) {
    return Writer(out, options, text_mode).Part(part, !part.headers_shared());
  });
}

}  // namespace vesk
