#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/mime/transfer_codec.h"
#include "engine/streams/byte_buffer.h"
#include "engine/streams/string_stream.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using testing::ChunkedStream;
using testing::ReadDataFile;

constexpr TransferEncoding kPlain = TransferEncoding::kPlain;
constexpr TransferEncoding kQp = TransferEncoding::kQuotedPrintable;
constexpr TransferEncoding kBase64 = TransferEncoding::kBase64;

ByteBuffer Bytes(std::string_view text) {
  ByteBuffer buffer;
  buffer.Assign(text.data(), text.size());
  return buffer;
}

// The stream form of encoding, with the target written in runs as a file
// would be; the byte-run form must agree with it on every input.
std::string Encoded(TransferEncoding encoding, std::string_view content) {
  ChunkedStream stream("", 1);
  EXPECT_TRUE(MakeTransferCodec(encoding)->Encode(stream, Bytes(content)));
  std::string run = "kept:";  // encoders append
  const auto* data = reinterpret_cast<const uint8_t*>(content.data());
  if (encoding == kPlain) EncodePlain(data, content.size(), run);
  if (encoding == kQp) EncodeQuotedPrintable(data, content.size(), run);
  if (encoding == kBase64) EncodeBase64(data, content.size(), run);
  EXPECT_EQ(run.substr(0, 5) + stream.written(), run) << "stream and run forms differ";
  return stream.written();
}

// Decoding over a stream arriving in `chunk`-sized pieces, checked against the
// run form on the same text.
std::string Decoded(TransferEncoding encoding, std::string_view text, size_t chunk = 4096) {
  ChunkedStream stream{std::string(text), chunk};
  ByteBuffer target = Bytes("stale content");
  EXPECT_TRUE(MakeTransferCodec(encoding)->Decode(stream, target));
  ByteBuffer run = Bytes("stale content");
  if (encoding == kPlain) DecodePlain(text, run);
  if (encoding == kQp) DecodeQuotedPrintable(text, run);
  if (encoding == kBase64) DecodeBase64(text, run);
  EXPECT_EQ(run.view(), target.view()) << "stream and run forms differ";
  return std::string(target.view());
}

// Runs `check` with the vector paths of the codecs and again with the
// portable ones, so that both are held to the same results.
template <class Check>
void OnEveryPath(Check&& check) {
  for (bool vector : {true, false}) {
    SCOPED_TRACE(vector ? "vector paths" : "portable paths");
    SetVectorCodecsEnabled(vector);
    check();
  }
  SetVectorCodecsEnabled(true);
}

enum Direction { kBoth, kEncodeOnly, kDecodeOnly };

struct CodecCase {
  const char* name;
  TransferEncoding encoding;
  std::string decoded;
  std::string encoded;
  Direction direction = kBoth;
};

class CodecTest : public ::testing::TestWithParam<CodecCase> {};

