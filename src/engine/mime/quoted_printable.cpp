// Quoted-printable (RFC 2045 section 6.7).
//
// Encoding: printable ASCII other than "=", and TAB, stand for themselves;
// every other byte, CR included, becomes "=" and two upper-case hex digits; LF
// is a hard line break written as CR LF, with a space or TAB right before it
// escaped (rule 3). A line is broken softly ("=" CR LF) as soon as it holds more
// than 72 characters, so no line exceeds 76 (rule 5). "From " at the start of a
// line is written "=46rom " so that mbox tools do not mangle it.
//
// Decoding: lines end at LF and CRs are dropped wherever they stand, as
// Stream::ReadLine delivers them. "=" and two hex digits (either case) give
// one byte; "=" at the end of a line is a soft line break; an "=" not followed
// by two hex digits is kept as it stands and what follows it is read as usual
// (section 6.7, note 2).
//
// Speed (1): the encoder copies runs of literal characters at once, bounded in
// advance by the room left on the line; with SSE2 it classifies sixteen bytes
// with a few compares and finds the end of the run from the mask.
// Speed (2): the decoder finds "=", CR and LF with SSE2 compares, sixty-four
// bytes at a time, and decodes all of them from the one mask, copying the plain
// stretches between them with wide stores; the usual specials (escapes, soft
// and hard line ends) are worked out without branching on their kind. Without
// SSE2 it looks eight bytes at a time with word arithmetic (a byte equal to X
// is a zero byte of word XOR X, found by the borrow trick:
// (v - 0x01..01) & ~v & 0x80..80 flags it; flags can be wrong only above a true
// zero byte, so the lowest flag is exact). Anything unusual goes to a careful
// byte-by-byte path.

#include <array>
#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint8_t kNotHex = 0xFF;
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

constexpr std::array<uint8_t, 256> MakeHexValues() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kNotHex;
  for (uint8_t i = 0; i < 10; ++i) table['0' + i] = i;
  for (uint8_t i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<uint8_t>(10 + i);
    table['a' + i] = static_cast<uint8_t>(10 + i);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kHexValue = MakeHexValues();

// kCapitalF is a literal that may begin "From " at the start of a line.
enum ByteClass : uint8_t { kLiteral, kCapitalF, kLineFeed, kEscaped };

constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> table{};
  for (size_t c = 0; c < 256; ++c) {
    table[c] = ((c >= 0x20 && c <= 0x7E && c != '=') || c == '\t') ? kLiteral : kEscaped;
  }
  table['F'] = kCapitalF;
  table['\n'] = kLineFeed;
  return table;
}

constexpr std::array<uint8_t, 256> kClass = MakeClasses();

constexpr size_t kSoftBreakColumn = 72;  // a line longer than this is broken

// Copies the run of literal bytes that starts at src[i] (a literal) and ends
// before the first byte of another class or at `limit`, to `o`; returns its
// length (Speed (1)). Bytes past the run may be stored too: they lie within
// the room the caller gave, and later output overwrites them.
inline size_t LiteralRun(const uint8_t* src, size_t size, size_t i, size_t limit, char* o, bool vector) {
  size_t j = i + 1;
  o[0] = static_cast<char>(src[i]);
#ifdef __SSE2__
  const __m128i below_printable = _mm_set1_epi8(0x1F);
  const __m128i above_printable = _mm_set1_epi8(0x7F);
  const __m128i equals = _mm_set1_epi8('=');
  const __m128i capital_f = _mm_set1_epi8('F');
  const __m128i tab = _mm_set1_epi8('\t');
  while (j < limit && size - j >= 16 && vector) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j));
    // Signed compares: bytes from 0x80 are negative and so not printable.
    const __m128i printable =
        _mm_and_si128(_mm_cmpgt_epi8(chars, below_printable), _mm_cmplt_epi8(chars, above_printable));
    const __m128i other_class = _mm_or_si128(_mm_cmpeq_epi8(chars, equals), _mm_cmpeq_epi8(chars, capital_f));
    const __m128i literal = _mm_or_si128(_mm_andnot_si128(other_class, printable), _mm_cmpeq_epi8(chars, tab));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + (j - i)), chars);
    const unsigned not_literal = ~static_cast<unsigned>(_mm_movemask_epi8(literal)) & 0xFFFF;
    if (not_literal != 0) {
      j += static_cast<size_t>(std::countr_zero(not_literal));
      return (j < limit ? j : limit) - i;
    }
    j += 16;
  }
  if (j >= limit) return limit - i;
