#include "engine/protocols/smtp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/common/messages.h"
#include "engine/platform/sockets.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::Exchange;
using testing::FakeServer;

constexpr char kBadConnection[] = "Bad connection";
constexpr char kHeloRejected[] = "Invalid response on HELO command.";
constexpr char kMailRejected[] = "Invalid response on MAIL From: command.";
constexpr char kRcptRejected[] = "Invalid response on RCPT TO: command.";
constexpr char kDataFailed[] = "Error occured during send data.";
constexpr char kTimedOut[] = "Socket error # 10060";

// The exchanges that open every session below.
std::vector<Exchange> Greeted(std::vector<Exchange> more) {
  std::vector<Exchange> script = {{{}, "220 mx.test ready\r\n"}, {{"HELO client.test"}, "250 mx.test\r\n"}};
  script.insert(script.end(), more.begin(), more.end());
  return script;
}

// A whole transaction from MAIL to the end of data, answered `end_reply`.
std::vector<Exchange> Transaction(std::string sender, std::vector<std::string> recipients, std::string end_reply) {
  std::vector<Exchange> script = {{{"MAIL From: <" + sender + ">"}, "250 ok\r\n"}};
  for (const std::string& recipient : recipients) script.push_back({{"RCPT TO: <" + recipient + ">"}, "250 ok\r\n"});
  script.push_back({{"DATA"}, "354 go ahead\r\n"});
  script.push_back({{"Subject: hi", "", "body", "."}, end_reply});
  return script;
}

using Action = std::function<bool(SmtpClient&)>;

Action Sending(std::string sender, std::vector<std::string> recipients) {
  return [=](SmtpClient& c) { return c.Connect() && c.Send(sender, recipients, "Subject: hi\r\n\r\nbody\r\n"); };
}

struct SmtpCase {
  const char* name;
  std::vector<Exchange> script;
  Action action;
  bool succeeds;
  std::string error;
};

