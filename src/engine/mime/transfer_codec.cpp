#include "engine/mime/transfer_codec.h"

#include <atomic>

#include "engine/common/ascii.h"
#include "engine/streams/byte_buffer.h"

namespace vesk {
namespace {

std::atomic<bool> vector_codecs_enabled{true};

}  // namespace

void SetVectorCodecsEnabled(bool enabled) { vector_codecs_enabled.store(enabled, std::memory_order_relaxed); }

bool VectorCodecsEnabled() { return vector_codecs_enabled.load(std::memory_order_relaxed); }

TransferEncoding TransferEncodingFromValue(std::string_view value) {
  // Surrounding white space (a stray blank after the word, a folded line) is
  // not part of the mechanism name (RFC 2045 section 6.1).
  const size_t first = value.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return TransferEncoding::kPlain;
  value = value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
  if (EqualsIgnoringAsciiCase(value, "quoted-printable")) return TransferEncoding::kQuotedPrintable;
  if (EqualsIgnoringAsciiCase(value, "base64")) return TransferEncoding::kBase64;
  return TransferEncoding::kPlain;
}

std::unique_ptr<TransferCodec> MakeTransferCodec(TransferEncoding encoding) {
  switch (encoding) {
    case TransferEncoding::kQuotedPrintable: return std::make_unique<QuotedPrintableCodec>();
    case TransferEncoding::kBase64: return std::make_unique<Base64Codec>();
    case TransferEncoding::kPlain: break;
  }
  return std::make_unique<PlainCodec>();
}

void DecodeTransferText(TransferEncoding encoding, std::string_view text, ByteBuffer& target, LineBreaks breaks) {
  const bool as_sent = breaks == LineBreaks::kAsSent;
  switch (encoding) {
    case TransferEncoding::kBase64: DecodeBase64(text, target); return;
    case TransferEncoding::kQuotedPrintable:
      as_sent ? DecodeQuotedPrintableText(text, target) : DecodeQuotedPrintable(text, target);
      return;
    case TransferEncoding::kPlain: break;
  }
  if (as_sent) {
    target.Clear();
    target.Append(text);
  } else {
    DecodePlain(text, target);
  }
}

std::unique_ptr<TransferCodec> MakeTransferCodec(std::string_view value) {
  return MakeTransferCodec(TransferEncodingFromValue(value));
}

}  // namespace vesk