#endif
  (void)vector;
  (void)size;
  while (j < limit && kClass[src[j]] == kLiteral) {
    o[j - i] = static_cast<char>(src[j]);
    ++j;
  }
  return j - i;
}

// Encodes src[*next] onwards into `out` until the source ends, or until
// `stop` has been reached at the start of an output line (so that the caller
// can write out what is done and go on with an empty line). Returns the number
// of characters written. `out` must have room for
// QuotedPrintableEncodedBound(stop - *next + kSoftBreakColumn + 1).
size_t EncodeUntil(const uint8_t* src, size_t size, size_t* next, size_t stop, char* out) {
  const bool vector = VectorCodecsEnabled();
  size_t i = *next;
  char* o = out;
  size_t col = 0;
  while (i < size && !(col == 0 && i >= stop)) {
    const uint8_t c = src[i];
    switch (kClass[c]) {
      case kLiteral: {
        const size_t room = kSoftBreakColumn + 1 - col;
        const size_t limit = size - i < room ? size : i + room;
        const size_t run = LiteralRun(src, size, i, limit, o, vector);
        o += run;
        col += run;
        i += run;
        break;
      }
      case kCapitalF:
        if (col == 0 && size - i - 1 > 4 && std::memcmp(src + i + 1, "rom ", 4) == 0) {
          std::memcpy(o, "=46rom ", 7);
          o += 7;
          col += 7;
          i += 5;
        } else {
          *o++ = 'F';
          ++col;
          ++i;
        }
        break;
      case kLineFeed:
        if (col > 0 && (o[-1] == ' ' || o[-1] == '\t')) {
          const uint8_t white = static_cast<uint8_t>(o[-1]);
          o[-1] = '=';
          o[0] = kHexDigits[white >> 4];
          o[1] = kHexDigits[white & 15];
          o += 2;
        }
        o[0] = '\r';
        o[1] = '\n';
        o += 2;
        col = 0;
        ++i;
        continue;
      default:
        // A CR right before an LF belongs to the line end (content put in
        // with CR LF line ends must not reach readers as "=0D" plus a break).
        if (c == '\r' && i + 1 < size && src[i + 1] == '\n') {
          ++i;
          continue;
        }
        o[0] = '=';
        o[1] = kHexDigits[c >> 4];
        o[2] = kHexDigits[c & 15];
        o += 3;
        col += 3;
        ++i;
        break;
    }
    if (col > kSoftBreakColumn) {
      std::memcpy(o, "=\r\n", 3);
      o += 3;
      col = 0;
    }
  }
  // A last line without LF ends in a soft line break.
  if (col != 0) {
    std::memcpy(o, "=\r\n", 3);
    o += 3;
  }
  *next = i;
  return static_cast<size_t>(o - out);
}

