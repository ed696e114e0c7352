// A loaded leaf gives back the encoded text it was read from while nothing
// that shapes its encoded form has changed, and is encoded again once
// something has.

#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "engine/mime/mime_reader.h"
#include "engine/mime/transfer_codec.h"
#include "support/mime_tree.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using testing::BodyOf;
using testing::EncodedAs;
using testing::ParseMessage;
using testing::Render;

std::string Message(std::string_view encoding, std::string_view body) {
  return "Subject: s\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: " +
         std::string(encoding) + "\r\n\r\n" + std::string(body);
}

std::string Content(MessageEntity& message) { return std::string(message.root()->content()->view()); }

TEST(EncodedSourceTest, UnchangedLeafIsWrittenAsRead) {
  const struct {
    const char *name, *encoding, *body;
  } rows[] = {
      {"soft breaks where the encoder puts none", "quoted-printable", "short=\r\nlines=\r\n here\r\n"},
      {"lower-case hex and needless escapes", "quoted-printable", "caf=e9 =41=42C\r\n"},
      {"an unescaped blank at a line end", "Quoted-Printable", "trailing \r\nend\r\n"},
      {"base64 in lines of 16", "base64", "aGVsbG8sIHdvcmxk\r\nIQ==\r\n"},
      {"base64 without padding", "base64", "aGk\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string input = Message(row.encoding, row.body);
    const Ref<MessageEntity> message = ParseMessage(input);
    const std::string decoded = Content(*message);
    EXPECT_EQ(Render(*message), input);
    EXPECT_EQ(Content(*ParseMessage(Render(*message))), decoded);
  }

  // Inside a multipart too, with the delimiters around it as written.
  const std::string mixed =
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Transfer-Encoding: quoted-printable\r\n"
      "\r\nab=\r\ncd=3d\r\n\r\n--b--\r\n";
  EXPECT_EQ(Render(*ParseMessage(mixed)), mixed);
}

// A base64 leaf whose last line lacks its padding and carries a character
// the decoder skips, then an empty line: its line ends fall where the
// encoder's would in the LF form only. Read in place or line by line, it is
// kept alike.
TEST(EncodedSourceTest, ASkippedCharacterBeforeAnEmptyLineIsKeptInBothForms) {
  std::string encoded = EncodedAs(TransferEncoding::kBase64, std::string(169, 'x'));
  // Without its padding and with a byte the decoder skips, the last line is
  // one character short of the encoder's, and the empty line makes it up.
  ASSERT_EQ(encoded.substr(encoded.size() - 4), "==\r\n");
  encoded.erase(encoded.size() - 4, 2);
  encoded.insert(encoded.size() - 10, "\xC5");
  const std::string text = "Content-Transfer-Encoding: base64\r\n\r\n" + encoded + "\r\n";
  EXPECT_EQ(Render(*ParseMessage(text)), text);
  const Ref<MessageEntity> by_lines = MakeRef<MessageEntity>();
  testing::ChunkedStream bytes(text, 1, false);
  ReadMessage(bytes, *by_lines);
  EXPECT_EQ(Render(*by_lines), text);
}

// Text just under the size a leaf keeps with LF line ends and over it with
// CR LF: read from either form it is kept, so a rendering reads back into
// the same rendering.
TEST(EncodedSourceTest, TheSizeKeptIsTheSameWhateverTheLineEnds) {
  std::string text = "Content-Transfer-Encoding: quoted-printable\n\n";
  for (int line = 0; line < 1070; ++line) text += "=78" + std::string(57, 'x') + "\n";  // "=78" is "x"
  const std::string rendered = Render(*ParseMessage(text));
  EXPECT_GT(rendered.size(), kMaxKeptEncodedText);
  EXPECT_EQ(Render(*ParseMessage(rendered)), rendered);
  EXPECT_EQ(rendered.substr(rendered.size() - 62), "=78" + std::string(57, 'x') + "\r\n");
}

TEST(EncodedSourceTest, EveryChangeEncodesAgain) {
  // The encoder would write neither of these as they stand.
  const std::string qp_body = "caf=e9 ab=\r\ncd\r\n";
  const std::string base64_body = "Y2Fm6SBhYmNk\r\nCg==\r\n";
  struct Row {
    const char* name;
    const std::string& body;
    const char* encoding;
    std::function<void(MimePart&)> change;
    TransferEncoding written_as;
  };
  const Row rows[] = {
      {"content replaced by the same bytes", qp_body, "quoted-printable",
       [](MimePart& part) {
         const std::string same(part.content()->view());
         part.content()->Assign(same.data(), same.size());
       },
       TransferEncoding::kQuotedPrintable},
      {"content appended to", qp_body, "quoted-printable", [](MimePart& part) { part.content()->Append("more\n"); },
       TransferEncoding::kQuotedPrintable},
      {"content cleared and filled", base64_body, "base64",
       [](MimePart& part) {
         const std::string same(part.content()->view());
         part.content()->Clear();
         part.content()->Append(same);
       },
       TransferEncoding::kBase64},
      {"quoted-printable turned base64", qp_body, "quoted-printable",
       [](MimePart& part) { part.SetTransferEncoding("base64"); }, TransferEncoding::kBase64},
      {"base64 turned quoted-printable", base64_body, "base64",
       [](MimePart& part) { part.SetTransferEncoding("quoted-printable"); }, TransferEncoding::kQuotedPrintable},
      // Without a transfer encoding field, the part goes as the writer decides.
      {"transfer encoding field removed", qp_body, "quoted-printable",
       [](MimePart& part) { part.headers()->Remove("Content-Transfer-Encoding"); }, TransferEncoding::kQuotedPrintable},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Ref<MessageEntity> message = ParseMessage(Message(row.encoding, row.body));
    const std::string decoded = Content(*message);
    row.change(*message->root());
    const std::string now = Content(*message);
    const std::string written = Render(*message);
    EXPECT_EQ(BodyOf(written), EncodedAs(row.written_as, now));
    EXPECT_EQ(Content(*ParseMessage(written)), now);
  }
}

TEST(EncodedSourceTest, WhatKeepsOrDropsTheReadText) {
  // A copy of the content holds no encoded text; a move takes it along.
  const Ref<MessageEntity> message = ParseMessage(Message("quoted-printable", "a=\r\nb\r\n"));
  ContentBuffer& content = *message->root()->content();
  const int qp = static_cast<int>(TransferEncoding::kQuotedPrintable);
  ASSERT_TRUE(content.EncodedForm(qp));
  EXPECT_FALSE(content.EncodedForm(static_cast<int>(TransferEncoding::kBase64)));
  const ByteBuffer copy = content;
  EXPECT_FALSE(copy.EncodedForm(qp));
  ByteBuffer moved = std::move(content);
  ASSERT_TRUE(moved.EncodedForm(qp));
  EXPECT_EQ(*moved.EncodedForm(qp), "a=\r\nb\r\n");

  // Lines are kept as a line-by-line reading sees them, CRs dropped, and go
  // out ended by CR LF; a last line without a line end is encoded again.
  const Ref<MessageEntity> bare = ParseMessage("Content-Transfer-Encoding: quoted-printable\n\nab=\ncd\n");
  EXPECT_EQ(BodyOf(Render(*bare)), "ab=\r\ncd\r\n");
  const Ref<MessageEntity> lone_cr = ParseMessage(Message("quoted-printable", "a\rb=\r\nc\r\n\r"));
  EXPECT_EQ(BodyOf(Render(*lone_cr)), "ab=\r\nc\r\n");
  const Ref<MessageEntity> unended = ParseMessage(Message("quoted-printable", "a=\r\nb=41"));
  EXPECT_EQ(BodyOf(Render(*unended)), EncodedAs(TransferEncoding::kQuotedPrintable, Content(*unended)));
  EXPECT_EQ(Content(*unended), "abA");
  // Nor is text longer than the limit, its CRs not counted (15 of each 18).
  std::string long_text;
  while (long_text.size() / 18 * 15 <= kMaxKeptEncodedText) long_text += "soft=\r\nbreaks=\r\n\r\n";
  const Ref<MessageEntity> large = ParseMessage(Message("quoted-printable", long_text));
  EXPECT_EQ(BodyOf(Render(*large)), EncodedAs(TransferEncoding::kQuotedPrintable, Content(*large)));
  const std::string short_text = long_text.substr(0, kMaxKeptEncodedText / 18 * 18);  // whole pieces
  const Ref<MessageEntity> within = ParseMessage(Message("quoted-printable", short_text));
  EXPECT_EQ(BodyOf(Render(*within)), short_text);
  // Base64 laid out as the encoder writes it is not kept, with either line end.
  for (const char* layout : {"aGk=\r\n", "aGk=\n"}) {
    const Ref<MessageEntity> canonical = ParseMessage(Message("base64", layout));
    EXPECT_FALSE(canonical->root()->content()->EncodedForm(static_cast<int>(TransferEncoding::kBase64))) << layout;
    EXPECT_EQ(BodyOf(Render(*canonical)), "aGk=\r\n");
  }

  // A changed charset does not touch the encoded form.
  const std::string odd = Message("quoted-printable", "caf=e9\r\n");
  const Ref<MessageEntity> recharset = ParseMessage(odd);
  recharset->root()->content_type_parameters()->Set("charset", "windows-1252");
  EXPECT_EQ(BodyOf(Render(*recharset)), "caf=e9\r\n");

  // With LF line breaks, the text read goes out with LF line breaks.
  WriteOptions options;
  options.line_break = "\n";
  const std::string lf_text = Render(*ParseMessage(odd), options);
  EXPECT_NE(lf_text.find("\n\ncaf=e9\n"), std::string::npos) << lf_text;
}

}  // namespace
}  // namespace vesk
