#pragma once

// Content-Transfer-Encoding (RFC 2045 section 6): a leaf part holds its
// content decoded in a ByteBuffer; a codec turns it into the lines of its
// encoding on a Stream and back. Decoded text has LF line ends, the wire has
// CR LF. Decoders take the lines that Stream::ReadLine delivers ended by LF; a
// last line without LF is not part of the content.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vesk {

class ByteBuffer;
class Stream;

class TransferCodec {
 public:
  virtual ~TransferCodec() = default;
  // Empties `target`, then fills it with the decoded lines of `source`.
  virtual bool Decode(Stream& source, ByteBuffer& target) = 0;
  // Writes the whole of `source` encoded to `target`.
  virtual bool Encode(Stream& target, const ByteBuffer& source) = 0;
};

// 7bit, 8bit, binary and anything unknown: lines as they are.
class PlainCodec final : public TransferCodec {
 public:
  bool Decode(Stream& source, ByteBuffer& target) override;
  bool Encode(Stream& target, const ByteBuffer& source) override;
};

class QuotedPrintableCodec final : public TransferCodec {
 public:
  bool Decode(Stream& source, ByteBuffer& target) override;
  bool Encode(Stream& target, const ByteBuffer& source) override;
};

class Base64Codec final : public TransferCodec {
 public:
  bool Decode(Stream& source, ByteBuffer& target) override;
  bool Encode(Stream& target, const ByteBuffer& source) override;
};

enum class TransferEncoding { kPlain, kQuotedPrintable, kBase64 };

// The encoding a Content-Transfer-Encoding value names: "quoted-printable" and
// "base64" in any ASCII letter case (white space around the word is ignored);
// anything else, the empty value included, is plain.
TransferEncoding TransferEncodingFromValue(std::string_view value);
std::unique_ptr<TransferCodec> MakeTransferCodec(TransferEncoding encoding);
std::unique_ptr<TransferCodec> MakeTransferCodec(std::string_view value);

// The same transformations between whole byte runs, for callers that hold all
// of the input at once. Each gives exactly what the codec gives over a
// StringStream: the encoders append what Encode would write to `out`; the
// decoders replace `target` with what Decode would produce from `text`.
void EncodePlain(const uint8_t* data, size_t size, std::string& out);
void EncodeQuotedPrintable(const uint8_t* data, size_t size, std::string& out);
void EncodeBase64(const uint8_t* data, size_t size, std::string& out);
void DecodePlain(std::string_view text, ByteBuffer& target);
void DecodeQuotedPrintable(std::string_view text, ByteBuffer& target);
void DecodeBase64(std::string_view text, ByteBuffer& target);
// Quoted-printable text decoded with its hard line breaks as CR LF, the
// canonical form of text (RFC 2045 section 6.7), and no line end after a
// last line that had none: the text of a part exactly as a sender wrote it.
void DecodeQuotedPrintableText(std::string_view text, ByteBuffer& target);

// The content that `text` in `encoding` stands for, in `target`. kContent
// gives it as a leaf keeps it (line ends LF); kAsSent keeps the sender's
// CR LF line breaks and, for the plain encodings, every byte as it stands.
enum class LineBreaks { kContent, kAsSent };
void DecodeTransferText(TransferEncoding encoding, std::string_view text, ByteBuffer& target, LineBreaks breaks);

// Encoders that write into storage the caller provides, which must have room
// for the size the function below gives; they return the number of
// characters written.
size_t Base64EncodedSize(size_t size);
// One run of base64 without line breaks (what SASL and URL-safe forms take).
std::string Base64Run(std::string_view bytes);
// The most room the quoted-printable encoder asks of a string it appends
// `size` bytes of content to. A writer that makes room for a whole message
// at once makes this much for such a leaf: with less, the encoder's first
// request near the end of the message would double the whole string.
size_t QuotedPrintableRoom(size_t size);
size_t EncodeBase64(const uint8_t* data, size_t size, char* out);

// Whether the codecs may use the vector instructions of the processor where it
// has them (the default). Tests and benchmarks switch this off to check and
// measure the portable paths on machines that have the vector ones.
void SetVectorCodecsEnabled(bool enabled);
bool VectorCodecsEnabled();

}  // namespace vesk
