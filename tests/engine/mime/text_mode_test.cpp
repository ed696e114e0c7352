// The text mode a message's text is written in: encoded-words, parameter
// values and the charset of a text part follow the mode given with the
// message, the write options or the read of a field, and nothing else.

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "engine/mime/attachment_list.h"
#include "engine/mime/encoded_words.h"
#include "engine/mime/message_entity.h"
#include "engine/mime/mime_part.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/text_mode.h"
#include "engine/streams/string_stream.h"
#include "support/mime_tree.h"

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

// The default mode and a narrow mode's Unicode mode take the caller's text
// as UTF-8; a narrow mode converts it and has no place for what its charset
// lacks. Raw bytes of a sender are read in the narrow charset, where it is
// not UTF-8.
TEST(TextMode, EachModeTakesTheCallersTextInItsCharset) {
  const struct {
    const TextMode* mode;
    bool utf8;
    const char *narrow_charset, *raw_charset, *cafe_in_utf8;
  } cases[] = {
      {&DefaultTextMode(), true, "utf-8", "iso-8859-1", "caf\xE9"},
      {&Western(), false, "windows-1252", "windows-1252", "caf\xC3\xA9"},
      {&WesternUnicode(), true, "utf-8", "windows-1252", "caf\xE9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.narrow_charset) + " " + c.raw_charset);
    EXPECT_EQ(c.mode->narrow_is_utf8(), c.utf8);
    EXPECT_EQ(c.mode->narrow_charset(), c.narrow_charset);
    EXPECT_EQ(c.mode->raw_text_charset(), c.raw_charset);
    EXPECT_EQ(c.mode->ToUtf8("caf\xE9"), c.cafe_in_utf8);
    std::string narrow;
    EXPECT_EQ(c.mode->FromUtf8("\xE2\x82\xAC", narrow), c.utf8);
    if (c.utf8) EXPECT_EQ(narrow, "\xE2\x82\xAC");
  }
  std::string narrow;
  EXPECT_TRUE(Western().FromUtf8("caf\xC3\xA9", narrow));
  EXPECT_EQ(narrow, "caf\xE9");
  // A system whose narrow charset is UTF-8 takes raw bytes as ISO-8859-1.
  EXPECT_EQ(TextMode::Narrow("utf-8", Latin1ToUtf8, Utf8ToLatin1).raw_text_charset(), "iso-8859-1");
}

TEST(TextMode, EncodedWordsCarryTheCallersTextAsUtf8) {
  // Narrow text is converted, UTF-8 in a Unicode mode is not (raw bytes there
  // stay as they stand: the writer's test below).
  EXPECT_EQ(WireHeaderValue("Subject", "caf\xC3\xA9", WesternUnicode()), "=?utf-8?B?Y2Fmw6k=?=");
  EXPECT_EQ(WireHeaderValue("To", "Ren\xE9 <rene@example.com>", Western()),
            "=?utf-8?B?UmVuw6k=?= <rene@example.com>");
}

// The composer runs from the read hook of the part's header list, so the
// mode comes with the read.
TEST(TextMode, AReadOfALiveFieldComposesInTheModeOfTheReader) {
  const Ref<MimePart> part = testing::AttachmentNamed("caf\xE9.pdf");
  const struct {
    const TextMode* mode;
    std::string composed;
  } cases[] = {
      {&Western(), "attachment;\r\n\tfilename*=utf-8''caf%C3%A9.pdf"},
      {&WesternUnicode(), "attachment;\r\n\tfilename*=windows-1252''caf%E9.pdf"},
      {&DefaultTextMode(), "attachment;\r\n\tfilename*=iso-8859-1''caf%E9.pdf"},
  };
  for (const auto& [mode, composed] : cases) {
    std::string value;
    ASSERT_TRUE(part->headers()->Get("Content-Disposition", value, *mode));
    EXPECT_EQ(value, composed);
    EXPECT_EQ(part->ComposedContentDisposition(*mode), composed);
  }
  // UTF-8 is UTF-8 in every mode.
  const Ref<MimePart> utf8 = testing::AttachmentNamed("caf\xC3\xA9.pdf");
  for (const TextMode* mode : {&Western(), &WesternUnicode(), &DefaultTextMode()}) {
    EXPECT_EQ(utf8->ComposedContentDisposition(*mode), "attachment;\r\n\tfilename*=utf-8''caf%C3%A9.pdf");
  }
}

template <class Entity>
std::string Written(Entity& entity, const TextMode* mode = nullptr) {
  WriteOptions options;
  options.text_mode = mode;
  return testing::Render(entity, options);
}

// A message is written in its own mode unless the options name another; a
// part alone in the options' mode. An embedded message is written in the
// mode of the message that holds it.
TEST(TextMode, TheWriterTakesTheMessagesModeOrTheOptions) {
  const Ref<MessageEntity> message = MakeRef<MessageEntity>(Western());
  message->headers()->Set("Subject", "caf\xE9");
  const std::string text = "Gr\xFC\xDF" "e\r\n";
  message->GetOrCreateMainText()->Assign(text.data(), text.size());

  const std::string western = testing::HeaderOf(Written(*message));
  EXPECT_NE(western.find("Subject: =?utf-8?B?Y2Fmw6k=?="), std::string::npos) << western;
  EXPECT_NE(western.find("charset=\"windows-1252\""), std::string::npos) << western;

  const std::string unicode = testing::HeaderOf(Written(*message, &WesternUnicode()));
  EXPECT_NE(unicode.find("Subject: caf\xE9\r\n"), std::string::npos) << unicode;
  EXPECT_NE(unicode.find("charset=\"utf-8\""), std::string::npos) << unicode;

  message->set_text_mode(WesternUnicode());
  EXPECT_EQ(testing::HeaderOf(Written(*message)), unicode);

  const Ref<MimePart> part = MakeRef<MimePart>();
  part->content()->Assign(text.data(), text.size());
  EXPECT_NE(Written(*part, &Western()).find("charset=\"windows-1252\""), std::string::npos) << Written(*part);
  EXPECT_NE(Written(*part).find("charset=\"utf-8\""), std::string::npos) << Written(*part);

  const Ref<MessageEntity> outer = MakeRef<MessageEntity>(Western());
  const Ref<MimePart> holder = outer->root();
  holder->SetType("message");
  holder->SetSubtype("rfc822");
  holder->message()->headers()->Set("Subject", "na\xEFve");
  EXPECT_NE(Written(*outer).find("Subject: =?utf-8?B?bmHDr3Zl?="), std::string::npos);
  outer->set_text_mode(WesternUnicode());
  EXPECT_NE(Written(*outer).find("Subject: na\xEFve\r\n"), std::string::npos);
}

// A file name goes in as the caller's text where it has a place there, and
// in the extended form where it has none.
TEST(TextMode, AnAttachedFileIsNamedInTheCallersText) {
  const std::string path = ::testing::TempDir() + "caf\xC3\xA9 \xE2\x82\xAC.txt";
  const std::string latin_path = ::testing::TempDir() + "caf\xC3\xA9.txt";
  std::ofstream(path, std::ios::binary) << "x";
  std::ofstream(latin_path, std::ios::binary) << "x";
  const struct {
    std::string path;
    const TextMode* mode;
    testing::Fields parameters;
  } cases[] = {
      {latin_path, &Western(), {{"filename", "caf\xE9.txt"}}},
      {path, &Western(), {{"filename*", "utf-8''caf%C3%A9%20%E2%82%AC.txt"}}},
      {path, &WesternUnicode(), {{"filename", "caf\xC3\xA9 \xE2\x82\xAC.txt"}}},
  };
  for (const auto& [file, mode, parameters] : cases) {
    const Ref<MimePart> part = MakeFilePart(file, "attachment", *mode);
    ASSERT_TRUE(part);
    EXPECT_EQ(testing::AllFields(*part->disposition_parameters()), parameters);
  }
  std::remove(path.c_str());
  std::remove(latin_path.c_str());
}

}  // namespace
}  // namespace vesk
