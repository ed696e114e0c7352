// The service extensions of a sending SMTP client, against scripted servers:
// what goes on MAIL and RCPT, what is refused before anything is sent, and
// how pipelined replies and partial refusals are judged.

#include "engine/protocols/smtp_extensions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::Exchange;
using testing::FakeServer;

constexpr char kMessage[] = "Subject: hi\r\n\r\nbody\r\n";  // 21 bytes
const std::vector<std::string> kMessageLines = {"Subject: hi", "", "body", "."};
constexpr char kJoerg[] = "j\xC3\xB6rg@m\xC3\xBCller.example";
constexpr char kPost[] = "post@m\xC3\xBCller.example";

// Greeted with EHLO; the server lists `keywords` (one per line).
std::vector<Exchange> Ehlo(const std::vector<std::string>& keywords, std::vector<Exchange> more) {
  std::string reply = "250";
  reply += keywords.empty() ? " mx.test\r\n" : "-mx.test\r\n";
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    reply += (i + 1 < keywords.size() ? "250-" : "250 ") + keywords[i] + "\r\n";
  }
  std::vector<Exchange> script = {{{}, "220 mx.test ready\r\n"}, {{"EHLO client.test"}, reply}};
  script.insert(script.end(), more.begin(), more.end());
  return script;
}

struct Outcome {
  bool succeeded;
  std::string error;
  std::vector<std::string> refused;  // "address|reply"
  bool connected;
};

struct ExtensionCase {
  const char* name;
  std::vector<Exchange> script;
  std::function<void(SmtpSendOptions&)> options;
  std::string sender;
  std::vector<std::string> recipients;
  Outcome expected;
  std::string message = kMessage;
  std::function<void(SmtpClient&)> earlier = [](SmtpClient&) {};  // a Send before the one judged
};

void Extensions(SmtpSendOptions& o) { o.use_extensions = true; }
void Partial(SmtpSendOptions& o) { o.allow_partial_delivery = true; }
void NoOptions(SmtpSendOptions&) {}

