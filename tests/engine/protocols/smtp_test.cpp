// The SMTP client's pure parts: the data block as it goes on the wire, the
// EHLO keywords and the delivery report arguments (its dialogues are in
// transcripts/smtp.txt).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/protocols/dot_terminated_block.h"
#include "engine/protocols/smtp_extensions.h"

namespace vesk {
namespace {

// The data block: the message's bytes kept, only periods doubled: those that
// begin a line, and those after a CR or LF alone, which some receivers take
// for a line end (so CR . CR LF cannot end the data early there). Written
// whole and a byte at a time, it comes out the same and as long as
// BlockSize says; a large message goes in pieces, none much larger than
// kPieceSize.
TEST(DotStuffingStream, DoublesLeadingPeriodsAndEndsTheBlock) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ".\r\n"},
      {"a\r\nb", "a\r\nb\r\n.\r\n"},
      {"a\r\n\r\n", "a\r\n\r\n.\r\n"},  // a final empty line is kept
      {".a\r\n.\r\n..\r\n", "..a\r\n..\r\n...\r\n.\r\n"},
      {"a\rb\nc.\r\nBcc: x\r\n", "a\rb\nc.\r\nBcc: x\r\n.\r\n"},
      {"a\r.\r\nMAIL From: <x>\r\n", "a\r..\r\nMAIL From: <x>\r\n.\r\n"},
      {"a\n.\nb.\r\n", "a\n..\nb.\r\n.\r\n"},
      {"a\r\n.", "a\r\n..\r\n.\r\n"},
      {"a\r", "a\r\r\n.\r\n"},
      {std::string("\0\xFF\r\n", 4), std::string("\0\xFF\r\n.\r\n", 7)},
  };
  for (const auto& [message, block] : cases) {
    for (const bool bytewise : {false, true}) {
      std::string sent;
      DotStuffingStream stream([&](std::string_view piece) { return sent.append(piece), true; });
      if (!bytewise) stream.Write(message.data(), message.size());
      for (std::size_t i = 0; bytewise && i < message.size(); ++i) stream.Write(&message[i], 1);
      EXPECT_TRUE(stream.EndLastLine(true));
      EXPECT_EQ(sent, block) << message << (bytewise ? " (a byte at a time)" : "");
      EXPECT_EQ(DotStuffingStream::BlockSize(message), block.size()) << message;
    }
  }
  std::string large;
  for (int i = 0; i < 20000; ++i) large += ".line " + std::to_string(i) + "\r\n";
  std::vector<std::size_t> pieces;
  std::size_t periods = 0;
  DotStuffingStream stream([&](std::string_view piece) {
    pieces.push_back(piece.size());
    periods += static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '.'));
    return pieces.size() < 3;  // the third piece fails
  });
  EXPECT_TRUE(stream.Write(large.data(), large.size() / 2));
  EXPECT_FALSE(stream.Write(large.data() + large.size() / 2, large.size() - large.size() / 2));
  EXPECT_FALSE(stream.EndLastLine(true)) << "nothing goes on after a failed piece";
  ASSERT_EQ(pieces.size(), 3u);
  for (const std::size_t size : pieces) EXPECT_LE(size, DotStuffingStream::kPieceSize + 1);
  EXPECT_EQ(periods % 2, 0u) << "every period of a piece is doubled with it";
}

TEST(SmtpServerExtensions, ReadsTheKeywordsOfAnEhloReply) {
  const SmtpServerExtensions all = SmtpServerExtensions::FromEhloKeywords(
      "pipelining\nSIZE 10240000\n8BITMIME\nDSN\nSMTPUTF8\nAUTH PLAIN LOGIN\n");
  EXPECT_TRUE(all.pipelining && all.size && all.eight_bit_mime && all.dsn && all.smtputf8);
  EXPECT_EQ(all.size_limit, 10240000u);
  const SmtpServerExtensions none = SmtpServerExtensions::FromEhloKeywords("SIZEX 5\nDSNS\nENHANCEDSTATUSCODES\n");
  EXPECT_FALSE(none.size || none.dsn || none.pipelining || none.smtputf8 || none.eight_bit_mime);
  EXPECT_EQ(SmtpServerExtensions::FromEhloKeywords("SIZE\n").size_limit, 0u);
  EXPECT_EQ(SmtpServerExtensions::FromEhloKeywords("SIZE many\n").size_limit, 0u);
  EXPECT_TRUE(SmtpServerExtensions::FromEhloKeywords("SIZE 0\r").size);
}

TEST(SmtpDeliveryReports, ChecksWhatACallerAsksFor) {
  for (int notify : {0, 1, 2, 4, 8, 6, 14}) EXPECT_TRUE(IsValidDeliveryNotify(notify)) << notify;
  for (int notify : {3, 9, 15, 16, -1}) EXPECT_FALSE(IsValidDeliveryNotify(notify)) << notify;
  EXPECT_EQ(XText("a+b=c d\x7f\xc3"), "a+2Bb+3Dc+20d+7F+C3");
  EXPECT_TRUE(IsValidEnvelopeId(std::string(100, 'x')));
  EXPECT_FALSE(IsValidEnvelopeId(std::string(101, 'x')));
  EXPECT_FALSE(IsValidEnvelopeId(std::string(34, '+')));  // 102 characters as xtext
  EXPECT_FALSE(IsValidEnvelopeId("inv\r\n42"));
  EXPECT_FALSE(IsValidEnvelopeId("j\xC3\xB6rg"));
  EXPECT_EQ(AsciiEnvelopeAddress("post@m\xC3\xBCller.example"), "post@xn--mller-kva.example");
  EXPECT_EQ(AsciiEnvelopeAddress("j\xC3\xB6rg@m\xC3\xBCller.example"), std::nullopt);
  EXPECT_EQ(AsciiEnvelopeAddress("postmaster"), "postmaster");
}

}  // namespace
}  // namespace vesk
