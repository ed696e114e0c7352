// The SMTP client's pure parts: the data block as it goes on the wire, the
// EHLO keywords and the delivery report arguments (its dialogues are in
// transcripts/smtp.txt).

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "engine/protocols/smtp_client.h"
#include "engine/protocols/smtp_extensions.h"

namespace vesk {
namespace {

constexpr char kJoerg[] = "j\xC3\xB6rg@m\xC3\xBCller.example";
constexpr char kPost[] = "post@m\xC3\xBCller.example";

TEST(SmtpClient, DataHasCrLfLineEndsAndTransparentPeriods) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ".\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n.\r\n"},
      {"a\r\nb", "a\r\nb\r\n.\r\n"},
      {"a\nb\n", "a\r\nb\r\n.\r\n"},
      {"a\r\r\nb", "a\r\n\r\nb\r\n.\r\n"},
      {"a\r\n.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
      {".hidden\r\n", "..hidden\r\n.\r\n"},
      {"a\r\n\r\n", "a\r\n\r\n.\r\n"},  // a final empty line is kept
      // The smuggling shapes: a period line cut out by bare line ends.
      {"a\n.\nMAIL From: <x>", "a\r\n..\r\nMAIL From: <x>\r\n.\r\n"},
      {"a\r.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
      {"a\r\n.\nb", "a\r\n..\r\nb\r\n.\r\n"},
      // Blind copies stay hidden: the header's Bcc and Resent-Bcc fields (any
      // case, folded or not) are left out; the body is not touched.
      {"From: a\r\nBcc: x@y,\r\n z@w\r\nTo: b\r\nresent-BCC : q\r\n\r\nBcc: kept\r\n",
       "From: a\r\nTo: b\r\n\r\nBcc: kept\r\n.\r\n"},
      {"Subject: s\nBcc: x\n\nbody", "Subject: s\r\n\r\nbody\r\n.\r\n"},
      {std::string("\0\xff\x80", 3), std::string("\0\xff\x80\r\n.\r\n", 8)},
  };
  for (const auto& [message, wire] : cases) EXPECT_EQ(SmtpClient::DataBlock(message), wire) << message;
  // A message already in its wire form (the one the writer made for
  // sending) keeps its bytes and only has periods doubled: those that begin
  // a line, and those after a CR or LF alone, which some receivers take for
  // a line end (so CR . CR LF cannot end the data early there).
  const std::pair<std::string, std::string> wire_ready[] = {
      {"", ".\r\n"},
      {".a\r\n.\r\n..\r\n", "..a\r\n..\r\n...\r\n.\r\n"},
      {"a\rb\nc.\r\nBcc: x\r\n", "a\rb\nc.\r\nBcc: x\r\n.\r\n"},
      {"a\r.\r\nMAIL From: <x>\r\n", "a\r..\r\nMAIL From: <x>\r\n.\r\n"},
      {"a\n.\nb.\r\n", "a\n..\nb.\r\n.\r\n"},
      {"a\r\n.", "a\r\n..\r\n.\r\n"},
      {std::string("\0\xFF\r\n", 4), std::string("\0\xFF\r\n.\r\n", 7)},
  };
  for (const auto& [message, block] : wire_ready) EXPECT_EQ(SmtpClient::DotStuffedBlock(message), block) << message;
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
  EXPECT_EQ(AsciiEnvelopeAddress(kPost), "post@xn--mller-kva.example");
  EXPECT_EQ(AsciiEnvelopeAddress(kJoerg), std::nullopt);
  EXPECT_EQ(AsciiEnvelopeAddress("postmaster"), "postmaster");
}

}  // namespace
}  // namespace vesk
