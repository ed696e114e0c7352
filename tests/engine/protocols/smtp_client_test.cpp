#include "engine/protocols/smtp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "engine/platform/sockets.h"
#include "support/dialogue_script.h"
#include "support/elapsed.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testing::Exchange;
using testing::FakeServer;
using testing::ScriptDialogue;

constexpr char kHeloName[] = "client.test";
constexpr char kBadConnection[] = "Bad connection";
constexpr char kHeloRejected[] = "Invalid response on HELO command.";
constexpr char kMailRejected[] = "Invalid response on MAIL From: command.";
constexpr char kRcptRejected[] = "Invalid response on RCPT TO: command.";
constexpr char kDataFailed[] = "Error occured during send data.";
constexpr char kEndOfDataRejected[] = "Udefined end of data transfer.";
constexpr char kQuitFailed[] = "Error occured during QUIT";
constexpr char kCannotConnect[] = "Server cannot be connected";

using testing::MillisecondsSince;

// Ephemeral ports lie above 32767, so every dialogue here also shows that a
// port held as a negative 16-bit value reaches the right server.
void PointAt(SmtpClient& client, const FakeServer& server, int timeout_ms = 2000) {
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(server.port()));
  client.set_timeout_ms(timeout_ms);
  client.set_helo_name(kHeloName);
}

// The exchanges that open every session of the table below.
std::vector<Exchange> Greeted(std::vector<Exchange> more) {
  std::vector<Exchange> script = {{{}, "220 mx.test ready\r\n"},
                                  {{"HELO client.test"}, "250 mx.test\r\n"}};
  script.insert(script.end(), more.begin(), more.end());
  return script;
}

const std::vector<std::string> kTwo = {"ann@a.test", "bob@b.test"};

struct SmtpDialogueCase {
  const char* name;
  std::vector<Exchange> script;
  std::function<bool(SmtpClient&)> action;
  bool succeeds;
  std::string error;
};

bool ConnectOnly(SmtpClient& client) { return client.Connect(); }

std::function<bool(SmtpClient&)> ConnectAndSend(std::string sender,
                                                std::vector<std::string> recipients,
                                                std::string message) {
  return [=](SmtpClient& client) {
    return client.Connect() && client.Send(sender, recipients, message);
  };
}

