#include <fstream>
#include <random>
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

ByteBuffer Bytes(std::string_view text) {
  ByteBuffer buffer;
  buffer.Assign(text.data(), text.size());
  return buffer;
}

std::string Encoded(TransferEncoding encoding, std::string_view content) {
  StringStream stream;
  EXPECT_TRUE(MakeTransferCodec(encoding)->Encode(stream, Bytes(content)));
  return stream.TakeText();
}

std::string Decoded(TransferEncoding encoding, std::string_view text) {
  StringStream stream{std::string(text)};
  ByteBuffer target = Bytes("stale content");
  EXPECT_TRUE(MakeTransferCodec(encoding)->Decode(stream, target));
  return std::string(target.view());
}

// The byte-run forms must agree with the stream forms on every input.
std::string EncodedRun(TransferEncoding encoding, std::string_view content) {
  std::string out = "kept:";
  const auto* data = reinterpret_cast<const uint8_t*>(content.data());
  switch (encoding) {
    case TransferEncoding::kPlain: EncodePlain(data, content.size(), out); break;
    case TransferEncoding::kQuotedPrintable: EncodeQuotedPrintable(data, content.size(), out); break;
    case TransferEncoding::kBase64: EncodeBase64(data, content.size(), out); break;
  }
  EXPECT_EQ(out.substr(0, 5), "kept:") << "encoders append";
  return out.substr(5);
}

