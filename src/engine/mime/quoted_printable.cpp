// Quoted-printable (RFC 2045 section 6.7).
//
// Encoding: printable ASCII other than "=" and TAB stand for themselves; every
// other byte, CR included, becomes "=" and two upper-case hex digits; LF is a
// hard line break written as CR LF, with a space or TAB before it escaped
// (rule 3). A line is broken softly ("=" CR LF) as soon as it holds more than
// 72 characters, so no line exceeds 76 (rule 5). "From " at the start of a
// line is written "=46rom " so that mbox tools do not mangle it.
//
// Decoding: "=" and two hex digits (either case) give one byte; "=" at the end
// of a line is a soft line break; an "=" not followed by two hex digits is kept
// as it stands, with what follows it (section 6.7, note 2).

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/stream.h"

namespace vesk {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint8_t kNotHex = 0xFF;

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

enum ByteClass : uint8_t { kLiteral, kLineFeed, kEscaped };

constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> table{};
  for (size_t c = 0; c < 256; ++c) {
    table[c] = ((c >= 0x20 && c <= 0x7E && c != '=') || c == '\t') ? kLiteral : kEscaped;
  }
  table['\n'] = kLineFeed;
  return table;
}

constexpr std::array<uint8_t, 256> kClass = MakeClasses();

constexpr size_t kSoftBreakColumn = 72;  // a line longer than this is broken

// Copies the literal bytes at `p` (at most `most` of them; `left` bytes can
// be read there) to `out` and says how many there were. A literal byte is
// one with 0x20 <= byte < 0x7F other than "=", or TAB. With the SSE2
// instructions (when `vector` allows) it looks at 16 bytes a step and stores
// them whole, which may write up to 16 bytes past the run into room the
// caller has made; the signed comparison below 0x20 also catches every byte
// from 0x80.
size_t CopyLiteralRun(const uint8_t* p, size_t most, size_t left, char* out, bool vector) {
  size_t run = 0;
#if defined(__SSE2__)
  if (vector) {
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i equals = _mm_set1_epi8('=');
    while (run < most && left - run >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + run));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + run), v);
      const __m128i control = _mm_andnot_si128(_mm_cmpeq_epi8(v, tab), _mm_cmplt_epi8(v, space));
      const __m128i escaped = _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, equals)));
      if (const int mask = _mm_movemask_epi8(escaped)) {
        run += static_cast<size_t>(__builtin_ctz(mask));
        return run < most ? run : most;
      }
      run += 16;
    }
    if (run >= most) return most;
  }
#else
  (void)left;
  (void)vector;
#endif
  while (run < most && kClass[p[run]] == kLiteral) {
    out[run] = static_cast<char>(p[run]);
    ++run;
  }
  return run;
}

// Encodes the whole source into `out` (appending). After each line end, when
// the output has reached `flush_at` characters, `flush` is given the
// characters so far and the output starts again from empty.
//
// Speed: the output is made one line at a time, and room for a whole line is
// made before it starts, so the byte loop tests nothing but the byte.
// Room beyond an eighth more than the content: four times the most one
// output line can take (see EncodeQuotedPrintableInto).
constexpr size_t kQuotedPrintableSlack = 512;

template <class Flush>
void EncodeQuotedPrintableInto(const uint8_t* src, size_t size, std::string& out, size_t flush_at, Flush&& flush) {
  // More than one output line can take: at most 72 characters, one step of
  // up to 7 ("=46rom "), a soft break or an escaped blank with CR LF, and the
  // 16 bytes a vector store may write past a run.
  constexpr size_t kLineRoom = 128;
  const bool vector = VectorCodecsEnabled();
  size_t pos = out.size();
  size_t i = 0;
  while (i < size) {
    if (out.size() - pos < kLineRoom) {
      // Room for about what the rest of this source needs (an eighth more
      // than its size, or up to the next flush), never a multiple of what
      // `out` already holds: `out` may be a whole message written so far,
      // and growing it by its own size zero-fills that much again per leaf.
      const size_t rest = size - i;
      out.resize(pos + std::min(rest + rest / 8, flush_at) + kQuotedPrintableSlack);
    }
    char* const o = out.data();
    size_t col = 0;
    bool line_ended = false;
    while (i < size) {
      const uint8_t c = src[i];
      const uint8_t kind = kClass[c];
      if (kind == kLiteral) {
        if (c == 'F' && col == 0 && size - i - 1 > 4 && std::memcmp(src + i + 1, "rom ", 4) == 0) {
          std::memcpy(o + pos, "=46rom ", 7);
          pos += 7;
          col += 7;
          i += 5;
        } else {
          // A run of literal bytes up to the soft-break column goes in one
          // copy; an "F" inside a line needs no look.
          const size_t room = kSoftBreakColumn + 1 - col;
          const size_t left = size - i;
          const size_t most = room < left ? room : left;
          const size_t run = CopyLiteralRun(src + i, most, left, o + pos, vector);
          pos += run;
          col += run;
          i += run;
        }
      } else if (kind == kLineFeed) {
        if (col > 0 && (o[pos - 1] == ' ' || o[pos - 1] == '\t')) {
          const uint8_t white = static_cast<uint8_t>(o[pos - 1]);
          o[pos - 1] = '=';
          o[pos] = kHexDigits[white >> 4];
          o[pos + 1] = kHexDigits[white & 15];
          pos += 2;
        }
        o[pos++] = '\r';
        o[pos++] = '\n';
        ++i;
        line_ended = true;
        break;
      } else if (c == '\r' && i + 1 < size && src[i + 1] == '\n') {
        // A CR right before an LF belongs to the line end (content put in
        // with CR LF line ends must not reach readers as "=0D" plus a break).
        ++i;
        continue;
      } else {
        o[pos] = '=';
        o[pos + 1] = kHexDigits[c >> 4];
        o[pos + 2] = kHexDigits[c & 15];
        pos += 3;
        col += 3;
        ++i;
      }
      if (col > kSoftBreakColumn) {
        std::memcpy(o + pos, "=\r\n", 3);
        pos += 3;
        line_ended = true;
        break;
      }
    }
    if (!line_ended) {
      // A last line without LF ends in a soft line break.
      std::memcpy(o + pos, "=\r\n", 3);
      pos += 3;
      break;
    }
    if (pos >= flush_at) {
      flush(o, pos);
      pos = 0;
    }
  }
  out.resize(pos);
}