std::vector<SmtpDialogueCase> DialogueCases() {
  const std::string message = "Subject: hi\r\n\r\nbody\r\n";
  const std::vector<std::string> data_lines = {"Subject: hi", "", "body", "."};
  return {
      {"ConnectGreetsAndSaysHelo", Greeted({}), ConnectOnly, true, ""},
      {"GreetingOtherThan220", {{{}, "421 busy\r\n"}}, ConnectOnly, false, kBadConnection},
      {"GreetingWithoutCode", {{{}, "hello\r\n"}}, ConnectOnly, false, kBadConnection},
      {"HeloOtherThan250",
       {{{}, "220 mx\r\n"}, {{"HELO client.test"}, "501 who are you\r\n"}},
       ConnectOnly, false, kHeloRejected},
      // RFC 5321 section 4.2.1: a reply of several lines is one reply.
      {"GreetingOfSeveralLines",
       {{{}, "220-mx.test first\r\n220-second\r\n220 last\r\n"},
        {{"HELO client.test"}, "250-mx.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n"}},
       ConnectOnly, true, ""},
      {"ReplyOfSeveralLinesIsJudgedByItsLastLine",
       {{{}, "220-mx.test hello\r\n554 no service after all\r\n"}},
       ConnectOnly, false, kBadConnection},
      {"CodeWithoutTextEndsAReply",
       {{{}, "220-mx\r\n220\r\n"}, {{"HELO client.test"}, "250\r\n"}}, ConnectOnly, true, ""},
      {"WholeTransaction",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <bob@b.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       ConnectAndSend("me@here.test", kTwo, message), true, ""},
      {"RecipientsInOrderWithDuplicates",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <to@x.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <cc1@x.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <to@x.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <bcc@x.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       ConnectAndSend("me@here.test", {"to@x.test", "cc1@x.test", "to@x.test", "bcc@x.test"},
                      message),
       true, ""},
      // A recipient given as one text stays one recipient, commas and all.
      {"RecipientWithCommaIsOneRcpt",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test, bob@b.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       ConnectAndSend("me@here.test", {"ann@a.test, bob@b.test"}, message), true, ""},
      {"EmptySenderAndEmptyRecipient",
       Greeted({{{"MAIL From: <>"}, "250 ok\r\n"},
                {{"RCPT TO: <>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       ConnectAndSend("", {""}, message), true, ""},
      // RFC 5321 section 4.2.2: 251 is a positive completion reply.
      {"RcptAnswered251IsAccepted",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "251 will forward\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       ConnectAndSend("me@here.test", {"ann@a.test"}, message), true, ""},
      {"MailOtherThan250",
       Greeted({{{"MAIL From: <me@here.test>"}, "553 bad sender\r\n"}}),
       ConnectAndSend("me@here.test", kTwo, message), false, kMailRejected},
      {"RcptRefusedStopsTheRecipients",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "550 no such user\r\n"}}),
       ConnectAndSend("me@here.test", kTwo, message), false, kRcptRejected},
      {"SecondRcptRefused",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <bob@b.test>"}, "252 cannot verify\r\n"}}),
       ConnectAndSend("me@here.test", kTwo, message), false, kRcptRejected},
      {"DataOtherThan354SendsNothingOfTheMessage",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"DATA"}, "250 what\r\n"}}),
       ConnectAndSend("me@here.test", {"ann@a.test"}, message), false, kDataFailed},
      {"NoRecipientsAndDataRefused",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"DATA"}, "554 no valid recipients\r\n"}}),
       ConnectAndSend("me@here.test", {}, message), false, kDataFailed},
      {"EndOfDataOtherThan250",
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "552 too big\r\n"}}),
       ConnectAndSend("me@here.test", {"ann@a.test"}, message), false, kEndOfDataRejected},
      {"QuitAnswered221", Greeted({{{"QUIT"}, "221 bye\r\n"}}),
       [](SmtpClient& c) { return c.Connect() && c.Disconnect(); }, true, ""},
      {"QuitOtherThan221", Greeted({{{"QUIT"}, "250 ok\r\n"}}),
       [](SmtpClient& c) { return c.Connect() && c.Disconnect(); }, false, kQuitFailed},
      // No RSET after a failure: the next Send starts with MAIL again.
      {"SendAfterAFailedSendStartsWithMail",
       Greeted({{{"MAIL From: <me@here.test>"}, "451 try later\r\n"},
                {{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"},
                {data_lines, "250 queued\r\n"}}),
       [message](SmtpClient& c) {
         return c.Connect() && !c.Send("me@here.test", {"ann@a.test"}, message) &&
                c.Send("me@here.test", {"ann@a.test"}, message);
       },
       // A success leaves the description of the last failure in place.
       true, kMailRejected},
  };
}

class SmtpDialogues : public ::testing::TestWithParam<SmtpDialogueCase> {};

TEST_P(SmtpDialogues, SendExactlyTheScriptedLinesAndJudgeTheReplies) {
  const SmtpDialogueCase& c = GetParam();
  FakeServer server;
  const std::vector<std::string> transcript = ScriptDialogue(server, c.script);
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  EXPECT_EQ(c.action(client), c.succeeds);
  EXPECT_EQ(client.last_error(), c.error);
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray(transcript));
}

