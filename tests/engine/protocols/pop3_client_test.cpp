#include "engine/protocols/pop3_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/error_texts.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::Clients;
using testing::Dialogue;
using testing::Exchange;

constexpr char kTimedOut[] = "Socket error # 10060";
constexpr char kUidList[] = "+OK\r\n1 00000001584a1b2c\r\n3 00000003584a1b2c\r\n.\r\n";

// The log-in that opens most sessions below, with STAT answering `stat`.
std::vector<Exchange> LoggedIn(std::string stat, std::vector<Exchange> more = {}) {
  more.insert(more.begin(), {{{}, "+OK POP3 ready\r\n"}, {{"USER ann"}, "+OK\r\n"},
                             {{"PASS secret"}, "+OK logged in\r\n"}, {{"STAT"}, std::move(stat)}});
  return more;
}

// Connects, then `call`.
std::function<bool(Clients&)> Opened(std::function<bool(Pop3Client&)> call) {
  return [=](Clients& c) { return c.pop3.Connect() && call(c.pop3); };
}

// What a dialogue leaves for the caller: the message count and the text
// retrieved.
std::string CountAndText(Clients& c) {
  return std::to_string(c.pop3.message_count()) + "|" + c.pop3.retrieved_text();
}

std::vector<Dialogue> Cases() {
  const auto connect = [](Clients& c) { return c.pop3.Connect(); };
  const auto retrieve_1 = Opened([](Pop3Client& c) { return c.Retrieve(1); });
  return {
      {"LogInAndStat", 'P', LoggedIn("+OK 3 4096\r\n"), connect, true, "", "3|"},
      {"StatWithTabs", 'P', LoggedIn("+OK\t12\t4096\r\n"), connect, true, "", "12|"},
      // "-ERR" in any letter case is negative; anything else counts as positive.
      {"GreetingNegativeInSmallLetters", 'P', {{{}, "-err go away\r\n"}}, connect, false, "Bad connection", "0|"},
      // RFC 1939 section 4: an IMAP4 or SMTP server on the port greets otherwise.
      {"GreetingOtherThanOkFails", 'P', {{{}, "* OK IMAP4rev1 ready\r\n"}}, connect, false, "Bad connection", "0|"},
      {"ShortNegativeLookingLineIsPositive", 'P', LoggedIn("-ER 4 1\r\n"), connect, true, "", "4|"},
      {"StatRefused", 'P', LoggedIn("-ERR locked\r\n"), connect, false, "Error occured during STAT", "0|"},
      {"ListGivesTheSize", 'P', LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "+OK 2 1234\r\n"}}),
       Opened([](Pop3Client& c) {
         std::int32_t size = -1;
         return c.GetMessageSize(2, size) && size == 1234;
       }),
       true, "", "2|"},
      {"RetrUndoesDoubledPeriods", 'P',
       LoggedIn("+OK 1 40\r\n", {{{"RETR 1"}, "+OK 40 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\n.y\r\n.\r\n"}}),
       retrieve_1, true, "", "1|Subject: a\n\n.\n..x\ny\n"},
      {"RetrRefused", 'P', LoggedIn("+OK 1 40\r\n", {{{"RETR 1"}, "-ERR no such message\r\n"}}), retrieve_1, false,
       "Error occured during RETR", "1|"},
      // A status line longer than the reply buffer is cut; its rest is read
      // away, so the data after it starts where it should.
      {"OverlongStatusLineBeforeData", 'P',
       LoggedIn("+OK 1 5\r\n", {{{"RETR 1"}, "+OK " + std::string(400, 'z') + "\r\nbody\r\n.\r\n"}}), retrieve_1,
       true, "", "1|body\n"},
      {"ServerThatStopsInTheMiddleOfRetrTimesOut", 'P',
       LoggedIn("+OK 1 500\r\n", {{{"RETR 1"}, "+OK\r\nSubject: cut\r\n\r\nfirst"}}), retrieve_1, false, kTimedOut,
       "1|Subject: cut\n\n", 500},
      // A sign-in left unanswered says so, with the time-out and the number.
      {"SilentStatusLineTimesOut", 'P', {{{}, "+OK\r\n"}, {{"USER ann"}, ""}}, connect, false,
       FormatMessageText(kMsgSignInTimedOut, 300), "0|", 300},
      {"TopWithLineCount", 'P',
       LoggedIn("+OK 5 900\r\n", {{{"TOP 5 2"}, "+OK\r\nSubject: t\r\n\r\none\r\n..two\r\n.\r\n"}}),
       Opened([](Pop3Client& c) { return c.RetrieveTop(5, 2); }), true, "", "5|Subject: t\n\none\n.two\n"},
      {"DeleteAndResetKeepTheCount", 'P',
       LoggedIn("+OK 3 300\r\n", {{{"DELE 2"}, "+OK marked\r\n"}, {{"RSET"}, "+OK\r\n"}, {{"DELE 9"}, "-ERR no\r\n"}}),
       Opened([](Pop3Client& c) { return c.Delete(2) && c.Reset() && c.Delete(9); }), false,
       "Error occured during DELE", "3|"},
      // A server that has closed gets no command: the call fails at once. A
      // command right after a reply goes without looking first; it fails at
      // once all the same, not after the time-out.
      {"CommandAfterTheServerClosedIsNotSent", 'P', LoggedIn("+OK 1 5\r\n"), Opened([](Pop3Client& c) {
         return std::this_thread::sleep_for(std::chrono::milliseconds(200)), c.Retrieve(1);
       }),
       false, FormatMessageText(kMsgConnectionEnded, 10057), "1|", 2000, true},
      {"CommandRightAfterTheServerClosedFailsAtOnce", 'P', LoggedIn("+OK 1 5\r\n"), Opened([](Pop3Client& c) {
         return std::this_thread::sleep_for(std::chrono::milliseconds(20)), c.Retrieve(1);
       }),
       false, FormatMessageText(kMsgConnectionEnded, 10057), "1|", 60000, true},
      // UIDL: one message's identifier; the number of the message with an
      // identifier, 0 when no message has it (nothing is sent for one that
      // could break the command); a number the server does not know fails.
      {"UidlAskedAndFound", 'P',
       LoggedIn("+OK 3 300\r\n", {{{"UIDL 2"}, "+OK 2 00000002584a1b2c\r\n"}, {{"UIDL"}, kUidList}, {{"UIDL"}, kUidList},
                                  {{"UIDL 9"}, "-ERR no such message\r\n"}}),
       Opened([](Pop3Client& c) {
         std::string uid;
         std::int16_t found = -1, deleted = -1, hostile = -1;
         EXPECT_TRUE(c.GetMessageUid(2, uid) && c.FindMessageByUid("00000003584a1b2c", found) &&
                     c.FindMessageByUid("00000002584a1b2c", deleted) && c.FindMessageByUid("x\r\nDELE 1", hostile));
         EXPECT_EQ(uid + " " + std::to_string(found) + " " + std::to_string(deleted) + " " + std::to_string(hostile),
                   "00000002584a1b2c 3 0 0");
         return c.GetMessageUid(9, uid);
       }),
       false, "Error occurred during UIDL", "3|"},
      // Credentials that could end the command line are refused before
      // connecting (the forms: CallerText); the client stays usable.
      {"RefusedLogInLeavesTheClientUsable", 'P', LoggedIn("+OK 1 1\r\n"),
       [](Clients& c) {
         c.pop3.set_user("ann\r\nDELE 1");
         return !c.pop3.Connect() && (c.pop3.set_user("ann"), c.pop3.Connect());
       },
       true, "Bad User Name", "1|"},
  };
}