// Encoding gives the known text; decoding gives the known bytes, and LF-only
// line ends read exactly like CR LF ones.
TEST_P(CodecTest, GivesTheKnownTextAndBytes) {
  const CodecCase& c = GetParam();
  std::string lf_only = c.encoded;
  std::erase(lf_only, '\r');
  OnEveryPath([&] {
    if (c.direction != kDecodeOnly) EXPECT_EQ(Encoded(c.encoding, c.decoded), c.encoded) << "encoding";
    if (c.direction == kEncodeOnly) return;
    EXPECT_EQ(Decoded(c.encoding, c.encoded), c.decoded) << "decoding";
    EXPECT_EQ(Decoded(c.encoding, lf_only), c.decoded) << "decoding LF only";
  });
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, CodecTest,
    ::testing::ValuesIn(std::vector<CodecCase>{
        {"PlainTwoLines", kPlain, "a\nb", "a\r\nb\r\n", kEncodeOnly},
        {"PlainEmpty", kPlain, "", ""},
        {"PlainCrLfContentStaysCrLf", kPlain, "a\r\nb\r\n", "a\r\nb\r\n", kEncodeOnly},
        {"PlainLoneCrIsContent", kPlain, "a\rb\n", "a\rb\r\n", kEncodeOnly},
        {"PlainCrCrLf", kPlain, "a\r\r\n", "a\r\r\n", kEncodeOnly},
        {"PlainCrLf", kPlain, "a\nb\n", "a\r\nb\r\n", kDecodeOnly},
        {"PlainLastLineWithoutLfEndsWhereTheTextEnds", kPlain, "a\nb", "a\r\nb", kDecodeOnly},
        {"QpSoftBreakAfter73", kQp, std::string(73, 'L') + "\nB", std::string(73, 'L') + "=\r\n\r\nB=\r\n"},
        {"QpFromEscaped", kQp, "From here\n", "=46rom here\r\n"},
        {"QpFromageNotEscaped", kQp, "Fromage\n", "Fromage\r\n"},
        {"QpFromAtTheVeryEnd", kQp, "x\nFrom ", "x\r\nFrom =\r\n", kEncodeOnly},
        {"QpFromAfterSoftBreak", kQp, std::string(73, 'x') + "From it", std::string(73, 'x') + "=\r\n=46rom it=\r\n"},
        {"QpTrailingSpaceAndTab", kQp, "a b \nc\t\n", "a b=20\r\nc=09\r\n"},
        {"QpEqualsAndHighByte", kQp, "=\xE9\n", "=3D=E9\r\n"},
        {"QpCrLfIsALineEndLoneCrIsEscaped", kQp, "a\r\nb\rc\r\r\n", "a\r\nb=0Dc=0D\r\n", kEncodeOnly},
        {"QpNoFinalLfEndsInSoftBreak", kQp, "abc", "abc=\r\n"},
        {"QpEscapesCrossTheBreak", kQp, std::string(71, 'a') + "\xFF\xFF", std::string(71, 'a') + "=FF=\r\n=FF=\r\n"},
        {"QpSoftBreak", kQp, "abcdef\n", "abc=\r\ndef\r\n", kDecodeOnly},
        {"QpEqualsAndOneCharacterKept", kQp, "ab=4\n", "ab=4\r\n", kDecodeOnly},
        {"QpEqualsWithoutHexKept", kQp, "=G1 =1G =\xE9x\n", "=G1 =1G =\xE9x\r\n", kDecodeOnly},
        {"QpEqualsThenSpaceKept", kQp, "a= \n", "a= \r\n", kDecodeOnly},
        {"QpTrailingWhiteSpaceKept", kQp, "a \t\n", "a \t\r\n", kDecodeOnly},
        {"QpEscapesAllValues", kQp, std::string("\x00\x7F\x80\xFF\n", 5), "=00=7F=80=FF\r\n"},
        {"QpLastLineWithoutLfKeepsItsEscapes", kQp, "a\nb ", "a\r\nb=20", kDecodeOnly},
        {"QpLastLineWithoutLfEndingInSoftBreak", kQp, "ab", "a=\r\nb=", kDecodeOnly},
        {"Base64OneByte", kBase64, "A", "QQ==\r\n"},
        {"Base64TwoBytes", kBase64, "AB", "QUI=\r\n"},
        {"Base64ThreeBytes", kBase64, "ABC", "QUJD\r\n"},
        {"Base64Empty", kBase64, "", ""},
        {"Base64FullLinePlusOne", kBase64, std::string(58, '\0'), std::string(76, 'A') + "\r\nAA==\r\n"},
        {"Base64TwoLines", kBase64, "ABCD", "QUJD\r\nRA==\r\n", kDecodeOnly},
        {"Base64UnpaddedLastGroupCounts", kBase64, "AB", "QUJ\r\n", kDecodeOnly},
        {"Base64GroupAcrossLines", kBase64, "ABCD", "QU\r\nJDRA\r\n==\r\n", kDecodeOnly},
        {"Base64LongLineIsNotCut", kBase64, std::string(75, '\0'), std::string(100, 'A') + "\r\n", kDecodeOnly},
        {"Base64StrayAndHighBytesIgnored", kBase64, "ABC", " \xC0Q U\tJ!D\xFF \r\n", kDecodeOnly},
        {"Base64StopsAtPadding", kBase64, "A", "QQ==QUJD\r\nQUJD\r\n", kDecodeOnly},
        {"Base64PadTooEarly", kBase64, "", "Q===\r\n", kDecodeOnly},
        {"Base64LastLineWithoutLf", kBase64, "ABCAB", "QUJD\r\nQUI=", kDecodeOnly}}),
    [](const auto& info) { return std::string(info.param.name); });

std::string RandomBytes(size_t size, uint32_t seed, bool text_like) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  const char kText[] = "abc XYZ=\t\n.F-rom \xE9";
  for (char& byte : bytes) byte = text_like ? kText[generator() % (sizeof kText - 1)] : static_cast<char>(generator());
  return bytes;
}

// Encoding then decoding gives the content back (quoted-printable and plain
// carry a CR LF of the content as a line end, which decodes to LF), whatever
// the chunks in which the encoded text arrives; no encoded line exceeds 76.
TEST(Codecs, RoundTripsOverEveryChunkSize) {
  OnEveryPath([] {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
      for (TransferEncoding encoding : {kPlain, kQp, kBase64}) {
        std::string content = RandomBytes(5000 + seed * 17, seed, seed % 2 == 0);
        if (encoding == kPlain) std::erase(content, '\r'), content += '\n';
        const std::string encoded = Encoded(encoding, content);
        std::string expected = content;
        for (size_t at = 0; encoding == kQp && (at = expected.find("\r\n", at)) != std::string::npos;) {
          expected.erase(at, 1);
        }
        for (size_t chunk : {size_t{1}, size_t{16}, size_t{4096}}) {
          ASSERT_EQ(Decoded(encoding, encoded, chunk), expected) << "seed " << seed << " chunk " << chunk;
        }
        std::istringstream lines(encoded);
        for (std::string line; encoding != kPlain && std::getline(lines, line);) {
          ASSERT_EQ(line.back(), '\r');
          ASSERT_LE(line.size(), 77u);
        }
      }
    }
  });
}

