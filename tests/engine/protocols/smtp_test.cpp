// The SMTP client against scripted servers: the transaction, its replies and
// the caller text refused before anything is sent; the service extensions
// (what goes on MAIL and RCPT, how pipelined replies and partial refusals
// are judged); and the data block as it goes on the wire.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/common/error_texts.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/dot_terminated_block.h"
#include "engine/protocols/smtp_extensions.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::Clients;
using testing::Dialogue;
using testing::Exchange;
using testing::Then;

constexpr char kBadConnection[] = "Bad connection";
constexpr char kMailRejected[] = "Invalid response on MAIL From: command.";
constexpr char kRcptRejected[] = "Invalid response on RCPT TO: command.";
// The same words for a refused recipient, with the address and the reply.
std::string Refused(const char* address, const char* reply) {
  return FormatMessageText(kMsgRecipientRefused, address, reply);
}
constexpr char kDataFailed[] = "Error occured during send data.";
constexpr char kTimedOut[] = "Socket error # 10060";
constexpr char kMessage[] = "Subject: hi\r\n\r\nbody\r\n";  // 21 bytes
const std::vector<std::string> kMessageLines = {"Subject: hi", "", "body", "."};
constexpr char kJoerg[] = "j\xC3\xB6rg@m\xC3\xBCller.example";
constexpr char kPost[] = "post@m\xC3\xBCller.example";

// The exchanges that open a session greeted with HELO.
std::vector<Exchange> Greeted(std::vector<Exchange> more) {
  return Then({{{}, "220 mx.test ready\r\n"}, {{"HELO client.test"}, "250 mx.test\r\n"}}, more);
}

// Greeted with EHLO; the server lists `keywords` (one per line).
std::vector<Exchange> Ehlo(const std::vector<std::string>& keywords, std::vector<Exchange> more) {
  std::string reply = "250";
  reply += keywords.empty() ? " mx.test\r\n" : "-mx.test\r\n";
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    reply += (i + 1 < keywords.size() ? "250-" : "250 ") + keywords[i] + "\r\n";
  }
  return Then({{{}, "220 mx.test ready\r\n"}, {{"EHLO client.test"}, reply}}, more);
}

// A whole transaction from MAIL to the end of data, answered `end_reply`.
std::vector<Exchange> Transaction(std::string sender, std::vector<std::string> recipients, std::string end_reply) {
  std::vector<Exchange> script = {{{"MAIL From: <" + sender + ">"}, "250 ok\r\n"}};
  for (const std::string& recipient : recipients) script.push_back({{"RCPT TO: <" + recipient + ">"}, "250 ok\r\n"});
  script.push_back({{"DATA"}, "354 go ahead\r\n"});
  script.push_back({kMessageLines, end_reply});
  return script;
}

using Options = std::function<void(SmtpSendOptions&)>;
void NoOptions(SmtpSendOptions&) {}
void Extensions(SmtpSendOptions& o) { o.use_extensions = true; }
void Partial(SmtpSendOptions& o) { o.allow_partial_delivery = true; }

// Connects and sends `message`, with the send options `options` sets.
std::function<bool(Clients&)> Sending(std::string sender, std::vector<std::string> recipients,
                                      Options options = NoOptions, std::string message = kMessage) {
  return [=](Clients& c) {
    options(c.smtp.send_options());
    return c.smtp.Connect() && c.smtp.Send(sender, recipients, message);
  };
}

// What a Send leaves for the caller: the recipients refused, "address|reply"
// each, and "closed" when the connection is gone.
std::string Refusals(Clients& c) {
  std::string shown;
  for (const RefusedRecipient& r : c.smtp.refused_recipients()) shown += r.address + "|" + r.reply + "; ";
  return c.smtp.connected() ? shown : shown + "closed";
}

