// What sending takes from a message: the envelope, the fields added before
// it goes, and the bytes of the copy for the recipients (which the SMTP
// client sends as they are, only periods doubled: smtp_test.cpp).

#include "engine/mime/outgoing_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "engine/common/error_texts.h"
#include "engine/mime/mime_writer.h"
#include "engine/mime/transfer_codec.h"
#include "engine/streams/string_stream.h"
#include "support/mime_tree.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ParseMessage;

// ISO-8859-1 text in 8bit, bytes that are no UTF-8 (and 0x81, 0x8D, 0x90,
// which no character of windows-1252 stands for), a line that starts with a
// period, and blind copies.
const std::string kLoaded = testing::ReadDataFile("messages/latin1_8bit.eml");

TEST(OutgoingMessage, EnvelopeComesFromTheArgumentsOrTheAddressFields) {
  const Ref<MessageEntity> message = ParseMessage(kLoaded);
  const size_t fields = message->headers()->Count();
  Envelope envelope = CollectEnvelope(*message, "", "");
  EXPECT_EQ(envelope.sender, "anna@example.com");
  EXPECT_THAT(envelope.recipients, ElementsAre("bob@example.com", "carl@example.org", "dora@example.net",
                                               "eve@example.com", "fred@example.com"));
  EXPECT_EQ(message->headers()->Count(), fields) << "looking adds no field";

  // Lists bound by a caller count as they stand now; the arguments win.
  message->FindAddressList("Cc", true)->Add()->SetAddress("gina@example.com");
  envelope = CollectEnvelope(*message, "", "");
  EXPECT_EQ(envelope.recipients.at(3), "gina@example.com");
  envelope = CollectEnvelope(*message, "one@example.com, two@example.com", "me@example.com");
  EXPECT_EQ(envelope.sender, "me@example.com");
  EXPECT_THAT(envelope.recipients, ElementsAre("one@example.com, two@example.com"));

  envelope = CollectEnvelope(*ParseMessage("Subject: none\r\n\r\n"), "", "");
  EXPECT_EQ(envelope.sender, "");
  EXPECT_THAT(envelope.recipients, IsEmpty());
}

// An envelope goes out only with a sender, a recipient, and addresses a
// command line can carry as they stand.
TEST(OutgoingMessage, EnvelopeWithoutSenderRecipientOrWithADisplayNameIsRefused) {
  const std::pair<Envelope, std::string> cases[] = {
      {{"", {"bob@example.com"}}, "The message has no sender (From)"},
      {{"me@example.com", {}}, "The message has no recipients (To, Cc or Bcc): nothing was sent"},
      {{"me@example.com", {"bob@example.com", "Bob <bob@example.com>"}}, FormatMessageText(kMsgAddressNotForCommand, "Bob <bob@example.com>")},
      // Line breaks are the SMTP client's to refuse, in the words of the command.
      {{"me@example.com", {"bob@example.com>\r\nDATA"}}, ""},
      {{"me@example.com", {"bob@example.com\t"}}, FormatMessageText(kMsgAddressNotForCommand, "bob@example.com\t")},
      {{"me @example.com", {"bob@example.com"}}, FormatMessageText(kMsgAddressNotForCommand, "me @example.com")},
      {{"me@example.com", {"j\xC3\xB6rg@b\xC3\xBC" "cher.example"}}, ""},
  };
  for (const auto& [envelope, expected] : cases) {
    std::string error;
    EXPECT_EQ(CheckEnvelope(envelope, error), expected.empty()) << expected;
    EXPECT_EQ(error, expected);
  }
}

TEST(OutgoingMessage, DateAndMessageIdAreAddedOnlyWhenMissing) {
  int asked = 0;
  const auto now = [&] { ++asked; return std::string("Mon, 07 Dec 2026 12:00:00 +0100"); };
  const auto domain = [&] { ++asked; return std::string("mail.example.com"); };
  const Ref<MessageEntity> bare = ParseMessage("Subject: s\r\nDate: \r\n\r\nbody\r\n");
  AddOriginationFields(*bare, now, domain);
  std::string value;
  ASSERT_TRUE(bare->headers()->Get("Date", value));
  EXPECT_EQ(value, "Mon, 07 Dec 2026 12:00:00 +0100");
  ASSERT_TRUE(bare->headers()->Get("Message-ID", value));
  EXPECT_THAT(value, ::testing::MatchesRegex("<[0-9A-F]+@mail\\.example\\.com>"));
  EXPECT_EQ(asked, 2);
  const std::string before = RenderedBytes(*bare);
  AddOriginationFields(*bare, now, domain);
  EXPECT_EQ(asked, 2) << "nothing asked when both are there";
  EXPECT_EQ(RenderedBytes(*bare), before);
}