std::string DecodedRun(TransferEncoding encoding, std::string_view text) {
  ByteBuffer target = Bytes("stale content");
  switch (encoding) {
    case TransferEncoding::kPlain: DecodePlain(text, target); break;
    case TransferEncoding::kQuotedPrintable: DecodeQuotedPrintable(text, target); break;
    case TransferEncoding::kBase64: DecodeBase64(text, target); break;
  }
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

constexpr TransferEncoding kPlain = TransferEncoding::kPlain;
constexpr TransferEncoding kQp = TransferEncoding::kQuotedPrintable;
constexpr TransferEncoding kBase64 = TransferEncoding::kBase64;

struct CodecCase {
  const char* name;
  TransferEncoding encoding;
  std::string decoded;
  std::string encoded;
};

// Pairs where encoding `decoded` gives exactly `encoded`.
std::vector<CodecCase> EncodeCases() {
  const std::string letters73(73, 'L');
  return {
      {"PlainTwoLines", kPlain, "a\nb", "a\r\nb\r\n"},
      {"PlainFinalLf", kPlain, "a\n", "a\r\n"},
      {"PlainLfOnly", kPlain, "\n", "\r\n"},
      {"PlainEmpty", kPlain, "", ""},
      {"PlainCrLfContentStaysCrLf", kPlain, "a\r\nb\r\n", "a\r\nb\r\n"},
      {"PlainCrLfWithoutFinalLineEnd", kPlain, "a\r\nb", "a\r\nb\r\n"},
      {"PlainFinalCrBelongsToTheLineEnd", kPlain, "a\r", "a\r\n"},
      {"PlainLoneCrIsContent", kPlain, "a\rb\n", "a\rb\r\n"},
      {"PlainCrCrLf", kPlain, "a\r\r\n", "a\r\r\n"},
      {"PlainLongLineUnlimited", kPlain, std::string(1000, 'p'), std::string(1000, 'p') + "\r\n"},
      {"QpSoftBreakAfter73", kQp, letters73 + "\nB", letters73 + "=\r\n\r\nB=\r\n"},
      {"QpFromEscaped", kQp, "From here\n", "=46rom here\r\n"},
      {"QpFromageNotEscaped", kQp, "Fromage\n", "Fromage\r\n"},
      {"QpFromAtTheVeryEnd", kQp, "x\nFrom ", "x\r\nFrom =\r\n"},
      {"QpFromNotAtLineStart", kQp, "a From b\n", "a From b\r\n"},
      {"QpTrailingSpace", kQp, "a b \n", "a b=20\r\n"},
      {"QpTrailingTab", kQp, "a\t\n", "a=09\r\n"},
      {"QpEqualsAndHighByte", kQp, "=\xE9\n", "=3D=E9\r\n"},
      {"QpCrLfIsALineEnd", kQp, "a\r\nb \r\n", "a\r\nb=20\r\n"},
      {"QpLoneCrIsEscaped", kQp, "a\rb\r\r\n", "a=0Db=0D\r\n"},
      {"QpNoFinalLf", kQp, "abc", "abc=\r\n"},
      {"QpEmpty", kQp, "", ""},
      {"QpTrailingSpaceAtEnd", kQp, "a ", "a =\r\n"},
      {"QpEscapesCrossTheBreak", kQp, std::string(71, 'a') + "\xFF\xFF",
       std::string(71, 'a') + "=FF=\r\n=FF=\r\n"},
      {"QpFromAfterSoftBreak", kQp, std::string(73, 'x') + "From it",
       std::string(73, 'x') + "=\r\n=46rom it=\r\n"},
      {"Base64ThreeBytes", kBase64, "ABC", "QUJD\r\n"},
      {"Base64OneByte", kBase64, "A", "QQ==\r\n"},
      {"Base64TwoBytes", kBase64, "AB", "QUI=\r\n"},
      {"Base64Empty", kBase64, "", ""},
      {"Base64FullLine", kBase64, std::string(57, '\0'), std::string(76, 'A') + "\r\n"},
      {"Base64FullLinePlusOne", kBase64, std::string(58, '\0'),
       std::string(76, 'A') + "\r\nAA==\r\n"},
  };
}

class EncodeTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(EncodeTest, GivesTheKnownText) {
  const CodecCase& c = GetParam();
  OnEveryPath([&] {
    EXPECT_EQ(Encoded(c.encoding, c.decoded), c.encoded);
    EXPECT_EQ(EncodedRun(c.encoding, c.decoded), c.encoded);
  });
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncodeTest, ::testing::ValuesIn(EncodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Pairs where decoding `encoded` gives exactly `decoded`.
std::vector<CodecCase> DecodeCases() {
  return {
      {"PlainCrLf", kPlain, "a\nb\n", "a\r\nb\r\n"},
      {"PlainLastLineWithoutLfEndsWhereTheTextEnds", kPlain, "a\nb", "a\r\nb"},
      {"PlainCrsAnywhereAreDropped", kPlain, "ab\n", "a\rb\r\n"},
      {"PlainEmpty", kPlain, "", ""},
      {"QpSoftBreak", kQp, "abcdef\n", "abc=\r\ndef\r\n"},
      {"QpLowerCaseHex", kQp, "=\n", "=3d\r\n"},
      {"QpEqualsAndOneCharacterKept", kQp, "ab=4\n", "ab=4\r\n"},
      {"QpEqualsWithoutHexKept", kQp, "=G1 =1G =\xE9x\n", "=G1 =1G =\xE9x\r\n"},
      {"QpEqualsThenSpaceKept", kQp, "a= \n", "a= \r\n"},
      {"QpTrailingWhiteSpaceKept", kQp, "a \t\n", "a \t\r\n"},
      {"QpEscapesAllValues", kQp, std::string("\x00\x7F\x80\xFF\n", 5), "=00=7F=80=FF\r\n"},
      {"QpEndsInSoftBreak", kQp, "abc", "abc=\r\n"},
      {"QpSoftBreakOnEmptyLine", kQp, "", "=\r\n"},
      {"QpLastLineWithoutLfKeepsItsEscapes", kQp, "a\nb ", "a\r\nb=20"},
      {"QpLastLineWithoutLfEndingInSoftBreak", kQp, "ab", "a=\r\nb="},
      {"Base64TwoLines", kBase64, "ABCD", "QUJD\r\nRA==\r\n"},
      {"Base64UnpaddedLastGroupCounts", kBase64, "AB", "QUJ\r\n"},
      {"Base64GroupAcrossLines", kBase64, "ABCD", "QU\r\nJDRA\r\n==\r\n"},
      {"Base64LongLineIsNotCut", kBase64, std::string(75, '\0'), std::string(100, 'A') + "\r\n"},
      {"Base64StrayCharactersIgnored", kBase64, "ABC", " Q U\tJ!D \r\n"},
      {"Base64StopsAtPadding", kBase64, "A", "QQ==QUJD\r\nQUJD\r\n"},
      {"Base64SinglePadAfterThree", kBase64, "AB", "QUI=\r\n"},
      {"Base64PadTooEarly", kBase64, "", "Q===\r\n"},
      {"Base64PadFirst", kBase64, "", "=QUJD\r\n"},
      {"Base64HighBytesIgnored", kBase64, "ABC", "\xC0QUJD\xFF\r\n"},
      {"Base64LastLineWithoutLf", kBase64, "ABCAB", "QUJD\r\nQUI="},
      {"Base64Empty", kBase64, "", ""},
  };
}

class DecodeTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(DecodeTest, GivesTheKnownBytes) {
  const CodecCase& c = GetParam();
  OnEveryPath([&] {
    EXPECT_EQ(Decoded(c.encoding, c.encoded), c.decoded);
    EXPECT_EQ(DecodedRun(c.encoding, c.encoded), c.decoded);
    // LF-only line ends read exactly like CR LF ones.
    std::string lf_only = c.encoded;
    std::erase(lf_only, '\r');
    if (c.name != std::string("PlainCrsAnywhereAreDropped")) {
      EXPECT_EQ(Decoded(c.encoding, lf_only), c.decoded) << "LF only";
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecodeTest, ::testing::ValuesIn(DecodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodecChoice, FollowsTheFieldValue) {
  struct Case {
    const char* value;
    TransferEncoding expected;
  };
  const Case cases[] = {
      {"base64", kBase64}, {"BASE64", kBase64}, {"Base64", kBase64}, {" base64 ", kBase64},
      {"quoted-printable", kQp}, {"Quoted-Printable", kQp}, {"7bit", kPlain}, {"8bit", kPlain},
      {"binary", kPlain}, {"", kPlain}, {"x-uuencode", kPlain}, {"base 64", kPlain}, {"base64x", kPlain},
  };
  for (const Case& c : cases) EXPECT_EQ(TransferEncodingFromValue(c.value), c.expected) << c.value;
  EXPECT_NE(dynamic_cast<Base64Codec*>(MakeTransferCodec("bAsE64").get()), nullptr);
  EXPECT_NE(dynamic_cast<QuotedPrintableCodec*>(MakeTransferCodec("QUOTED-printable").get()), nullptr);
  EXPECT_NE(dynamic_cast<PlainCodec*>(MakeTransferCodec("").get()), nullptr);
}

std::string RandomBytes(size_t size, uint32_t seed, bool text_like) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  const char kText[] = "abc XYZ=\t\n.F-rom \xE9";
  for (char& byte : bytes) {
    byte = text_like ? kText[generator() % (sizeof kText - 1)] : static_cast<char>(generator());
  }
  return bytes;
}

// Encoding then decoding gives the content back, whatever the chunks in which
// the encoded text arrives.
TEST(CodecRoundTrip, ContentComesBackOverEveryChunkSize) {
  OnEveryPath([] {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
      for (bool text_like : {false, true}) {
        const std::string content = RandomBytes(5000 + seed * 17, seed, text_like);
        for (TransferEncoding encoding : {kQp, kBase64}) {
          const std::string encoded = Encoded(encoding, content);
          // Quoted-printable carries a CR LF of the content as a line end,
          // which decodes to LF like every line end.
          std::string expected = content;
          if (encoding == kQp) {
            for (size_t at = expected.find("\r\n"); at != std::string::npos; at = expected.find("\r\n", at)) {
              expected.erase(at, 1);
            }
          }
          for (size_t chunk : {size_t{1}, size_t{16}, size_t{4096}}) {
            ChunkedStream stream(encoded, chunk);
            ByteBuffer decoded;
            MakeTransferCodec(encoding)->Decode(stream, decoded);
            ASSERT_EQ(decoded.view(), expected) << "seed " << seed << " chunk " << chunk;
          }
        }
      }
    }
  });
}

TEST(CodecRoundTrip, PlainTextWithFinalLineEndComesBack) {
  std::string content = RandomBytes(20000, 7, true);
  std::erase(content, '\r');
  content += '\n';
  const std::string encoded = Encoded(kPlain, content);
  EXPECT_EQ(encoded.find("\r\r"), std::string::npos);
  for (size_t chunk : {size_t{1}, size_t{16}, size_t{4096}}) {
    ChunkedStream stream(encoded, chunk);
    ByteBuffer decoded;
    PlainCodec().Decode(stream, decoded);
    EXPECT_EQ(decoded.view(), content) << "chunk " << chunk;
  }
}

TEST(CodecRoundTrip, EncodersWriteLinesOfAtMost76Characters) {
  const std::string content = RandomBytes(100000, 3, false) + RandomBytes(100000, 4, true);
  for (TransferEncoding encoding : {kQp, kBase64}) {
    std::istringstream lines(Encoded(encoding, content));
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
      ASSERT_FALSE(line.empty() && encoding == kBase64);
      ASSERT_EQ(line.back(), '\r');
      ASSERT_LE(line.size() - 1, 76u);
      ++count;
    }
    EXPECT_GT(count, 2000u);
  }
}

// Quoted-printable text dense with every kind of special, in long lines so
// that the wide scans meet them at every offset of a block.
TEST(QuotedPrintableDecoding, VectorAndPortablePathsAgreeOnDenseSpecials) {
  std::mt19937 generator(99);
  const char* pieces[] = {"=", "=4", "=41", "=4g", "=\r", "\r", "\n", "\r\n", "=\r\n", "=\n", "abc", "x",
                          "0123456789abcdef", " ", "\t", "=3D", "=e9", "\xE9"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const int count = 1 + static_cast<int>(generator() % 120);
    for (int i = 0; i < count; ++i) text += pieces[generator() % std::size(pieces)];
    text += '\n';
    SetVectorCodecsEnabled(false);
    const std::string portable = DecodedRun(kQp, text);
    const std::string portable_stream = Decoded(kQp, text);
    SetVectorCodecsEnabled(true);
    ASSERT_EQ(DecodedRun(kQp, text), portable) << text;
    ASSERT_EQ(Decoded(kQp, text), portable_stream) << text;
    ASSERT_EQ(portable, portable_stream) << text;
  }
}

TEST(CodecRoundTrip, LargeEncodingsWrittenInRunsMatchTheWholeRun) {
  const std::string content = RandomBytes(300000, 11, false);
  for (TransferEncoding encoding : {kPlain, kQp, kBase64}) {
    ChunkedStream target("", 1);
    MakeTransferCodec(encoding)->Encode(target, Bytes(content));
    EXPECT_EQ(target.written(), EncodedRun(encoding, content));
  }
}

// Base64 rewrapped at widths of 1, 16 and 4096 characters: groups continue
// across every line end.
TEST(Base64Decoding, RewrappedTextDecodesTheSame) {
  const std::string content = RandomBytes(10000, 5, false);
  std::string flat = Encoded(kBase64, content);
  std::erase(flat, '\r');
  std::erase(flat, '\n');
  for (size_t width : {size_t{1}, size_t{16}, size_t{4096}}) {
    std::string wrapped;
    for (size_t i = 0; i < flat.size(); i += width) wrapped += flat.substr(i, width) + "\r\n";
    OnEveryPath([&] {
      EXPECT_EQ(Decoded(kBase64, wrapped), content) << "width " << width;
      EXPECT_EQ(DecodedRun(kBase64, wrapped), content) << "width " << width;
    });
  }
}

std::string ReadDataFile(const std::string& name) {
  std::ifstream file(std::string(VESK_TEST_DATA_DIR) + "/codecs/" + name, std::ios::binary);
  EXPECT_TRUE(file) << name;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

TEST(KnownGoodPairs, Base64AsOtherMailersWriteIt) {
  const std::string content = ReadDataFile("random.bin");
  ASSERT_EQ(content.size(), 3001u);
  EXPECT_EQ(Encoded(kBase64, content), ReadDataFile("random_76_crlf.b64"));
  for (const char* name : {"random_76_crlf.b64", "random_unwrapped.b64", "random_64_lf.b64", "random_72_crlf.b64",
                           "random_75_lf.b64", "random_stray.b64"}) {
    const std::string encoded = ReadDataFile(name);
    OnEveryPath([&] {
      EXPECT_EQ(Decoded(kBase64, encoded), content) << name;
      EXPECT_EQ(DecodedRun(kBase64, encoded), content) << name;
    });
  }
}

TEST(KnownGoodPairs, QuotedPrintableFromAnotherEncoder) {
  const std::string text = ReadDataFile("text.txt");
  const std::string encoded = ReadDataFile("text_crlf.qp");
  OnEveryPath([&] {
    EXPECT_EQ(Decoded(kQp, encoded), text);
    EXPECT_EQ(DecodedRun(kQp, encoded), text);
    EXPECT_EQ(Decoded(kQp, Encoded(kQp, text)), text);
  });
}

}  // namespace
}  // namespace vesk