class Pop3Dialogues : public ::testing::TestWithParam<Dialogue> {};

TEST_P(Pop3Dialogues, SendExactlyTheScriptedLinesAndReadTheReplies) { testing::Play(GetParam(), CountAndText); }

INSTANTIATE_TEST_SUITE_P(Pop3Client, Pop3Dialogues, ::testing::ValuesIn(Cases()), testing::RowName);

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

// A retrieval is reported against the size the server announced, ends at
// that size, and stopped by the listener it ends the session without QUIT
// (so nothing marked deleted goes) and fails as cancelled.
TEST(Pop3Progress, RetrievalIsReportedAndCanBeStopped) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += "Line " + std::to_string(i) + " of a long message.\r\n";
  for (const std::size_t stop_at : {std::size_t{0}, std::size_t{2}}) {
    testing::FakeServer server;
    server.Send("+OK ready\r\n").ExpectLine("USER ann").Send("+OK\r\n").ExpectLine("PASS secret").Send("+OK\r\n");
    server.ExpectLine("STAT").Send("+OK 2 600000\r\n").ExpectLine("DELE 2").Send("+OK\r\n");
    server.ExpectLine("RETR 1").Send("+OK " + std::to_string(body.size()) + " octets\r\n");
    for (std::size_t at = 0; at < body.size(); at += 50000) server.Send(body.substr(at, 50000)).Pause(20);
    server.Send(".\r\n");
    if (!stop_at) server.ExpectLine("QUIT").Send("+OK bye\r\n");
    server.Start();
    testing::Clients clients;
    Pop3Client& pop3 = clients.pop3;
    clients.Aim('P', server.port());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    pop3.progress = [&](TransferKind kind, std::uint64_t done, std::uint64_t total) {
      EXPECT_EQ(kind, TransferKind::kRetrieve);
      reports.emplace_back(done, total);
      return reports.size() != stop_at;
    };
    ASSERT_TRUE(pop3.Connect()) << pop3.last_error();
    ASSERT_TRUE(pop3.Delete(2));
    if (stop_at) {
      EXPECT_FALSE(pop3.Retrieve(1));
      EXPECT_EQ(pop3.last_error(), "Cancelled by the caller");
      EXPECT_FALSE(pop3.connected());
      EXPECT_EQ(reports.size(), stop_at);
    } else {
      ASSERT_TRUE(pop3.Retrieve(1)) << pop3.last_error();
      EXPECT_EQ(pop3.Disconnect(), true);
      ASSERT_GE(reports.size(), 2u);
      EXPECT_EQ(reports.back(), std::make_pair(std::uint64_t{body.size()}, std::uint64_t{body.size()}));
    }
    for (const auto& [done, total] : reports) EXPECT_EQ(total, body.size());
    server.Finish();
    if (!stop_at) EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
    if (stop_at) EXPECT_EQ(server.ReceivedLines().back(), "RETR 1") << "no QUIT: the deletion is not applied";
  }
}

}  // namespace
}  // namespace vesk
