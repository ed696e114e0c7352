#include "engine/protocols/pop3_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/messages.h"
#include "support/sessions.h"

namespace vesk {
namespace {

using testing::Exchange;

constexpr char kTimedOut[] = "Socket error # 10060";
constexpr char kUidList[] = "+OK\r\n1 00000001584a1b2c\r\n3 00000003584a1b2c\r\n.\r\n";

// The log-in that opens most sessions below, with STAT answering `stat`.
std::vector<Exchange> LoggedIn(std::string stat, std::vector<Exchange> more = {}) {
  more.insert(more.begin(), {{{}, "+OK POP3 ready\r\n"}, {{"USER ann"}, "+OK\r\n"},
                             {{"PASS secret"}, "+OK logged in\r\n"}, {{"STAT"}, std::move(stat)}});
  return more;
}

// What a dialogue leaves behind that a caller can read.
struct Outcome {
  bool succeeded;
  std::string error;
  std::int16_t message_count = 0;
  std::int32_t size = 0;
  std::string text;
};

using Action = std::function<bool(Pop3Client&, Outcome&)>;

struct Pop3Case {
  const char* name;
  std::vector<Exchange> script;
  Action action;
  Outcome expected;
  int timeout_ms = 2000;
  bool close = false;  // the server closes after the script
};

std::vector<Pop3Case> Cases() {
  const Action connect = [](Pop3Client& c, Outcome&) { return c.Connect(); };
  const auto size_of = [](std::int16_t number) -> Action {
    return [=](Pop3Client& c, Outcome& o) { return o.size = -1, c.Connect() && c.GetMessageSize(number, o.size); };
  };
  const auto call = [](std::function<bool(Pop3Client&)> f) -> Action {
    return [=](Pop3Client& c, Outcome&) { return c.Connect() && f(c); };
  };
  const Action retrieve_1 = call([](Pop3Client& c) { return c.Retrieve(1); });
  return {
      {"LogInAndStat", LoggedIn("+OK 3 4096\r\n"), connect, {true, "", 3}},
      {"StatWithTabs", LoggedIn("+OK\t12\t4096\r\n"), connect, {true, "", 12}},
      // "-ERR" in any letter case is negative; anything else counts as positive.
      {"GreetingNegativeInSmallLetters", {{{}, "-err go away\r\n"}}, connect, {false, "Bad connection"}},
      // RFC 1939 section 4: an IMAP4 or SMTP server on the port greets otherwise.
      {"GreetingOtherThanOkFails", {{{}, "* OK IMAP4rev1 ready\r\n"}}, connect, {false, "Bad connection"}},
      {"ShortNegativeLookingLineIsPositive", LoggedIn("-ER 4 1\r\n"), connect, {true, "", 4}},
      {"StatRefused", LoggedIn("-ERR locked\r\n"), connect, {false, "Error occured during STAT"}},
      {"ListGivesTheSize", LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "+OK 2 1234\r\n"}}), size_of(2), {true, "", 2, 1234}},
      {"RetrUndoesDoubledPeriods",
       LoggedIn("+OK 1 40\r\n", {{{"RETR 1"}, "+OK 40 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\n.y\r\n.\r\n"}}),
       retrieve_1, {true, "", 1, 0, "Subject: a\n\n.\n..x\ny\n"}},
      {"RetrRefused", LoggedIn("+OK 1 40\r\n", {{{"RETR 1"}, "-ERR no such message\r\n"}}), retrieve_1,
       {false, "Error occured during RETR", 1}},
      // A status line longer than the reply buffer is cut; its rest is read
      // away, so the data after it starts where it should.
      {"OverlongStatusLineBeforeData",
       LoggedIn("+OK 1 5\r\n", {{{"RETR 1"}, "+OK " + std::string(400, 'z') + "\r\nbody\r\n.\r\n"}}), retrieve_1,
       {true, "", 1, 0, "body\n"}},
      {"ServerThatStopsInTheMiddleOfRetrTimesOut",
       LoggedIn("+OK 1 500\r\n", {{{"RETR 1"}, "+OK\r\nSubject: cut\r\n\r\nfirst"}}), retrieve_1,
       {false, kTimedOut, 1, 0, "Subject: cut\n\n"}, 500},
      {"SilentStatusLineTimesOut", {{{}, "+OK\r\n"}, {{"USER ann"}, ""}}, connect, {false, kTimedOut}, 300},
      {"TopWithLineCount",
       LoggedIn("+OK 5 900\r\n", {{{"TOP 5 2"}, "+OK\r\nSubject: t\r\n\r\none\r\n..two\r\n.\r\n"}}),
       call([](Pop3Client& c) { return c.RetrieveTop(5, 2); }), {true, "", 5, 0, "Subject: t\n\none\n.two\n"}},
      {"DeleteAndResetKeepTheCount",
       LoggedIn("+OK 3 300\r\n", {{{"DELE 2"}, "+OK marked\r\n"}, {{"RSET"}, "+OK\r\n"}, {{"DELE 9"}, "-ERR no\r\n"}}),
       call([](Pop3Client& c) { return c.Delete(2) && c.Reset() && c.Delete(9); }),
       {false, "Error occured during DELE", 3}},
      // A server that has closed gets no command: the call fails at once.
      {"CommandAfterTheServerClosedIsNotSent", LoggedIn("+OK 1 5\r\n"), call([](Pop3Client& c) {
         return std::this_thread::sleep_for(std::chrono::milliseconds(200)), c.Retrieve(1); }),
       {false, FormatMessageText(kMsgConnectionEnded, 10057), 1}, 2000, true},
      // UIDL: one message's identifier; the number of the message with an
      // identifier, 0 when no message has it (nothing is sent for one that
      // could break the command); a number the server does not know fails.
      {"UidlAskedAndFound",
       LoggedIn("+OK 3 300\r\n", {{{"UIDL 2"}, "+OK 2 00000002584a1b2c\r\n"}, {{"UIDL"}, kUidList}, {{"UIDL"}, kUidList},
                                  {{"UIDL 9"}, "-ERR no such message\r\n"}}),
       [](Pop3Client& c, Outcome&) {
         std::string uid;
         std::int16_t found = -1, deleted = -1, hostile = -1;
         EXPECT_TRUE(c.Connect() && c.GetMessageUid(2, uid) && c.FindMessageByUid("00000003584a1b2c", found) &&
                     c.FindMessageByUid("00000002584a1b2c", deleted) && c.FindMessageByUid("x\r\nDELE 1", hostile));
         EXPECT_EQ(uid + " " + std::to_string(found) + " " + std::to_string(deleted) + " " + std::to_string(hostile),
                   "00000002584a1b2c 3 0 0");
         return c.GetMessageUid(9, uid);
       },
       {false, "Error occurred during UIDL", 3}},
      // Credentials that could end the command line, or would not fit it, are
      // refused before connecting; the client stays usable.
      {"RefusedLogInLeavesTheClientUsable", LoggedIn("+OK 1 1\r\n"),
       [](Pop3Client& c, Outcome&) { return c.set_user("ann\r\nDELE 1"), !c.Connect() && (c.set_user("ann"), c.Connect()); },
       {true, "Bad User Name", 1}},
  };
}