// Lines of every length around the soft-break column, blanks and "From " at
// their ends and starts, CR LF and lone CRs: what the encoder writes (its
// whole-line and byte-by-byte ways, vector and portable) decodes to the
// content, holds only printable ASCII with "=" starting an escape or a soft
// break, never ends a line in a blank or starts one with "From ", and breaks
// a line softly only once it holds more than 72 characters.
TEST(Codecs, QuotedPrintableEncodingFollowsTheRulesAtEveryLineLength) {
  std::mt19937 generator(11);
  const char* pieces[] = {"a", "b", "xyzzy ", " ", "\t", "=", "\xE9", "From ", "F", "\r", "\r\n", "\n"};
  // ("From " may start the last line only when the soft break right after
  // it ends the content.)
  const std::regex soft_line("(?!From (?!=$))([!-<>-~ \t]|=[0-9A-F]{2})*=");
  const std::regex hard_line("(?!From )(([!-<>-~ \t]|=[0-9A-F]{2})*([!-<>-~]|=[0-9A-F]{2}))?");
  OnEveryPath([&] {
    for (int round = 0; round < 400; ++round) {
      std::string content;
      for (int line = 0; line < 4; ++line) {
        const size_t length = generator() % 160;
        while (content.size() % 1000 < length) content += pieces[generator() % 4];
        content += pieces[4 + generator() % 8];
        content += "\n";
      }
      if (round % 3 == 0) content.pop_back();  // a last line without LF
      const std::string encoded = Encoded(kQp, content);
      std::string expected = std::regex_replace(content, std::regex("\r\n"), "\n");
      ASSERT_EQ(Decoded(kQp, encoded), expected) << content;
      std::istringstream lines(encoded);
      for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.back(), '\r') << encoded;
        line.pop_back();
        const bool soft = !line.empty() && line.back() == '=';
        ASSERT_LE(line.size(), 76u) << line;
        ASSERT_TRUE(std::regex_match(line, soft ? soft_line : hard_line)) << "[" << line << "]";
        if (soft && lines.peek() != EOF) ASSERT_GE(line.size(), 74u) << "broken too soon: " << encoded;
      }
    }
  });
}

// Quoted-printable text dense with every kind of special (escapes cut
// short, soft breaks, lone CRs), in long lines: the stream form, which reads
// line by line, decodes it as the run form does (Decoded checks the two
// against each other).
TEST(Codecs, QuotedPrintableStreamAndRunFormsAgreeOnDenseSpecials) {
  std::mt19937 generator(99);
  const char* pieces[] = {"=", "=4", "=41", "=4g", "=\r", "\r", "\n", "\r\n", "=\r\n", "=\n", "abc", "x",
                          "0123456789abcdef", " ", "\t", "=3D", "=e9", "\xE9"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int i = 1 + static_cast<int>(generator() % 120); i > 0; --i) text += pieces[generator() % std::size(pieces)];
    Decoded(kQp, text + '\n');
  }
}

// Base64 as other mailers write it (widths 64 to 76, LF or CR LF, unwrapped,
// stray characters), and quoted-printable from another encoder.
TEST(Codecs, KnownGoodPairs) {
  const std::string content = ReadDataFile("codecs/random.bin");
  ASSERT_EQ(content.size(), 3001u);
  EXPECT_EQ(Encoded(kBase64, content), ReadDataFile("codecs/random_76_crlf.b64"));
  std::vector<std::string> texts;
  for (const char* name :
       {"random_76_crlf", "random_unwrapped", "random_64_lf", "random_72_crlf", "random_75_lf", "random_stray"}) {
    texts.push_back(ReadDataFile(std::string("codecs/") + name + ".b64"));
  }
  OnEveryPath([&] {
    for (const std::string& text : texts) EXPECT_EQ(Decoded(kBase64, text), content) << text.substr(0, 80);
    const std::string text = ReadDataFile("codecs/text.txt");
    EXPECT_EQ(Decoded(kQp, ReadDataFile("codecs/text_crlf.qp")), text);
    EXPECT_EQ(Decoded(kQp, Encoded(kQp, text)), text);
  });
}

}  // namespace
}  // namespace vesk