std::vector<SmtpCase> Cases() {
  const Action connect = [](SmtpClient& c) { return c.Connect(); };
  const std::vector<std::string> two = {"ann@a.test", "bob@b.test"};
  const std::string longest_sender(244, 's');  // "MAIL From: <...>" CR LF fills the 259 bytes
  char local_name[80];
  sockets::LocalHostName(local_name, sizeof local_name);
  return {
      {"Connect", Greeted({}), connect, true, ""},
      {"GreetingOtherThan220", {{{}, "421 busy\r\n"}}, connect, false, kBadConnection},
      {"HeloCarriesTheLocalHostNameByDefault", {{{}, "220 mx\r\n"}, {{std::string("HELO ") + local_name}, "250 hi\r\n"}},
       [](SmtpClient& c) { return c.set_helo_name(""), c.Connect(); }, true, ""},
      // RFC 5321 section 4.2.1: a reply of several lines is one reply, judged
      // by its last line; a code without text ends it too.
      {"RepliesOfSeveralLines",
       {{{}, "220-mx.test first\r\n220-second\r\n220 last\r\n"},
        {{"HELO client.test"}, "250-mx.test\r\n250-PIPELINING\r\n250\r\n"}}, connect, true, ""},
      {"ReplyOfSeveralLinesIsJudgedByItsLastLine", {{{}, "220-mx.test hello\r\n554 no service after all\r\n"}},
       connect, false, kBadConnection},
      {"ReplyCutOffInTheMiddleTimesOut", {{{}, "220-mx first\r\n220-mx second\r\n"}},
       [](SmtpClient& c) { return c.set_timeout_ms(300), c.Connect(); }, false, kTimedOut},
      {"WholeTransaction", Greeted(Transaction("me@here.test", two, "250 queued\r\n")),
       Sending("me@here.test", two), true, ""},
      // Recipients go in order, duplicates and all; one text with a comma
      // stays one recipient.
      {"RecipientsAsGiven", Greeted(Transaction("", {"to@x.test", "a@a.test, b@b.test", "to@x.test", ""}, "250 ok\r\n")),
       Sending("", {"to@x.test", "a@a.test, b@b.test", "to@x.test", ""}), true, ""},
      // RFC 5321 section 4.2.2: 251 is a positive completion reply.
      {"RcptAnswered251IsAccepted",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "251 will forward\r\n"},
                {{"DATA"}, "354 go ahead\r\n"}, {{"Subject: hi", "", "body", "."}, "250 queued\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}), true, ""},
      {"MailOtherThan250", Greeted({{{"MAIL From: <me@here.test>"}, "553 bad sender\r\n"}}),
       Sending("me@here.test", two), false, kMailRejected},
      {"DataOtherThan354SendsNothingOfTheMessage",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"DATA"}, "554 no valid recipients\r\n"}}),
       Sending("me@here.test", {}), false, kDataFailed},
      {"EndOfDataOtherThan250", Greeted(Transaction("me@here.test", {"ann@a.test"}, "552 too big\r\n")),
       Sending("me@here.test", {"ann@a.test"}), false, "Udefined end of data transfer."},
      // No RSET after a failure: the next Send starts with MAIL again. A
      // success leaves the description of the last failure in place.
      {"SendAfterAFailedSendStartsWithMail",
       Greeted({{{"MAIL From: <me@here.test>"}, "451 try later\r\n"}, {{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go ahead\r\n"},
                {{"Subject: hi", "", "body", "."}, "250 queued\r\n"}}),
       [](SmtpClient& c) { return !Sending("me@here.test", {"ann@a.test"})(c) && c.Send("me@here.test", {"ann@a.test"},
                                                                                      "Subject: hi\r\n\r\nbody\r\n"); },
       true, kMailRejected},
      {"LongestArgumentsThatFitAreSent", Greeted(Transaction(longest_sender, {std::string(246, 'r')}, "250 ok\r\n")),
       Sending(longest_sender, {std::string(246, 'r')}), true, ""},
      // Caller text that could end the command line, or would not fit it, is
      // refused before anything of the transaction goes out.
      {"HostileSender", Greeted({}), Sending("me@x.test>\r\nRCPT TO: <evil@x.test", {"ann@a.test"}), false,
       kMailRejected},
      {"SenderOneTooLong", Greeted({}), Sending(longest_sender + "s", {"ann@a.test"}), false, kMailRejected},
      {"SecondRecipientWithLf", Greeted({}), Sending("me@x.test", {"ann@a.test", "b@x.test>\nDATA"}), false,
       kRcptRejected},
      {"BadSenderIsReportedBeforeBadRecipient", Greeted({}), Sending("me\r", {"a\n"}), false, kMailRejected},
      {"HostileHeloNameBeforeConnecting", {},
       [](SmtpClient& c) { return c.set_helo_name("me\r\nMAIL From: <x>"), c.Connect(); }, false, kHeloRejected},
  };
}

class SmtpDialogues : public ::testing::TestWithParam<SmtpCase> {};

// Ephemeral ports lie above 32767, so every dialogue here also shows that a
// port held as a negative 16-bit value reaches the right server.
TEST_P(SmtpDialogues, SendExactlyTheScriptedLinesAndJudgeTheReplies) {
  const SmtpCase& c = GetParam();
  FakeServer server;
  const std::vector<std::string> transcript = testing::ScriptDialogue(server, c.script);
  server.Start();
  SmtpClient client;
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(server.port()));
  client.set_timeout_ms(2000);
  client.set_helo_name("client.test");
  EXPECT_EQ(c.action(client), c.succeeds);
  EXPECT_EQ(client.last_error(), c.error);
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray(transcript));
}

INSTANTIATE_TEST_SUITE_P(SmtpClient, SmtpDialogues, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

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
}

}  // namespace
}  // namespace vesk