class Pop3Dialogues : public ::testing::TestWithParam<Pop3Case> {};

TEST_P(Pop3Dialogues, SendExactlyTheScriptedLinesAndReadTheReplies) {
  const Pop3Case& c = GetParam();
  testing::ScriptedServer server(c.script);
  if (c.close) server.Close();
  server.Start();
  testing::Clients clients;
  Pop3Client& client = clients.pop3;
  clients.Aim('P', server.port(), c.timeout_ms);
  Outcome outcome;
  outcome.succeeded = c.action(client, outcome);
  EXPECT_EQ(outcome.succeeded, c.expected.succeeded);
  EXPECT_EQ(client.last_error(), c.expected.error);
  EXPECT_EQ(client.message_count(), c.expected.message_count);
  EXPECT_EQ(outcome.size, c.expected.size);
  EXPECT_EQ(client.retrieved_text(), c.expected.text);
  server.Check();
}

INSTANTIATE_TEST_SUITE_P(Pop3Client, Pop3Dialogues, ::testing::ValuesIn(Cases()), testing::RowName);

TEST(Pop3Client, CredentialsThatCouldBreakACommandAreRefusedBeforeConnecting) {
  const std::string cases[][3] = {{"ann\r\nDELE 1", "secret", "Bad User Name"},
                                  {std::string(253, 'u'), "secret", "Bad User Name"},
                                  {"ann", "secret\nDELE 1", "Bad Password"},
                                  {"a\n", "p\n", "Bad User Name"}};
  for (const auto& [user, password, error] : cases) {
    testing::FakeServer server;
    server.Send("+OK\r\n+OK\r\n+OK\r\n+OK 1 1\r\n").Start();
    testing::Clients clients;
    LineSession& client = clients.Aim('P', server.port());
    client.set_user(user), client.set_password(password);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.last_error(), error);
    server.Finish();
    EXPECT_FALSE(server.accepted()) << user;
  }
}

}  // namespace
}  // namespace vesk