// The SMTP dialogues, a row each: the lines sent, the outcome, and the
// refusals and connection it leaves. Ephemeral ports lie above 32767, so
// every dialogue also shows that a port beyond the signed 16-bit range
// reaches the right server.
std::vector<Dialogue> Cases() {
  const auto connect = [](Clients& c) { return c.smtp.Connect(); };
  const std::vector<std::string> two = {"ann@a.test", "bob@b.test"};
  const std::string longest_sender(244, 's');  // "MAIL From: <...>" CR LF fills the 259 bytes
  const std::vector<Exchange> data = {{kMessageLines, "250 queued\r\n"}};
  const std::string needs_utf8 =
      "Address \"" + std::string(kJoerg) + "\" needs a server that offers international addresses (SMTPUTF8)";
  char local_name[80];
  sockets::LocalHostName(local_name, sizeof local_name);
  return {
      {"Connect", 'S', Greeted({}), connect, true, ""},
      {"GreetingOtherThan220", 'S', {{{}, "421 busy\r\n"}}, connect, false, kBadConnection, "closed"},
      {"HeloCarriesTheLocalHostNameByDefault", 'S',
       {{{}, "220 mx\r\n"}, {{std::string("HELO ") + local_name}, "250 hi\r\n"}},
       [](Clients& c) { return c.smtp.set_helo_name(""), c.smtp.Connect(); }, true, ""},
      // RFC 5321 section 4.2.1: a reply of several lines is one reply, judged
      // by its last line; a code without text ends it too.
      {"RepliesOfSeveralLines", 'S',
       {{{}, "220-mx.test first\r\n220-second\r\n220 last\r\n"},
        {{"HELO client.test"}, "250-mx.test\r\n250-PIPELINING\r\n250\r\n"}}, connect, true, ""},
      {"ReplyOfSeveralLinesIsJudgedByItsLastLine", 'S', {{{}, "220-mx.test hello\r\n554 no service after all\r\n"}},
       connect, false, kBadConnection, "closed"},
      {"ReplyCutOffInTheMiddleTimesOut", 'S', {{{}, "220-mx first\r\n220-mx second\r\n"}}, connect, false, kTimedOut,
       "closed", 300},
      {"WholeTransaction", 'S', Greeted(Transaction("me@here.test", two, "250 queued\r\n")),
       Sending("me@here.test", two), true, ""},
      // Recipients go in order, duplicates and all; one text with a comma
      // stays one recipient.
      {"RecipientsAsGiven", 'S',
       Greeted(Transaction("", {"to@x.test", "a@a.test, b@b.test", "to@x.test", ""}, "250 ok\r\n")),
       Sending("", {"to@x.test", "a@a.test, b@b.test", "to@x.test", ""}), true, ""},
      // RFC 5321 section 4.2.2: 251 is a positive completion reply.
      {"RcptAnswered251IsAccepted", 'S',
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "251 will forward\r\n"},
                {{"DATA"}, "354 go ahead\r\n"}, {kMessageLines, "250 queued\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}), true, ""},
      {"MailOtherThan250", 'S', Greeted({{{"MAIL From: <me@here.test>"}, "553 bad sender\r\n"}}),
       Sending("me@here.test", two), false, kMailRejected},
      {"DataOtherThan354SendsNothingOfTheMessage", 'S',
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"DATA"}, "554 no valid recipients\r\n"}}),
       Sending("me@here.test", {}), false, kDataFailed},
      {"EndOfDataOtherThan250", 'S', Greeted(Transaction("me@here.test", {"ann@a.test"}, "552 too big\r\n")),
       Sending("me@here.test", {"ann@a.test"}), false, "Udefined end of data transfer."},
      // No RSET after a failure: the next Send starts with MAIL again. A
      // success leaves the description of the last failure in place.
      {"SendAfterAFailedSendStartsWithMail", 'S',
       Greeted(Then({{{"MAIL From: <me@here.test>"}, "451 try later\r\n"}},
                    Transaction("me@here.test", {"ann@a.test"}, "250 queued\r\n"))),
       [](Clients& c) {
         return !Sending("me@here.test", {"ann@a.test"})(c) && c.smtp.Send("me@here.test", {"ann@a.test"}, kMessage);
       },
       true, kMailRejected},
      // The writer's wire form goes as it is: a Bcc field in it stays, only
      // the period that begins a line is doubled.
      {"WireReadyMessageGoesAsItIs", 'S',
       Greeted({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                {{"DATA"}, "354 go ahead\r\n"}, {{"Bcc: kept", "", "..period", "."}, "250 queued\r\n"}}),
       [](Clients& c) {
         return c.smtp.Connect() && c.smtp.Send("me@here.test", {"ann@a.test"}, "Bcc: kept\r\n\r\n.period\r\n");
       },
       true, ""},
      {"LongestArgumentsThatFitAreSent", 'S', Greeted(Transaction(longest_sender, {std::string(246, 'r')}, "250 ok\r\n")),
       Sending(longest_sender, {std::string(246, 'r')}), true, ""},
      // Caller text that could end the command line, or would not fit it, is
      // refused before anything of the transaction goes out.
      {"HostileSender", 'S', Greeted({}), Sending("me@x.test>\r\nRCPT TO: <evil@x.test", {"ann@a.test"}), false,
       kMailRejected},
      {"SenderOneTooLong", 'S', Greeted({}), Sending(longest_sender + "s", {"ann@a.test"}), false, kMailRejected},
      {"SecondRecipientWithLf", 'S', Greeted({}), Sending("me@x.test", {"ann@a.test", "b@x.test>\nDATA"}), false,
       kRcptRejected},
      {"BadSenderIsReportedBeforeBadRecipient", 'S', Greeted({}), Sending("me\r", {"a\n"}), false, kMailRejected},
      // RFC 1870: the size goes on MAIL, beyond the command buffer the address
      // must fit; a limit of the size takes it, one below refuses it before MAIL.
      {"SizeGoesOnMail", 'S',
       Ehlo({"SIZE 21"}, Then({{{"MAIL From: <" + longest_sender + "> SIZE=21"}, "250 ok\r\n"},
                                {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                               data)),
       Sending(longest_sender, {"ann@a.test"}, Extensions), true, ""},
      {"SizeAboveTheLimitIsRefusedBeforeMail", 'S', Ehlo({"PIPELINING", "SIZE 20"}, {}),
       Sending("me@here.test", {"ann@a.test"}, Extensions), false,
       "Message of 21 bytes is larger than the 20 bytes the server takes (SIZE)"},
      // RFC 2920: one group, the replies read in order.
      {"PipelinedTransaction", 'S',
       Ehlo({"PIPELINING", "SIZE"},
            Then({{{"MAIL From: <me@here.test> SIZE=21", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>", "DATA"},
                   "250 ok\r\n250 ok\r\n250-ok\r\n250 really\r\n354 go\r\n"}},
                 data)),
       Sending("me@here.test", two, Extensions), true, ""},
      // One refusal ends the transaction by default: DATA was accepted
      // already, so the connection is closed before any text goes.
      {"PipelinedRefusalAbandonsTheTransaction", 'S',
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>",
                               "RCPT TO: <cy@c.test>", "DATA"},
                              "250 ok\r\n550 5.1.1 no ann\r\n250 ok\r\n550 5.1.1 no cy\r\n354 go\r\n"}}),
       Sending("me@here.test", {"ann@a.test", "bob@b.test", "cy@c.test"}, Extensions), false,
       Refused("ann@a.test", "550 5.1.1 no ann"), "ann@a.test|550 5.1.1 no ann; cy@c.test|550 5.1.1 no cy; closed"},
      {"PipelinedPartialDelivery", 'S',
       Ehlo({"PIPELINING"},
            Then({{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "RCPT TO: <bob@b.test>", "DATA"},
                   "250 ok\r\n250 ok\r\n550-5.1.1 no such\r\n550 5.1.1 user\r\n354 go\r\n"}},
                 data)),
       Sending("me@here.test", two, Partial), true, "", "bob@b.test|550-5.1.1 no such\r\n550 5.1.1 user; "},
      // A refused MAIL makes every RCPT fail; those replies name no recipient.
      {"PipelinedMailRefused", 'S',
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "DATA"},
                              "553 bad sender\r\n503 need MAIL\r\n503 need RCPT\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}, Extensions), false, kMailRejected},
      {"PipelinedAllRefusedInPartialMode", 'S',
       Ehlo({"PIPELINING"}, {{{"MAIL From: <me@here.test>", "RCPT TO: <ann@a.test>", "DATA"},
                              "250 ok\r\n550 no\r\n554 no valid recipients\r\n"},
                             {{"RSET"}, "250 reset\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}, Partial), false, Refused("ann@a.test", "550 no"), "ann@a.test|550 no; "},
      {"PartialDeliveryOneByOne", 'S',
       Ehlo({}, Then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"},
                      {{"RCPT TO: <bob@b.test>"}, "550 no bob\r\n"}, {{"RCPT TO: <cy@c.test>"}, "251 forwarded\r\n"},
                      {{"DATA"}, "354 go\r\n"}},
                     data)),
       Sending("me@here.test", {"ann@a.test", "bob@b.test", "cy@c.test"}, Partial), true, "",
       "bob@b.test|550 no bob; "},
      {"PartialDeliveryWithNobodyTakenSendsNoData", 'S',
       Ehlo({}, {{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no ann\r\n"},
                 {{"RCPT TO: <bob@b.test>"}, "550 no bob\r\n"}, {{"RSET"}, "250 reset\r\n"}}),
       Sending("me@here.test", two, Partial), false, Refused("ann@a.test", "550 no ann"),
       "ann@a.test|550 no ann; bob@b.test|550 no bob; "},
      {"RefusalOneByOneStopsAtTheFirst", 'S',
       Ehlo({}, {{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no ann\r\n"},
                 {{"RSET"}, "250 reset\r\n"}}),
       Sending("me@here.test", two, Extensions), false, Refused("ann@a.test", "550 no ann"), "ann@a.test|550 no ann; "},
      // RFC 3461: RET and ENVID on MAIL, NOTIFY and ORCPT on RCPT.
      {"DeliveryReports", 'S',
       Ehlo({"DSN"},
            Then({{{"MAIL From: <me@here.test> RET=HDRS ENVID=inv+2042+2Bx+3D1"}, "250 ok\r\n"},
                  {{"RCPT TO: <ann@a.test> NOTIFY=SUCCESS,DELAY ORCPT=rfc822;ann@a.test"}, "250 ok\r\n"},
                  // The report names the recipient as given; the command, as the server takes it.
                  {{"RCPT TO: <post@xn--mller-kva.example> NOTIFY=SUCCESS,DELAY ORCPT=utf-8;post@m\\x{FC}ller.example"},
                   "250 ok\r\n"},
                  {{"DATA"}, "354 go\r\n"}},
                 data)),
       Sending("me@here.test", {"ann@a.test", kPost},
               [](SmtpSendOptions& o) {
                 o.notify = kNotifySuccess | kNotifyDelay;
                 o.report_return = DeliveryReturn::kHeadersOnly;
                 o.envelope_id = "inv 42+x=1";
               }),
       true, ""},
      {"NeverNotify", 'S',
       Ehlo({"DSN"}, Then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                           {{"RCPT TO: <ann@a.test> NOTIFY=NEVER ORCPT=rfc822;ann@a.test"}, "250 ok\r\n"},
                           {{"DATA"}, "354 go\r\n"}},
                          data)),
       Sending("me@here.test", {"ann@a.test"}, [](SmtpSendOptions& o) { o.notify = kNotifyNever; }), true, ""},
      {"ReportsTheServerDoesNotOffer", 'S', Ehlo({"SIZE", "PIPELINING"}, {}),
       Sending("me@here.test", {"ann@a.test"}, [](SmtpSendOptions& o) { o.envelope_id = "x"; }), false,
       "Server does not offer delivery status notifications (DSN)"},
      // A server that does not know EHLO is greeted with HELO and offers nothing.
      {"ReportsAfterHelo", 'S',
       {{{}, "220 mx\r\n"}, {{"EHLO client.test"}, "502 what\r\n"}, {{"HELO client.test"}, "250 mx\r\n"}},
       Sending("me@here.test", {"ann@a.test"}, [](SmtpSendOptions& o) { o.notify = kNotifyFailure; }), false,
       "Server does not offer delivery status notifications (DSN)"},
      // RFC 6531: international addresses in UTF-8 where SMTPUTF8 is offered.
      {"Utf8AddressesWithSmtpUtf8", 'S',
       Ehlo({"SMTPUTF8", "8BITMIME"},
            Then({{{"MAIL From: <me@here.test> SMTPUTF8"}, "250 ok\r\n"},
                  {{"RCPT TO: <" + std::string(kJoerg) + ">"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                 data)),
       Sending("me@here.test", {kJoerg}, Extensions), true, ""},
      // Without it, a domain goes as its A-label; a local part cannot go.
      {"ALabelWithoutSmtpUtf8", 'S',
       Ehlo({"8BITMIME"}, Then({{{"MAIL From: <me@xn--mller-kva.example>"}, "250 ok\r\n"},
                                {{"RCPT TO: <post@xn--mller-kva.example>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                               data)),
       Sending("me@m\xC3\xBCller.example", {kPost}, Extensions), true, ""},
      {"InternationalLocalPartWithoutSmtpUtf8", 'S', Ehlo({"PIPELINING"}, {}),
       Sending("me@here.test", {"ann@a.test", kJoerg}, Extensions), false, needs_utf8},
      {"DomainThatIsNoHostName", 'S', Ehlo({"SMTPUTF8"}, {}),
       Sending("me@here.test", {"ann@m\xC3\xBCller example"}, Extensions), false,
       "Address \"ann@m\xC3\xBCller example\" cannot be sent: it is not UTF-8 or its domain is not a valid host name"},
      // The plain HELO dialogue takes A-labels too, and refuses what needs SMTPUTF8.
      {"HeloDialogueSendsALabels", 'S', Greeted(Transaction("me@here.test", {"post@xn--mller-kva.example"},
                                                            "250 queued\r\n")),
       Sending("me@here.test", {kPost}), true, ""},
      {"HeloDialogueRefusesAnInternationalLocalPart", 'S', Greeted({}), Sending(kJoerg, {"ann@a.test"}), false,
       needs_utf8},
      // RFC 6152: a message with 8-bit bytes says so where the server takes them.
      {"EightBitBody", 'S',
       Ehlo({"8BITMIME", "SIZE 100"},
            {{{"MAIL From: <me@here.test> SIZE=22 BODY=8BITMIME"}, "250 ok\r\n"},
             {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"},
             {{"Subject: hi", "", "b\xC3\xB6" "dy", "."}, "250 queued\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}, Extensions, "Subject: hi\r\n\r\nb\xC3\xB6" "dy\r\n"), true, ""},
      // A header in UTF-8 needs SMTPUTF8 where the server offers it.
      {"Utf8HeaderTakesSmtpUtf8", 'S',
       Ehlo({"SMTPUTF8"}, {{{"MAIL From: <me@here.test> SMTPUTF8"}, "250 ok\r\n"},
                           {{"RCPT TO: <ann@a.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"},
                           {{"To: " + std::string(kJoerg), "", "body", "."}, "250 queued\r\n"}}),
       Sending("me@here.test", {"ann@a.test"}, Extensions, "To: " + std::string(kJoerg) + "\r\n\r\nbody\r\n"), true,
       ""},
      // A second Send forgets the refusals of the first (and a success leaves
      // the last failure's text); with pipelining switched off the commands
      // wait for their replies again.
      {"RefusalsAreOfTheLastSendAndPipeliningCanBeSwitchedOff", 'S',
       Ehlo({"PIPELINING"}, Then({{{"MAIL From: <me@here.test>"}, "250 ok\r\n"}, {{"RCPT TO: <ann@a.test>"}, "550 no\r\n"},
                                  {{"RSET"}, "250 reset\r\n"}, {{"MAIL From: <me@here.test>"}, "250 ok\r\n"},
                                  {{"RCPT TO: <bob@b.test>"}, "250 ok\r\n"}, {{"DATA"}, "354 go\r\n"}},
                                 data)),
       [](Clients& c) {
         c.smtp.send_options().use_extensions = true, c.smtp.send_options().pipelining = false;
         EXPECT_FALSE(Sending("me@here.test", {"ann@a.test"})(c));
         EXPECT_EQ(c.smtp.refused_recipients().size(), 1u);
         return c.smtp.Send("me@here.test", {"bob@b.test"}, kMessage);
       },
       true, Refused("ann@a.test", "550 no")},
  };
}

class SmtpDialogues : public ::testing::TestWithParam<Dialogue> {};

TEST_P(SmtpDialogues, SendExactlyTheScriptedLinesAndJudgeTheReplies) { testing::Play(GetParam(), Refusals); }

INSTANTIATE_TEST_SUITE_P(SmtpClient, SmtpDialogues, ::testing::ValuesIn(Cases()), testing::RowName);

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
  EXPECT_EQ(AsciiEnvelopeAddress(kPost), "post@xn--mller-kva.example");
  EXPECT_EQ(AsciiEnvelopeAddress(kJoerg), std::nullopt);
  EXPECT_EQ(AsciiEnvelopeAddress("postmaster"), "postmaster");
}

}  // namespace
}  // namespace vesk