// The transmitted copy is the saved one without its Bcc field, byte for byte.
TEST(OutgoingMessage, TransmittedBytesAreTheSavedBytesWithoutBcc) {
  const Ref<MessageEntity> message = ParseMessage(kLoaded);
  std::string saved = RenderedBytes(*message);
  const std::string bcc = "Bcc: eve@example.com,\r\n fred@example.com\r\n";
  const size_t at = saved.find(bcc);
  ASSERT_NE(at, std::string::npos) << saved;
  EXPECT_EQ(TransmittedBytes(*message), saved.erase(at, bcc.size()));
  EXPECT_NE(saved.find("Gr\xFC\xDF" "e aus K\xF6ln \x81\x8D\x90\r\n"), std::string::npos);
}

// The writer's options: hidden fields leave the message's own header only
// (an embedded message's Bcc is content), and a line break of LF alone
// replaces every CR LF the writer makes, CRs inside content staying.
TEST(MimeWriter, OptionsHideTopFieldsAndChooseTheLineBreak) {
  const Ref<MessageEntity> message = ParseMessage(
      "Bcc: a@example.com\r\nSubject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: message/rfc822\r\n\r\nBcc: inner@example.com\r\nSubject: inner\r\n\r\nbody\r\n--b\r\n"
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: 8bit\r\n\r\nxy\r\n--b--\r\n");
  message->root()->parts()->At(1)->content()->Assign("x\ry\n", 4);  // a CR of the content's own
  WriteOptions options = WriteOptions::Transmission();
  StringStream transmitted;
  ASSERT_TRUE(WriteMessage(transmitted, *message, options));
  const std::string crlf = transmitted.TakeText();
  EXPECT_EQ(crlf.find("a@example.com"), std::string::npos);
  EXPECT_NE(crlf.find("\r\nBcc: inner@example.com\r\n"), std::string::npos) << crlf;
  EXPECT_EQ(RenderedBytes(*message).substr(0, 20), "Bcc: a@example.com\r\n");

  options.line_break = "\n";
  StringStream unix_lines;
  ASSERT_TRUE(WriteMessage(unix_lines, *message, options));
  const std::string expected = std::regex_replace(crlf, std::regex("\r\n"), "\n");
  EXPECT_EQ(unix_lines.TakeText(), expected);
  EXPECT_NE(expected.find("x\ry\n"), std::string::npos);
}

// The size that chooses between quoted-printable and base64 is counted the
// same by the vector and the portable paths: for contents from all ASCII to
// mostly 8-bit, at lengths around the vector blocks, the choice agrees, and
// it moves from quoted-printable to base64 as the share of escaped bytes grows.
TEST(MimeWriter, EncodingChoiceAgreesOnEveryPath) {
  std::mt19937 generator(7);
  bool saw_qp = false, saw_base64 = false;
  for (int share = 0; share <= 100; share += 5) {
    for (size_t length : {size_t{15}, size_t{16}, size_t{17}, size_t{4079}, size_t{4096 * 16 + 3}}) {
      std::string content;
      for (size_t i = 0; i < length; ++i) {
        const bool escaped = static_cast<int>(generator() % 100) < share;
        content += escaped ? static_cast<char>(0x80 + generator() % 0x80) : "abc =\t\r\nxyz"[generator() % 11];
      }
      const Ref<MimePart> part = MakeRef<MimePart>();
      part->content()->Assign(content.data(), content.size());
      SetVectorCodecsEnabled(false);
      const std::string portable = LeafWireAdditions(*part, DefaultTextMode()).encoding;
      SetVectorCodecsEnabled(true);
      EXPECT_EQ(LeafWireAdditions(*part, DefaultTextMode()).encoding, portable)
          << "share " << share << " length " << length;
      saw_qp |= portable == "quoted-printable";
      saw_base64 |= portable == "base64";
    }
  }
  EXPECT_TRUE(saw_qp && saw_base64);
}

}  // namespace
}  // namespace vesk