std::vector<ExtensionCase> Cases() {
  const std::string rcpt_refused = "Invalid response on RCPT TO: command.";
  const std::vector<Exchange> data = {{kMessageLines, "250 queued\r\n"}};
  const auto then = [](std::vector<Exchange> a, const std::vector<Exchange>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  return {
      // RFC 1870: the size goes on MAIL; a limit below it refuses the
      // message before MAIL.
      {"SizeGoesOnMail",
       Ehlo({"SIZE 21"}, then({{{"MAIL From: <me@here.test> SIZE=21"}, "250 ok\r\n"},
                               {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}}, data)),
       Extensions, "me@here.test", {"ann@a.test"}, {true, "", {}, true}},
      // Parameters go beyond the command buffer the address must fit.
      {"ParametersBeyondTheCommandBuffer",
       Ehlo({"SIZE 100"}, then({{{"MAIL From: <" + std::string(244, 's') + "> SIZE=21"}, "250 ok\r\n"},
                                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                               data)),
       Extensions, std::string(244, 's'), {"ann@a.test"}, {true, "", {}, true}},
      {"SizeAboveTheLimitIsRefusedBeforeMail", Ehlo({"PIPELINING", "SIZE 20"}, {}), Extensions, "me@here.test",
       {"ann@a.test"}, {false, "Message of 21 bytes is larger than the 20 bytes the server takes (SIZE)", {}, true}},
      // RFC 2920: one group, the replies read in order.
      {"PipelinedTransaction",
       Ehlo({"PIPELINING", "SIZE"},
            then({{{"MAIL From: <me@here.test> SIZE=21", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>", "DATA"},
                   "250 ok\r\n250 ok\r\n250-ok\r\n250 really\r\n354 go\r\n"}},
                 data)),
       Extensions, "me@here.test", {"ann@a.test", "bob@b.test"}, {true, "", {}, true}},
      // One refusal ends the transaction by default: DATA was accepted
      // already, so the connection is closed before any text goes.
      {"PipelinedRefusalAbandonsTheTransaction",
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>",
                               "RCPT TO: <cy@c.test>", "DATA"},
                              "250 ok\r\n550 5.1.1 no ann\r\n250 ok\r\n550 5.1.1 no cy\r\n354 go\r\n"}}),
       Extensions, "me@here.test", {"ann@a.test", "bob@b.test", "cy@c.test"},
       {false, rcpt_refused, {"ann@a.test|550 5.1.1 no ann", "cy@c.test|550 5.1.1 no cy"}, false}},
      {"PipelinedPartialDelivery",
       Ehlo({"PIPELINING"},
            then({{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>", "DATA"},
                   "250 ok\r\n250 ok\r\n550-5.1.1 no such\r\n550 5.1.1 user\r\n354 go\r\n"}},
                 data)),
       Partial, "me@here.test", {"ann@a.test", "bob@b.test"},
       {true, "", {"bob@b.test|550-5.1.1 no such\r\n550 5.1.1 user"}, true}},
      // A refused MAIL makes every RCPT fail; those replies name no recipient.
      {"PipelinedMailRefused",
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "DATA"},
                              "553 bad sender\r\n503 need MAIL\r\n503 need RCPT\r\n"}}),
       Extensions, "me@here.test", {"ann@a.test"}, {false, "Invalid response on MAIL From: command.", {}, true}},
      {"PipelinedAllRefusedInPartialMode",
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "DATA"},
                              "250 ok\r\n550 no\r\n554 no valid recipients\r\n"},
                             {{"RSET"}, "250 reset\r\n"}}),
       Partial, "me@here.test", {"ann@a.test"}, {false, rcpt_refused, {"ann@a.test|550 no"}, true}},
      {"PartialDeliveryOneByOne",
       Ehlo({}, then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                      {{"RCPT TO: <bob@b.test>"}, "550 no bob\r\n"}, {{"RCPT TO: <cy@c.test>"}, "251 forwarded\r\n"},
                      {{"DATA"}, "354 go\r\n"}},
                     data)),
       Partial, "me@here.test", {"ann@a.test", "bob@b.test", "cy@c.test"},
       {true, "", {"bob@b.test|550 no bob"}, true}},
      {"PartialDeliveryWithNobodyTakenSendsNoData",
       Ehlo({}, {{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no ann\r\n"},
                 {{"RCPT TO: <bob@b.test>"}, "550 no bob\r\n"}, {{"RSET"}, "250 reset\r\n"}}),
       Partial, "me@here.test", {"ann@a.test", "bob@b.test"},
       {false, rcpt_refused, {"ann@a.test|550 no ann", "bob@b.test|550 no bob"}, true}},
      {"RefusalOneByOneStopsAtTheFirst",
       Ehlo({}, {{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no ann\r\n"},
                 {{"RSET"}, "250 reset\r\n"}}),
       Extensions, "me@here.test", {"ann@a.test", "bob@b.test"}, {false, rcpt_refused, {"ann@a.test|550 no ann"}, true}},
      // RFC 3461: RET and ENVID on MAIL, NOTIFY and ORCPT on RCPT.
      {"DeliveryReports",
       Ehlo({"DSN"},
            then({{{"MAIL From: <me@here.test> RET=HDRS ENVID=inv+2042+2Bx+3D1"}, "250 ok\r\n"},
                  {{"RCPT TO: <ann@a.test> NOTIFY=SUCCESS,DELAY ORCPT=rfc822;ann@a.test"}, "250 ok\r\n"},
                  // The report names the recipient as given; the command, as the server takes it.
                  {{"RCPT TO: <post@xn--mller-kva.example> NOTIFY=SUCCESS,DELAY ORCPT=utf-8;post@m\\x{FC}ller.example"},
                   "250 ok\r\n"},
                  {{"DATA"}, "354 go\r\n"}},
                 data)),
       [](SmtpSendOptions& o) {
         o.notify = kNotifySuccess | kNotifyDelay;
         o.report_return = DeliveryReturn::kHeadersOnly;
         o.envelope_id = "inv 42+x=1";
       },
       "me@here.test", {"ann@a.test", kPost}, {true, "", {}, true}},
      {"NeverNotify",
       Ehlo({"DSN"}, then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                           {{"RCPT TO: <ann@a.test> NOTIFY=NEVER ORCPT=rfc822;ann@a.test"}, "250 ok\r\n"},
                           {{"DATA"}, "354 go\r\n"}},
                          data)),
       [](SmtpSendOptions& o) { o.notify = kNotifyNever; }, "me@here.test", {"ann@a.test"}, {true, "", {}, true}},
      {"ReportsTheServerDoesNotOffer", Ehlo({"SIZE", "PIPELINING"}, {}),
       [](SmtpSendOptions& o) { o.envelope_id = "x"; }, "me@here.test", {"ann@a.test"},
       {false, "Server does not offer delivery status notifications (DSN)", {}, true}},
      // A server that does not know EHLO is greeted with HELO and offers nothing.
      {"ReportsAfterHelo",
       {{{}, "220 mx\r\n"}, {{"EHLO client.test"}, "502 what\r\n"}, {{"HELO client.test"}, "250 mx\r\n"}},
       [](SmtpSendOptions& o) { o.notify = kNotifyFailure; }, "me@here.test", {"ann@a.test"},
       {false, "Server does not offer delivery status notifications (DSN)", {}, true}},
      // RFC 6531: international addresses in UTF-8 where SMTPUTF8 is offered.
      {"Utf8AddressesWithSmtpUtf8",
       Ehlo({"SMTPUTF8", "8BITMIME"},
            then({{{"MAIL From: <me@here.test> SMTPUTF8"}, "250 ok\r\n"},
                  {{"RCPT TO: <" + std::string(kJoerg) + ">"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                 data)),
       Extensions, "me@here.test", {kJoerg}, {true, "", {}, true}},
      // Without it, a domain goes as its A-label; a local part cannot go.
      {"ALabelWithoutSmtpUtf8",
       Ehlo({"8BITMIME"}, then({{{"MAIL From: <me@xn--mller-kva.example>"}, "250 ok\r\n"},
                                {{"RCPT TO: <post@xn--mller-kva.example>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                               data)),
       Extensions, "me@m\xC3\xBCller.example", {kPost}, {true, "", {}, true}},
      {"InternationalLocalPartWithoutSmtpUtf8", Ehlo({"PIPELINING"}, {}), Extensions, "me@here.test",
       {"ann@a.test", kJoerg},
       {false, "Address \"" + std::string(kJoerg) + "\" needs a server that offers international addresses (SMTPUTF8)",
        {}, true}},
      {"DomainThatIsNoHostName", Ehlo({"SMTPUTF8"}, {}), Extensions, "me@here.test", {"ann@m\xC3\xBCller example"},
       {false, "Address \"ann@m\xC3\xBCller example\" cannot be sent: it is not UTF-8 or its domain is not a valid host name",
        {}, true}},
      // The plain HELO dialogue takes A-labels too, and refuses what needs SMTPUTF8.
      {"HeloDialogueSendsALabels",
       {{{}, "220 mx\r\n"}, {{"HELO client.test"}, "250 mx\r\n"},
        {{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <post@xn--mller-kva.example>"}, "250 ok\r\n"},
        {{"DATA"}, "354 go\r\n"}, {kMessageLines, "250 queued\r\n"}},
       NoOptions, "me@here.test", {kPost}, {true, "", {}, true}},
      {"HeloDialogueRefusesAnInternationalLocalPart", {{{}, "220 mx\r\n"}, {{"HELO client.test"}, "250 mx\r\n"}},
       NoOptions, kJoerg, {"ann@a.test"},
       {false, "Address \"" + std::string(kJoerg) + "\" needs a server that offers international addresses (SMTPUTF8)",
        {}, true}},
      // RFC 6152: a message with 8-bit bytes says so where the server takes them.
      {"EightBitBody",
       Ehlo({"8BITMIME", "SIZE 100"},
            {{{"MAIL From: <me@here.test> SIZE=22 BODY=8BITMIME"}, "250 ok\r\n"},
             {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"},
             {{"Subject: hi", "", "b\xC3\xB6" "dy", "."}, "250 queued\r\n"}}),
       Extensions, "me@here.test", {"ann@a.test"}, {true, "", {}, true}, "Subject: hi\r\n\r\nb\xC3\xB6" "dy\r\n"},
      // A header in UTF-8 needs SMTPUTF8 where the server offers it.
      {"Utf8HeaderTakesSmtpUtf8",
       Ehlo({"SMTPUTF8"}, {{{"MAIL From: <me@here.test> SMTPUTF8"}, "250 ok\r\n"},
                           {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"},
                           {{"To: " + std::string(kJoerg), "", "body", "."}, "250 queued\r\n"}}),
       Extensions, "me@here.test", {"ann@a.test"}, {true, "", {}, true}, "To: " + std::string(kJoerg) + "\r\n\r\nbody\r\n"},
      // A second Send forgets the refusals of the first; with pipelining
      // switched off the commands wait for their replies again.
      {"RefusalsAreOfTheLastSendAndPipeliningCanBeSwitchedOff",
       Ehlo({"PIPELINING"}, then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no\r\n"},
                                  {{"RSET"}, "250 reset\r\n"}, {{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                                  {{"RCPT TO: <bob@b.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                                 data)),
       [](SmtpSendOptions& o) { o.use_extensions = true, o.pipelining = false; }, "me@here.test", {"bob@b.test"},
       {true, rcpt_refused, {}, true}, kMessage, [](SmtpClient& c) {  // a success leaves the last failure's text
         EXPECT_FALSE(c.Send("me@here.test", {"ann@a.test"}, kMessage));
         EXPECT_EQ(c.refused_recipients().size(), 1u);
       }},
  };
}

void PrintTo(const ExtensionCase& c, std::ostream* os) { *os << c.name; }

class SmtpExtensionDialogues : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(SmtpExtensionDialogues, SendTheScriptedLinesAndReportWhatHappened) {
  const ExtensionCase& c = GetParam();
  FakeServer server;
  const std::vector<std::string> transcript = testing::ScriptDialogue(server, c.script);
  server.Start();
  SmtpClient client;
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(server.port()));
  client.set_timeout_ms(2000);
  client.set_helo_name("client.test");
  c.options(client.send_options());
  ASSERT_TRUE(client.Connect()) << client.last_error();
  c.earlier(client);
  EXPECT_EQ(client.Send(c.sender, c.recipients, c.message), c.expected.succeeded);
  EXPECT_EQ(client.last_error(), c.expected.error);
  std::vector<std::string> refused;
  for (const RefusedRecipient& r : client.refused_recipients()) refused.push_back(r.address + "|" + r.reply);
  EXPECT_THAT(refused, ElementsAreArray(c.expected.refused));
  EXPECT_EQ(client.connected(), c.expected.connected);
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray(transcript));
}

INSTANTIATE_TEST_SUITE_P(SmtpClient, SmtpExtensionDialogues, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

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