// Encodes the whole source in slices, handing each slice's text to `sink`.
template <class Sink>
void EncodeInSlices(const uint8_t* src, size_t size, Sink&& sink) {
  constexpr size_t kSlice = 16 * 1024;
  std::unique_ptr<char[]> chunk(new char[QuotedPrintableEncodedBound(kSlice + kSoftBreakColumn + 1)]);
  size_t next = 0;
  while (next < size) {
    const size_t stop = size - next < kSlice ? size : next + kSlice;
    sink(chunk.get(), EncodeUntil(src, size, &next, stop, chunk.get()));
  }
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

constexpr uint64_t ZeroBytes(uint64_t v) { return (v - kOnes) & ~v & kHighs; }

// The usual special characters met by the fast scans of DecodeLines: an
// escape with two hex digits, a soft line break ("=" before LF or CR LF), LF,
// CR LF. Returns false, moving nothing, for anything else (or when fewer than
// three characters are left), which the careful path then handles.
inline bool DecodeUsualSpecial(const char*& in, const char* end, uint8_t*& o) {
  if (end - in < 3) return false;
  // Worked out without branching on which kind it is: the kinds mix
  // irregularly in text, and a mispredicted branch costs more than the sums.
  const uint8_t high = kHexValue[static_cast<uint8_t>(in[1])];
  const uint8_t low = kHexValue[static_cast<uint8_t>(in[2])];
  const bool equals = in[0] == '=';
  const bool escape = equals && (high | low) < 16;
  const bool soft_cr_lf = equals && in[1] == '\r' && in[2] == '\n';
  const bool soft_lf = equals && in[1] == '\n';
  const bool line_feed = in[0] == '\n';
  const bool cr_lf = in[0] == '\r' && in[1] == '\n';
  if (!(escape | soft_cr_lf | soft_lf | line_feed | cr_lf)) return false;
  *o = escape ? static_cast<uint8_t>((high << 4) | low) : static_cast<uint8_t>('\n');
  o += escape | line_feed | cr_lf;
  in += (escape | soft_cr_lf) ? 3 : ((soft_lf | cr_lf) ? 2 : 1);
  return true;
}

// Copies plain characters up to the next "=", CR or LF (Speed (2)) and
// handles the usual specials; returns at the first unusual one or when fewer
// than a word of characters is left. Output never runs ahead of input, so the
// wide stores stay within the room of DecodeLines.
inline void DecodeFast(const char*& in, const char* end, uint8_t*& o, bool vector) {
#ifdef __SSE2__
  if (vector) {
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    auto specials = [&](__m128i chars) {
      return static_cast<uint64_t>(_mm_movemask_epi8(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chars, equals), _mm_cmpeq_epi8(chars, cr)), _mm_cmpeq_epi8(chars, lf))));
    };
    // Sixty-four characters a step. All the specials among them are decoded
    // one after the other from the mask, without loading the window again, so
    // that a step does not wait on the decoding of each special before it can
    // look for the next one. The plain stretch before each special is copied
    // with four wide stores, so a step needs 130 characters left.
    auto copy64 = [](uint8_t* to, const char* from) {
      for (int k = 0; k < 64; k += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + k), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k)));
      }
    };
    while (end - in >= 130) {
      uint64_t mask = 0;
      for (int k = 0; k < 64; k += 16) {
        mask |= specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k))) << k;
      }
      size_t done = 0;  // characters of the window handled so far
      while (mask != 0) {
        const size_t at = static_cast<size_t>(std::countr_zero(mask));
        copy64(o, in + done);
        o += at - done;
        const char* here = in + at;
        if (!DecodeUsualSpecial(here, end, o)) {
          in = here;
          return;
        }
        done = static_cast<size_t>(here - in);  // at most 66
        mask = done >= 64 ? 0 : mask & (~uint64_t{0} << done);  // specials inside what was decoded are done
      }
      if (done < 64) {
        copy64(o, in + done);
        o += 64 - done;
        done = 64;
      }
      in += done;
    }
    while (end - in >= 16) {
      const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
      const unsigned mask = static_cast<unsigned>(specials(chars));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), chars);
      if (mask == 0) {
        o += 16;
        in += 16;
        continue;
      }
      const int plain = std::countr_zero(mask);
      o += plain;
      in += plain;
      if (!DecodeUsualSpecial(in, end, o)) return;
    }
    return;
  }
#else
  (void)vector;