INSTANTIATE_TEST_SUITE_P(SmtpClient, SmtpDialogues, ::testing::ValuesIn(DialogueCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct DataCase {
  const char* name;
  std::string message;
  std::string wire;
};

std::vector<DataCase> DataCases() {
  return {
      {"Empty", "", ".\r\n"},
      {"CrLfLinesStayAsTheyAre", "a\r\nb\r\n", "a\r\nb\r\n.\r\n"},
      {"LastLineWithoutLineEnd", "a\r\nb", "a\r\nb\r\n.\r\n"},
      {"BareLfBecomesCrLf", "a\nb\n", "a\r\nb\r\n.\r\n"},
      {"BareCrBecomesCrLf", "a\rb", "a\r\nb\r\n.\r\n"},
      {"CrCrLfIsTwoLineEnds", "a\r\r\nb", "a\r\n\r\nb\r\n.\r\n"},
      {"LfCrIsTwoLineEnds", "a\n\rb", "a\r\n\r\nb\r\n.\r\n"},
      {"LonePeriodLineIsDoubled", "a\r\n.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
      {"LeadingPeriodAtTheStart", ".hidden\r\n", "..hidden\r\n.\r\n"},
      {"PeriodsInsideALineStay", "a.b.\r\n", "a.b.\r\n.\r\n"},
      // A message that ends with an empty line keeps it.
      {"FinalEmptyLineKept", "a\r\n\r\n", "a\r\n\r\n.\r\n"},
      // The smuggling shapes: a period line cut out by bare line ends.
      {"PeriodBetweenBareLfs", "a\n.\nMAIL From: <x>", "a\r\n..\r\nMAIL From: <x>\r\n.\r\n"},
      {"PeriodAfterBareCr", "a\r.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
      {"PeriodAfterCrLfBeforeBareLf", "a\r\n.\nb", "a\r\n..\r\nb\r\n.\r\n"},
      // Blind copies stay hidden: the header's Bcc and Resent-Bcc fields (any
      // case, folded or not) are left out; the body is not touched.
      {"BccFieldsLeftOut", "From: a\r\nBcc: x@y,\r\n z@w\r\nTo: b\r\nresent-BCC : q\r\n\r\nBcc: kept\r\n",
       "From: a\r\nTo: b\r\n\r\nBcc: kept\r\n.\r\n"},
      {"BccLastInTheHeaderWithBareLfs", "Subject: s\nBcc: x\n\nbody", "Subject: s\r\n\r\nbody\r\n.\r\n"},
      {"NulAndHighBytesPassUnchanged", std::string("\0\xff\x80", 3),
       std::string("\0\xff\x80\r\n.\r\n", 8)},
  };
}

class DataBlocks : public ::testing::TestWithParam<DataCase> {};

TEST_P(DataBlocks, HaveCrLfLineEndsAndTransparentPeriods) {
  EXPECT_EQ(SmtpClient::DataBlock(GetParam().message), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(SmtpClient, DataBlocks, ::testing::ValuesIn(DataCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpClient, DataReachesTheServerTransparentAndEndsOnlyAtTheEndLine) {
  FakeServer server;
  const std::string message = "Subject: dots\n\n.\n..two\r\n.\rend";
  ScriptDialogue(server, Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                                  {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                                  {{"DATA"}, "354 go ahead\r\n"}}));
  server.Pause(300).Send("250 queued\r\n");
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Send("me@here.test", {"ann@a.test"}, message));
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  const std::string received = server.Received();
  const std::string data = received.substr(received.find("DATA\r\n") + 6);
  EXPECT_EQ(data, "Subject: dots\r\n\r\n..\r\n...two\r\n..\r\nend\r\n.\r\n");
}

TEST(SmtpClient, HeloCarriesTheLocalHostNameByDefault) {
  char name[80];
  ASSERT_TRUE(sockets::LocalHostName(name, sizeof name));
  FakeServer server;
  server.Send("220 mx\r\n").ExpectLine(std::string("HELO ") + name).Send("250 hi\r\n");
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  client.set_helo_name("");
  EXPECT_TRUE(client.Connect());
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
}

TEST(SmtpClient, DefaultsBeforeAnyChange) {
  SmtpClient client;
  EXPECT_EQ(client.host(), "localhost");
  EXPECT_EQ(client.port(), 25);
  EXPECT_EQ(client.timeout_ms(), 5000);
  EXPECT_EQ(client.last_error(), "");
}

struct SmtpHostileCase {
  const char* name;
  std::string sender;
  std::vector<std::string> recipients;
  std::string error;
};

std::vector<SmtpHostileCase> HostileCases() {
  // "MAIL From: <" + sender + ">\r\n" must fit 259 bytes: 244 characters do.
  const std::string longest_sender(244, 's');
  return {
      {"SenderWithCrLfCommand", "me@x.test>\r\nRCPT TO: <evil@x.test", {"ann@a.test"},
       kMailRejected},
      {"SenderWithLf", "me@x.test\n", {"ann@a.test"}, kMailRejected},
      {"SenderWithCr", "me\r@x.test", {"ann@a.test"}, kMailRejected},
      {"SenderWithNul", std::string("me\0@x.test", 10), {"ann@a.test"}, kMailRejected},
      {"SenderOneTooLong", longest_sender + "s", {"ann@a.test"}, kMailRejected},
      {"SecondRecipientWithCrLf", "me@x.test", {"ann@a.test", "b@x.test>\r\nDATA"}, kRcptRejected},
      {"RecipientWithNul", "me@x.test", {std::string("a\0b", 3)}, kRcptRejected},
      {"RecipientOneTooLong", "me@x.test", {"ann@a.test", std::string(247, 'r')}, kRcptRejected},
      {"BadSenderIsReportedBeforeBadRecipient", "me\n", {"a\n"}, kMailRejected},
  };
}

class SmtpHostileInputs : public ::testing::TestWithParam<SmtpHostileCase> {};

// Nothing of the transaction goes out: the server sees HELO and no more.
TEST_P(SmtpHostileInputs, AreRefusedBeforeAnythingIsSent) {
  const SmtpHostileCase& c = GetParam();
  FakeServer server;
  server.Send("220 mx\r\n").ExpectLine("HELO client.test").Send("250 hi\r\n");
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Send(c.sender, c.recipients, "Subject: x\r\n\r\nx\r\n"));
  EXPECT_EQ(client.last_error(), c.error);
  server.Finish();
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray({"HELO client.test"}));
}

INSTANTIATE_TEST_SUITE_P(SmtpClient, SmtpHostileInputs, ::testing::ValuesIn(HostileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpClient, LongestArgumentsThatFitAreSent) {
  const std::string sender(244, 's');
  const std::string recipient(246, 'r');
  FakeServer server;
  ScriptDialogue(server, Greeted({{{"MAIL From: <" + sender + ">"}, "250 ok\r\n"},
                                  {{"RCPT TO: <" + recipient + ">"}, "250 ok\r\n"},
                                  {{"DATA"}, "354 go\r\n"},
                                  {{"x", "."}, "250 ok\r\n"}}));
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Send(sender, {recipient}, "x")) << client.last_error();
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
}

TEST(SmtpClient, HeloNameThatCouldBreakTheCommandIsRefusedBeforeConnecting) {
  for (const std::string& name : {std::string("me\r\nMAIL From: <x>"), std::string("me\n"),
                                   std::string("m\0e", 3), std::string(255, 'h')}) {
    FakeServer server;
    server.Send("220 mx\r\n").Send("250 hi\r\n");
    server.Start();
    SmtpClient client;
    PointAt(client, server);
    client.set_helo_name(name);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.last_error(), kHeloRejected);
    server.Finish();
    EXPECT_FALSE(server.accepted());
    EXPECT_EQ(server.Received(), "");
  }
}

TEST(SmtpClient, SilentServerTimesOutWith10060) {
  FakeServer server;
  server.Start();
  SmtpClient client;
  PointAt(client, server, 1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Connect());
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
  EXPECT_GE(elapsed, 900);
  EXPECT_LE(elapsed, 4000);
}

TEST(SmtpClient, ReplyCutOffInTheMiddleOfAMultiLineReplyTimesOut) {
  FakeServer server;
  server.Send("220-mx first\r\n220-mx second\r\n");
  server.Start();
  SmtpClient client;
  PointAt(client, server, 300);
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
}

TEST(SmtpClient, ServerThatClosesAfterDataIsReportedAsATimeOut) {
  FakeServer server;
  ScriptDialogue(server, Greeted({{{"MAIL From: <a@x>"}, "250 ok\r\n"},
                                  {{"RCPT TO: <b@x>"}, "250 ok\r\n"},
                                  {{"DATA"}, "354 go\r\n"},
                                  {{"x", "."}, ""}}));
  server.Close();
  server.Start();
  SmtpClient client;
  PointAt(client, server, 300);
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Send("a@x", {"b@x"}, "x"));
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
}

TEST(SmtpClient, UnreachableServersCannotBeConnected) {
  for (const std::string& host : {std::string("127.0.0.1"), testing::UnresolvableHostName()}) {
    SmtpClient client;
    client.set_host(host);
    client.set_port(static_cast<std::int16_t>(testing::UnusedLoopbackPort()));
    client.set_helo_name(kHeloName);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.last_error(), kCannotConnect) << host;
  }
}

TEST(SmtpClient, ConnectAfterDisconnectFails) {
  FakeServer server;
  ScriptDialogue(server, Greeted({{{"QUIT"}, "221 bye\r\n"}}));
  server.Start();
  SmtpClient client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Disconnect());
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.last_error(), kCannotConnect);
  server.Finish();
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray({"HELO client.test", "QUIT"}));
}

TEST(SmtpClient, SendBeforeConnectFailsWithASocketError) {
  SmtpClient client;
  client.set_timeout_ms(100);
  EXPECT_FALSE(client.Send("a@x", {"b@x"}, "x"));
  EXPECT_THAT(client.last_error(), StartsWith("Socket error # "));
}

}  // namespace
}  // namespace vesk
