// Base64 (RFC 2045 section 6.8).
//
// Encoding writes 57 bytes as one line of 76 characters and CR LF, with "="
// padding on the last line only.
//
// Decoding follows the RFC rather than the line layout: characters outside the
// alphabet (line ends, white space, stray bytes) are ignored, a group of four
// may continue on the next line, and the first "=" ends the data. Real mail
// holds unwrapped base64 and lines of 64, 72 or 75 characters, so no line
// length is assumed. A group left incomplete at the end without padding gives
// no bytes.
//
// Speed (1): the decoder looks up all four characters of a group at once in
// tables that hold each sextet already shifted into place, with the top bit set
// for anything outside the alphabet. One OR of four loads and one test of the
// top bit decide a whole group; only groups holding something else (a line end,
// padding, a stray character) go through the character-by-character path.
// Speed (2): the encoder turns twelve bits into two characters with one lookup
// in a 4096-entry table of character pairs.

#include <array>
#include <cstring>

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kInvalid = 0x80000000u;

constexpr uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<uint8_t, 256> MakeSextets() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotInAlphabet;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<uint32_t, 256> MakeShifted(int shift) {
  constexpr std::array<uint8_t, 256> sextets = MakeSextets();
  std::array<uint32_t, 256> table{};
  for (size_t c = 0; c < 256; ++c) {
    table[c] = sextets[c] == kNotInAlphabet ? kInvalid : static_cast<uint32_t>(sextets[c]) << shift;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kSextet = MakeSextets();
constexpr std::array<uint32_t, 256> kShift18 = MakeShifted(18);
constexpr std::array<uint32_t, 256> kShift12 = MakeShifted(12);
constexpr std::array<uint32_t, 256> kShift6 = MakeShifted(6);
constexpr std::array<uint32_t, 256> kShift0 = MakeShifted(0);

constexpr std::array<char, 8192> MakePairs() {
  std::array<char, 8192> pairs{};
  for (size_t i = 0; i < 4096; ++i) {
    pairs[2 * i] = kAlphabet[i >> 6];
    pairs[2 * i + 1] = kAlphabet[i & 63];
  }
  return pairs;
}

constexpr std::array<char, 8192> kPairs = MakePairs();

// Decoding state that lasts across lines: the sextets of an incomplete group
// and whether padding has ended the data.
class Base64Decoder {
 public:
  bool finished() const { return finished_; }

  // Decodes `size` characters into `out`, which has room for size / 4 * 3 + 3
  // bytes; returns the number of bytes written.
  size_t Feed(const uint8_t* in, size_t size, uint8_t* out) {
    const uint8_t* const end = in + size;
    uint8_t* const start = out;
    while (!finished_) {
      if (pending_ == 0) {
        // Whole groups, eight characters at a time where possible (Speed (1)).
        while (end - in >= 8) {
          const uint32_t a = kShift18[in[0]] | kShift12[in[1]] | kShift6[in[2]] | kShift0[in[3]];
          const uint32_t b = kShift18[in[4]] | kShift12[in[5]] | kShift6[in[6]] | kShift0[in[7]];
          if ((a | b) & kInvalid) break;
          out[0] = static_cast<uint8_t>(a >> 16);
          out[1] = static_cast<uint8_t>(a >> 8);
          out[2] = static_cast<uint8_t>(a);
          out[3] = static_cast<uint8_t>(b >> 16);
          out[4] = static_cast<uint8_t>(b >> 8);
          out[5] = static_cast<uint8_t>(b);
          out += 6;
          in += 8;
        }
        if (end - in >= 4) {
          const uint32_t a = kShift18[in[0]] | kShift12[in[1]] | kShift6[in[2]] | kShift0[in[3]];
          if (!(a & kInvalid)) {
            out[0] = static_cast<uint8_t>(a >> 16);
            out[1] = static_cast<uint8_t>(a >> 8);
            out[2] = static_cast<uint8_t>(a);
            out += 3;
            in += 4;
            continue;
          }
        }
      }
      if (in == end) break;
      const uint8_t c = *in++;
      const uint8_t sextet = kSextet[c];
      if (sextet != kNotInAlphabet) {
        bits_ = (bits_ << 6) | sextet;
        if (++pending_ == 4) {
          out[0] = static_cast<uint8_t>(bits_ >> 16);
          out[1] = static_cast<uint8_t>(bits_ >> 8);
          out[2] = static_cast<uint8_t>(bits_);
          out += 3;
          pending_ = 0;
          bits_ = 0;
        }
      } else if (c == '=') {
        // Padding: two sextets carry one byte, three carry two.
        if (pending_ == 2) {
          *out++ = static_cast<uint8_t>(bits_ >> 4);
        } else if (pending_ == 3) {
          *out++ = static_cast<uint8_t>(bits_ >> 10);
          *out++ = static_cast<uint8_t>(bits_ >> 2);
        }
        finished_ = true;
      }
    }
    return static_cast<size_t>(out - start);
  }

 private:
  uint32_t bits_ = 0;
  int pending_ = 0;
  bool finished_ = false;
};

size_t DecodedCapacity(size_t characters) { return characters / 4 * 3 + 3; }

void FeedInto(Base64Decoder& decoder, const char* text, size_t size, ByteBuffer& target) {
  if (decoder.finished() || size == 0) return;
  uint8_t* out = target.PrepareAppend(DecodedCapacity(size));
  target.CommitAppend(decoder.Feed(reinterpret_cast<const uint8_t*>(text), size, out));
}

constexpr size_t kBytesPerLine = 57;

// Encodes `size` bytes (at most one line's worth) into `out` and returns the
// number of characters written.
size_t EncodeLine(const uint8_t* in, size_t size, char* out) {
  char* const start = out;
  while (size >= 3) {
    const uint32_t group = (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8) | in[2];
    std::memcpy(out, &kPairs[2 * (group >> 12)], 2);
    std::memcpy(out + 2, &kPairs[2 * (group & 0xFFF)], 2);
    out += 4;
    in += 3;
    size -= 3;
  }
  if (size == 1) {
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[(in[0] & 3) << 4];
    out[2] = '=';
    out[3] = '=';
    out += 4;
  } else if (size == 2) {
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
    out[2] = kAlphabet[(in[1] & 15) << 2];
    out[3] = '=';
    out += 4;
  }
  return static_cast<size_t>(out - start);
}

// Encodes `size` bytes as whole lines into `out`, which has room for
// EncodedSize(size) characters; returns the number written.
size_t EncodeLines(const uint8_t* in, size_t size, char* out) {
  char* const start = out;
  while (size > 0) {
    const size_t take = size < kBytesPerLine ? size : kBytesPerLine;
    out += EncodeLine(in, take, out);
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
    in += take;
    size -= take;
  }
  return static_cast<size_t>(out - start);
}

size_t EncodedSize(size_t size) {
  const size_t lines = (size + kBytesPerLine - 1) / kBytesPerLine;
  return (size + 2) / 3 * 4 + lines * 2;
}

}  // namespace

bool Base64Codec::Decode(Stream& source, ByteBuffer& target) {
  target.Clear();
  Base64Decoder decoder;
  std::string line;
  // Lines after the padding are still read, so that the whole content is
  // consumed.
  while (source.ReadLine(line)) FeedInto(decoder, line.data(), line.size(), target);
  return true;
}

bool Base64Codec::Encode(Stream& target, const ByteBuffer& source) {
  // Lines are gathered into runs of about 60 KiB before they are written.
  constexpr size_t kLinesPerRun = 800;
  constexpr size_t kRunBytes = kLinesPerRun * kBytesPerLine;
  std::string run(EncodedSize(kRunBytes), '\0');
  const uint8_t* in = source.data();
  size_t left = source.size();
  while (left > 0) {
    const size_t take = left < kRunBytes ? left : kRunBytes;
    const size_t written = EncodeLines(in, take, run.data());
    target.Write(run.data(), written);
    in += take;
    left -= take;
  }
  return true;
}

void EncodeBase64(const uint8_t* data, size_t size, std::string& out) {
  const size_t old_size = out.size();
  out.resize(old_size + EncodedSize(size));
  const size_t written = EncodeLines(data, size, out.data() + old_size);
  out.resize(old_size + written);
}

void DecodeBase64(std::string_view text, ByteBuffer& target) {
  target.Clear();
  // As over a stream, only what stands before the last LF counts.
  const size_t last_lf = text.rfind('\n');
  if (last_lf == std::string_view::npos) return;
  Base64Decoder decoder;
  FeedInto(decoder, text.data(), last_lf, target);
}

}  // namespace vesk
