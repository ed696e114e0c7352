#pragma once

// The check every decoder target makes: the stream form over a scanning
// stream, the stream form over the byte-by-byte reader and the byte-run form
// all give the same bytes, with the vector paths and with the portable ones;
// then encoding those bytes and decoding the result
// gives them back where the encoding is lossless.

#include <cstdint>
#include <string>

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/string_stream.h"
#include "fuzz_support.h"

namespace vesk::fuzz {

using RunDecoder = void (*)(std::string_view, ByteBuffer&);
using RunEncoder = void (*)(const uint8_t*, size_t, std::string&);

inline std::string DecodeThroughStream(TransferCodec& codec, Stream& stream) {
  ByteBuffer target;
  codec.Decode(stream, target);
  return std::string(target.view());
}

// What content looks like after encoding and decoding: quoted-printable
// carries a CR LF as a line end, which decodes to LF.
inline std::string AfterRoundTrip(TransferEncoding encoding, std::string_view content) {
  std::string expected(content);
  if (encoding != TransferEncoding::kQuotedPrintable) return expected;
  for (size_t at = expected.find("\r\n"); at != std::string::npos; at = expected.find("\r\n", at)) {
    expected.erase(at, 1);
  }
  return expected;
}

inline void CheckDecoder(const uint8_t* data, size_t size, TransferEncoding encoding, RunDecoder run_decoder,
                         RunEncoder run_encoder, bool lossless) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto codec = MakeTransferCodec(encoding);
  StringStream fast{std::string(input)};
  ByteByByteStream shared(input);
  const std::string decoded = DecodeThroughStream(*codec, fast);
  Check(decoded == DecodeThroughStream(*codec, shared), "stream kinds agree");
  ByteBuffer run;
  run_decoder(input, run);
  Check(run.view() == decoded, "byte-run and stream forms agree");
  SetVectorCodecsEnabled(false);
  ByteBuffer portable;
  run_decoder(input, portable);
  StringStream portable_stream{std::string(input)};
  const std::string portable_decoded = DecodeThroughStream(*codec, portable_stream);
  SetVectorCodecsEnabled(true);
  Check(portable.view() == decoded && portable_decoded == decoded, "vector and portable paths agree");

  if (!lossless) return;
  std::string encoded;
  run_encoder(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size(), encoded);
  SetVectorCodecsEnabled(false);
  std::string portable_encoded;
  run_encoder(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size(), portable_encoded);
  SetVectorCodecsEnabled(true);
  Check(portable_encoded == encoded, "vector and portable encoders agree");
  StringStream encoded_stream(encoded);
  Check(DecodeThroughStream(*codec, encoded_stream) == AfterRoundTrip(encoding, decoded),
        "encoding then decoding gives the bytes back");
  // The raw input as content must come back too.
  std::string raw_encoded;
  run_encoder(data, size, raw_encoded);
  ByteBuffer raw_back;
  run_decoder(raw_encoded, raw_back);
  Check(raw_back.view() == AfterRoundTrip(encoding, input), "arbitrary content survives a round trip");
}

}  // namespace vesk::fuzz