#endif
  if constexpr (kLittleEndian) {
    while (end - in >= 8) {
      uint64_t word;
      std::memcpy(&word, in, 8);
      const uint64_t flags =
          ZeroBytes(word ^ (kOnes * '=')) | ZeroBytes(word ^ (kOnes * '\r')) | ZeroBytes(word ^ (kOnes * '\n'));
      std::memcpy(o, in, 8);
      if (flags == 0) {
        o += 8;
        in += 8;
        continue;
      }
      const size_t plain = static_cast<size_t>(std::countr_zero(flags)) / 8;
      o += plain;
      in += plain;
      if (!DecodeUsualSpecial(in, end, o)) return;
    }
  }
}

// Decodes text that ends with LF (every line complete) into `out`, which has
// room for the text's length; returns the number of bytes written.
size_t DecodeLines(const char* in, const char* end, uint8_t* out) {
  const bool vector = VectorCodecsEnabled();
  uint8_t* o = out;
  while (in < end) {
    DecodeFast(in, end, o, vector);
    if (in == end) break;
    const char c = *in;
    if (c == '\r') {
      ++in;
      continue;
    }
    if (c != '=') {
      *o++ = static_cast<uint8_t>(c);
      ++in;
      continue;
    }
    // The characters after "=", CRs skipped; the text ends with LF, so these
    // scans stop at the latest on the last byte.
    const char* first = in + 1;
    while (*first == '\r') ++first;
    if (*first == '\n') {  // soft line break
      in = first + 1;
      continue;
    }
    const char* second = first + 1;
    while (*second == '\r') ++second;
    if (*second != '\n') {
      const uint8_t high = kHexValue[static_cast<uint8_t>(*first)];
      const uint8_t low = kHexValue[static_cast<uint8_t>(*second)];
      if (high != kNotHex && low != kNotHex) {
        *o++ = static_cast<uint8_t>((high << 4) | low);
        in = second + 1;
        continue;
      }
    }
    *o++ = '=';  // not an escape: kept as it stands
    ++in;
  }
  return static_cast<size_t>(o - out);
}

}  // namespace

size_t QuotedPrintableEncodedBound(size_t size) {
  // At most three characters a byte, and a soft break ("=" CR LF) at the
  // latest after every 25 escaped bytes; 3/25 is below 1/8.
  return size * 3 + size / 8 + 8;
}

size_t EncodeQuotedPrintable(const uint8_t* data, size_t size, char* out) {
  size_t next = 0;
  return EncodeUntil(data, size, &next, size, out);
}

void EncodeQuotedPrintable(const uint8_t* data, size_t size, std::string& out) {
  out.reserve(out.size() + size + size / 4 + 8);
  EncodeInSlices(data, size, [&](const char* text, size_t length) { out.append(text, length); });
}

bool QuotedPrintableCodec::Encode(Stream& target, const ByteBuffer& source) {
  EncodeInSlices(source.data(), source.size(), [&](const char* text, size_t length) { target.Write(text, length); });
  return true;
}

bool QuotedPrintableCodec::Decode(Stream& source, ByteBuffer& target) {
  target.Clear();
  std::string line;
  while (source.ReadLine(line)) {
    line += '\n';
    uint8_t* out = target.PrepareAppend(line.size());
    target.CommitAppend(DecodeLines(line.data(), line.data() + line.size(), out));
  }
  return true;
}

void DecodeQuotedPrintable(std::string_view text, ByteBuffer& target) {
  // As over a stream, only what stands up to the last LF counts.
  const size_t last_lf = text.rfind('\n');
  if (last_lf == std::string_view::npos) {
    target.Clear();
    return;
  }
  uint8_t* out = target.PrepareReplace(last_lf + 1);
  target.CommitAppend(DecodeLines(text.data(), text.data() + last_lf + 1, out));
  if (target.empty()) target.Clear();
}

}  // namespace vesk
