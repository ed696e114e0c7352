// The text mode: what the caller's narrow text is in.

#include <string>

#include <gtest/gtest.h>

#include "engine/mime/text_mode.h"

namespace vesk {
namespace {

// A narrow charset of this test's own: ISO-8859-1 bytes, named as the
// Western ANSI code page is.
std::string Latin1ToUtf8(std::string_view text) {
  std::string utf8;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

// Characters up to U+00FF only; anything else has no place.
bool Utf8ToLatin1(std::string_view utf8, std::string& narrow) {
  narrow.clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      narrow += utf8[i];
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      narrow += static_cast<char>(((byte & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      return false;
    }
  }
  return true;
}

const TextMode& Western() {
  static const TextMode mode = TextMode::Narrow("windows-1252", Latin1ToUtf8, Utf8ToLatin1);
  return mode;
}

const TextMode& WesternUnicode() {
  static const TextMode mode = Western().Utf8Text();
  return mode;
}

TEST(TextMode, TheDefaultTakesTextAsUtf8) {
  const TextMode& mode = DefaultTextMode();
  EXPECT_TRUE(mode.narrow_is_utf8());
  EXPECT_EQ(mode.narrow_charset(), "utf-8");
  EXPECT_EQ(mode.raw_text_charset(), "iso-8859-1");
  EXPECT_EQ(mode.ToUtf8("caf\xE9"), "caf\xE9");
  std::string narrow;
  EXPECT_TRUE(mode.FromUtf8("\xE2\x82\xAC", narrow));
  EXPECT_EQ(narrow, "\xE2\x82\xAC");
}

TEST(TextMode, ANarrowModeConvertsAndItsUnicodeModeKeepsTheRawCharset) {
  EXPECT_FALSE(Western().narrow_is_utf8());
  EXPECT_EQ(Western().narrow_charset(), "windows-1252");
  EXPECT_EQ(Western().raw_text_charset(), "windows-1252");
  EXPECT_EQ(Western().ToUtf8("caf\xE9"), "caf\xC3\xA9");
  std::string narrow;
  EXPECT_TRUE(Western().FromUtf8("caf\xC3\xA9", narrow));
  EXPECT_EQ(narrow, "caf\xE9");
  EXPECT_FALSE(Western().FromUtf8("\xE2\x82\xAC", narrow));

  EXPECT_TRUE(WesternUnicode().narrow_is_utf8());
  EXPECT_EQ(WesternUnicode().narrow_charset(), "utf-8");
  EXPECT_EQ(WesternUnicode().raw_text_charset(), "windows-1252");
  EXPECT_EQ(WesternUnicode().ToUtf8("caf\xE9"), "caf\xE9");
  EXPECT_TRUE(WesternUnicode().FromUtf8("\xE2\x82\xAC", narrow));
  EXPECT_EQ(narrow, "\xE2\x82\xAC");

  // A system whose narrow charset is UTF-8 takes raw bytes as ISO-8859-1.
  EXPECT_EQ(TextMode::Narrow("utf-8", Latin1ToUtf8, Utf8ToLatin1).raw_text_charset(), "iso-8859-1");
}

}  // namespace
}  // namespace vesk