// Decodes one line (without its line end, without CRs) into `out`, which has
// room for size + 1 bytes; returns the number of bytes written. The LF of a
// hard line end is included; a last line that no LF ended has no line end to
// give.
// One line's text decoded, then `line_break` (empty for the last line
// without one) unless the line ends in a soft break. `out` has room for
// size + 2 bytes.
size_t DecodeLine(const char* in, size_t size, uint8_t* out, std::string_view line_break) {
  const char* const end = in + size;
  uint8_t* const start = out;
  while (in < end) {
    const void* found = std::memchr(in, '=', static_cast<size_t>(end - in));
    const char* equals = found ? static_cast<const char*>(found) : end;
    const size_t run = static_cast<size_t>(equals - in);
    std::memcpy(out, in, run);
    out += run;
    in = equals;
    if (in == end) break;
    if (end - in == 1) return static_cast<size_t>(out - start);  // soft line break
    if (end - in >= 3) {
      const uint8_t high = kHexValue[static_cast<uint8_t>(in[1])];
      const uint8_t low = kHexValue[static_cast<uint8_t>(in[2])];
      if (high != kNotHex && low != kNotHex) {
        *out++ = static_cast<uint8_t>((high << 4) | low);
        in += 3;
        continue;
      }
    }
    *out++ = '=';
    ++in;
  }
  // One or two bytes: no call of memcpy for them.
  for (const char c : line_break) *out++ = static_cast<uint8_t>(c);
  return static_cast<size_t>(out - start);
}

void AppendDecodedLine(const char* in, size_t size, std::string_view line_break, ByteBuffer& target) {
  uint8_t* out = target.PrepareAppend(size + 2);
  target.CommitAppend(DecodeLine(in, size, out, line_break));
}

// The lines of a whole run, each hard line break given as `line_break`; a
// last line without LF gets none.
void DecodeRun(std::string_view text, ByteBuffer& target, std::string_view line_break) {
  target.Clear();
  target.PrepareAppend(text.size() + 2);
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    const size_t lf = text.find('\n', start);
    const bool ended_by_lf = lf != std::string_view::npos;
    // Lines hold no CR once read; the usual one sits right before the LF.
    size_t end = ended_by_lf ? lf : text.size();
    if (end > start && text[end - 1] == '\r') --end;
    const std::string_view body = text.substr(start, end - start);
    const std::string_view ending = ended_by_lf ? line_break : std::string_view();
    if (body.find('\r') == std::string_view::npos) {
      AppendDecodedLine(body.data(), body.size(), ending, target);
    } else {
      line.clear();
      AppendWithoutCarriageReturns(line, body.data(), body.data() + body.size());
      AppendDecodedLine(line.data(), line.size(), ending, target);
    }
    if (!ended_by_lf) return;
    start = lf + 1;
  }
}

}  // namespace

bool QuotedPrintableCodec::Decode(Stream& source, ByteBuffer& target) {
  target.Clear();
  std::string line;
  bool ended_by_lf;
  while (ReadAnyLine(source, line, ended_by_lf)) {
    AppendDecodedLine(line.data(), line.size(), ended_by_lf ? "\n" : "", target);
  }
  return true;
}

bool QuotedPrintableCodec::Encode(Stream& target, const ByteBuffer& source) {
  if (std::string* out = target.AppendBuffer()) {
    EncodeQuotedPrintable(source.data(), source.size(), *out);
    return true;
  }
  constexpr size_t kRun = 60 * 1024;
  std::string out;
  out.reserve(std::min(source.size() + source.size() / 8 + 256, kRun + 256));
  EncodeQuotedPrintableInto(source.data(), source.size(), out, kRun,
                            [&](const char* text, size_t size) { target.Write(text, size); });
  if (!out.empty()) target.Write(out.data(), out.size());
  return true;
}

size_t QuotedPrintableRoom(size_t size) { return size + size / 8 + kQuotedPrintableSlack; }

void EncodeQuotedPrintable(const uint8_t* data, size_t size, std::string& out) {
  out.reserve(out.size() + QuotedPrintableRoom(size));
  EncodeQuotedPrintableInto(data, size, out, std::numeric_limits<size_t>::max(), [](const char*, size_t) {});
}

void DecodeQuotedPrintable(std::string_view text, ByteBuffer& target) { DecodeRun(text, target, "\n"); }

void DecodeQuotedPrintableText(std::string_view text, ByteBuffer& target) { DecodeRun(text, target, "\r\n"); }

}  // namespace vesk
