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
// Speed (1): the decoder looks up the four characters of a group in four
// tables whose entries already stand at their place in the three decoded
// bytes, with the top bit set for anything outside the alphabet. OR-ing four
// lookups gives the bytes, and one test of the top bit over four groups at once
// decides whether sixteen characters are plain alphabet. Only a stretch that
// holds something else (a line end, padding, a stray character) goes through
// the character-by-character path, which keeps the state across lines.
// Speed (2): the encoder reads six bytes with one eight-byte load and turns
// each twelve bits into two characters with one lookup in a 4096-entry table
// of character pairs.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VESK_BASE64_SSSE3 1
#include <immintrin.h>
#endif

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kInvalid = 0x80000000u;

constexpr uint8_t kNotInAlphabet = 0xFF;
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

constexpr std::array<uint8_t, 256> MakeSextets() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotInAlphabet;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> kSextet = MakeSextets();

// Speed (1): the tables for the character at place 0 to 3 of a group. The
// entries are laid out so that OR-ing the four gives the three decoded bytes
// in memory order in the low bytes of a little-endian word.
constexpr std::array<uint32_t, 256> MakePlaced(int place) {
  std::array<uint32_t, 256> table{};
  for (size_t c = 0; c < 256; ++c) {
    const uint32_t v = kSextet[c];
    if (v == kNotInAlphabet) {
      table[c] = kInvalid;
      continue;
    }
    switch (place) {
      case 0: table[c] = v << 2; break;
      case 1: table[c] = (v >> 4) | ((v & 15) << 12); break;
      case 2: table[c] = ((v >> 2) << 8) | ((v & 3) << 22); break;
      default: table[c] = v << 16; break;
    }
  }
  return table;
}

constexpr std::array<uint32_t, 256> kPlace0 = MakePlaced(0);
constexpr std::array<uint32_t, 256> kPlace1 = MakePlaced(1);
constexpr std::array<uint32_t, 256> kPlace2 = MakePlaced(2);
constexpr std::array<uint32_t, 256> kPlace3 = MakePlaced(3);

inline uint32_t Group(const uint8_t* in) {
  return kPlace0[in[0]] | kPlace1[in[1]] | kPlace2[in[2]] | kPlace3[in[3]];
}

constexpr std::array<char, 8192> MakePairs() {
  std::array<char, 8192> pairs{};
  for (size_t i = 0; i < 4096; ++i) {
    pairs[2 * i] = kAlphabet[i >> 6];
    pairs[2 * i + 1] = kAlphabet[i & 63];
  }
  return pairs;
}

constexpr std::array<char, 8192> kPairs = MakePairs();

#ifdef VESK_BASE64_SSSE3
// Speed (3): on processors with SSSE3 (every x86-64 processor of the last
// fifteen years; checked at run time), sixteen characters are checked and
// translated at once. The character classes come from two 16-entry tables
// indexed by the low and the high nibble: a character is outside the alphabet
// when the AND of its two entries is not zero. The sextet is the character
// plus an offset chosen by its high nibble ("/" shares its nibble with "+",
// so it is moved one entry down). Multiply-add instructions then pack four
// sextets into three bytes per 32-bit lane, and one shuffle puts the twelve
// bytes in order. A block with anything outside the alphabet is left to the
// scalar path.
__attribute__((target("ssse3"))) void DecodeBlocksSsse3(const uint8_t*& in, const uint8_t* end, uint8_t*& out) {
  const __m128i low_classes = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                            0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i high_classes = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                             0x10, 0x10, 0x10, 0x10);
  const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  while (end - in >= 16) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
    const __m128i low = _mm_and_si128(chars, nibble);
    const __m128i bad = _mm_and_si128(_mm_shuffle_epi8(low_classes, low), _mm_shuffle_epi8(high_classes, high));
    const int bad_mask = _mm_movemask_epi8(_mm_cmpgt_epi8(bad, _mm_setzero_si128()));
    const __m128i shift = _mm_shuffle_epi8(offsets, _mm_add_epi8(_mm_cmpeq_epi8(chars, slash), high));
    const __m128i sextets = _mm_add_epi8(chars, shift);
    const __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi32(0x01400140));
    const __m128i triples = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(triples, order));
    if (bad_mask == 0) {
      out += 12;
      in += 16;
      continue;
    }
    // Each group of four gives its own three bytes, so the whole groups before
    // the first bad character are good. A line end right after them is
    // skipped here; anything else is the scalar path's.
    const int good = std::countr_zero(static_cast<unsigned>(bad_mask));
    out += good / 4 * 3;
    in += good / 4 * 4;
    if (good % 4 != 0) return;
    if (*in == '\r') ++in;
    if (in == end || *in != '\n') return;
    ++in;
  }
}

// Asked once at start-up; the feature table is filled first in case this runs
// before the runtime's own initialiser.
const bool kHaveSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

// Decoding state that lasts across lines: the sextets of an incomplete group
// and whether padding has ended the data.
class Base64Decoder {
 public:
  // Room `out` must have for `size` characters (a few bytes more than the
  // decoded bytes, for the wide stores of the fast paths).
  static size_t Capacity(size_t size) { return size / 4 * 3 + 8; }

  bool finished() const { return finished_; }

  // Decodes `size` characters into `out`; returns the number of bytes written.
  size_t Feed(const uint8_t* in, size_t size, uint8_t* out) {
    const uint8_t* const end = in + size;
    uint8_t* const start = out;
    while (!finished_) {
      if constexpr (kLittleEndian) {
        if (pending_ == 0) {
#ifdef VESK_BASE64_SSSE3
          if (kHaveSsse3 && VectorCodecsEnabled()) DecodeBlocksSsse3(in, end, out);
#endif
          // Whole groups, sixteen characters at a time (Speed (1)).
          while (end - in >= 16) {
            const uint32_t a = Group(in), b = Group(in + 4), c = Group(in + 8), d = Group(in + 12);
            if ((a | b | c | d) & kInvalid) break;
            const uint64_t first = a | (static_cast<uint64_t>(b) << 24);
            const uint64_t second = c | (static_cast<uint64_t>(d) << 24);
            std::memcpy(out, &first, 8);
            std::memcpy(out + 6, &second, 8);
            out += 12;
            in += 16;
          }
          if (end - in >= 4) {
            const uint32_t a = Group(in);
            if (!(a & kInvalid)) {
              std::memcpy(out, &a, 4);
              out += 3;
              in += 4;
              continue;
            }
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
        out += Finish(out);
      }
    }
    return static_cast<size_t>(out - start);
  }

  // Ends the data (padding, or the end of the content when the padding is
  // missing): two sextets carry one byte, three carry two. Returns the number
  // of bytes written to `out` (at most two).
  size_t Finish(uint8_t* out) {
    if (finished_) return 0;
    finished_ = true;
    if (pending_ == 2) {
      out[0] = static_cast<uint8_t>(bits_ >> 4);
      return 1;
    }
    if (pending_ == 3) {
      out[0] = static_cast<uint8_t>(bits_ >> 10);
      out[1] = static_cast<uint8_t>(bits_ >> 2);
      return 2;
    }
    return 0;
  }

 private:
  uint32_t bits_ = 0;
  int pending_ = 0;
  bool finished_ = false;
};

constexpr size_t kBytesPerLine = 57;

inline void PutPair(char* out, uint32_t twelve_bits) { std::memcpy(out, &kPairs[2 * twelve_bits], 2); }

// Encodes `size` bytes (at most one line's worth) into `out` and returns the
// number of characters written.
size_t EncodeLine(const uint8_t* in, size_t size, char* out) {
  char* const start = out;
  // Six bytes at a time from one eight-byte load, while eight can be read.
  while (size >= 8) {
    uint64_t word;
    std::memcpy(&word, in, 8);
    if constexpr (kLittleEndian) word = __builtin_bswap64(word);
    PutPair(out, static_cast<uint32_t>(word >> 52) & 0xFFF);
    PutPair(out + 2, static_cast<uint32_t>(word >> 40) & 0xFFF);
    PutPair(out + 4, static_cast<uint32_t>(word >> 28) & 0xFFF);
    PutPair(out + 6, static_cast<uint32_t>(word >> 16) & 0xFFF);
    out += 8;
    in += 6;
    size -= 6;
  }
  while (size >= 3) {
    const uint32_t group = (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8) | in[2];
    PutPair(out, group >> 12);
    PutPair(out + 2, group & 0xFFF);
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

void FeedInto(Base64Decoder& decoder, const char* text, size_t size, ByteBuffer& target) {
  if (decoder.finished() || size == 0) return;
  uint8_t* out = target.PrepareAppend(Base64Decoder::Capacity(size));
  target.CommitAppend(decoder.Feed(reinterpret_cast<const uint8_t*>(text), size, out));
}

}  // namespace

bool Base64Codec::Decode(Stream& source, ByteBuffer& target) {
  target.Clear();
  Base64Decoder decoder;
  std::string line;
  bool ended_by_lf;
  // Lines after the padding are still read, so that the whole content is
  // consumed.
  while (ReadAnyLine(source, line, ended_by_lf)) FeedInto(decoder, line.data(), line.size(), target);
  target.CommitAppend(decoder.Finish(target.PrepareAppend(2)));
  return true;
}

bool Base64Codec::Encode(Stream& target, const ByteBuffer& source) {
  if (std::string* out = target.AppendBuffer()) {
    EncodeBase64(source.data(), source.size(), *out);
    return true;
  }
  // Lines are gathered into runs of about 60 KiB before they are written.
  constexpr size_t kLinesPerRun = 800;
  constexpr size_t kRunBytes = kLinesPerRun * kBytesPerLine;
  std::string run(Base64EncodedSize(std::min(source.size(), kRunBytes)), '\0');
  const uint8_t* in = source.data();
  size_t left = source.size();
  while (left > 0) {
    const size_t take = left < kRunBytes ? left : kRunBytes;
    const size_t written = EncodeBase64(in, take, run.data());
    target.Write(run.data(), written);
    in += take;
    left -= take;
  }
  return true;
}

std::string Base64Run(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  EncodeLine(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text.data());
  return text;
}

size_t Base64EncodedSize(size_t size) {
  const size_t lines = (size + kBytesPerLine - 1) / kBytesPerLine;
  return (size + 2) / 3 * 4 + lines * 2;
}

size_t EncodeBase64(const uint8_t* data, size_t size, char* out) {
  char* const start = out;
  while (size > 0) {
    const size_t take = size < kBytesPerLine ? size : kBytesPerLine;
    out += EncodeLine(data, take, out);
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
    data += take;
    size -= take;
  }
  return static_cast<size_t>(out - start);
}

// Lines are encoded into a block on the stack and appended from there: making
// room in the string first would fill it with zeros only to overwrite them.
void EncodeBase64(const uint8_t* data, size_t size, std::string& out) {
  constexpr size_t kLinesPerBlock = 128;
  constexpr size_t kBlockBytes = kLinesPerBlock * kBytesPerLine;
  char block[kLinesPerBlock * 78];
  out.reserve(out.size() + Base64EncodedSize(size));
  while (size > 0) {
    const size_t take = size < kBlockBytes ? size : kBlockBytes;
    out.append(block, EncodeBase64(data, take, block));
    data += take;
    size -= take;
  }
}

void DecodeBase64(std::string_view text, ByteBuffer& target) {
  uint8_t* out = target.PrepareReplace(Base64Decoder::Capacity(text.size()));
  Base64Decoder decoder;
  size_t written = decoder.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
  written += decoder.Finish(out + written);
  target.CommitAppend(written);
  if (target.empty()) target.Clear();
}

}  // namespace vesk
