#include "engine/protocols/pop3_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

constexpr char kCannotConnect[] = "Server cannot be connected";

using testing::MillisecondsSince;

void PointAt(Pop3Client& client, const FakeServer& server, int timeout_ms = 2000) {
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(server.port()));
  client.set_timeout_ms(timeout_ms);
  client.set_user("ann");
  client.set_password("secret");
}

// The log-in that opens most sessions below, with STAT answering `stat`.
std::vector<Exchange> LoggedIn(std::string stat, std::vector<Exchange> more = {}) {
  std::vector<Exchange> script = {{{}, "+OK POP3 ready\r\n"},
                                  {{"USER ann"}, "+OK\r\n"},
                                  {{"PASS secret"}, "+OK logged in\r\n"},
                                  {{"STAT"}, std::move(stat)}};
  script.insert(script.end(), more.begin(), more.end());
  return script;
}

// What a dialogue leaves behind that a caller can read.
struct Outcome {
  bool succeeded;
  std::string error;
  std::int16_t message_count = 0;
  std::int32_t size = 0;
  std::string text;
};

struct Pop3DialogueCase {
  const char* name;
  std::vector<Exchange> script;
  std::function<bool(Pop3Client&, Outcome&)> action;
  Outcome expected;
};

bool ConnectOnly(Pop3Client& client, Outcome&) { return client.Connect(); }

bool ConnectAndSize(Pop3Client& client, Outcome& outcome, std::int16_t number) {
  outcome.size = -1;
  return client.Connect() && client.GetMessageSize(number, outcome.size);
}

std::vector<Pop3DialogueCase> DialogueCases() {
  const auto size_of_2 = [](Pop3Client& c, Outcome& o) { return ConnectAndSize(c, o, 2); };
  const auto retrieve_1 = [](Pop3Client& c, Outcome&) { return c.Connect() && c.Retrieve(1); };
  return {
      {"LogInAndStat", LoggedIn("+OK 3 4096\r\n"), ConnectOnly, {true, "", 3}},
      {"StatWithTabs", LoggedIn("+OK\t12\t4096\r\n"), ConnectOnly, {true, "", 12}},
      {"StatWithoutNumbersLeavesTheCount", LoggedIn("+OK\r\n"), ConnectOnly, {true, "", 0}},
      {"StatCountBeyondDigits", LoggedIn("+OK 7messages\r\n"), ConnectOnly, {true, "", 7}},
      {"StatWithSpacesBeforeTheCount", LoggedIn("+OK    5 10\r\n"), ConnectOnly, {true, "", 5}},
      {"GreetingNegative", {{{}, "-ERR go away\r\n"}}, ConnectOnly, {false, "Bad connection"}},
      {"GreetingNegativeInSmallLetters", {{{}, "-err go away\r\n"}}, ConnectOnly,
       {false, "Bad connection"}},
      {"GreetingNegativeInMixedLetters", {{{}, "-ErR\r\n"}}, ConnectOnly,
       {false, "Bad connection"}},
      {"GreetingNeitherOkNorErrCountsAsPositive",
       {{{}, "* hello there\r\n"},
        {{"USER ann"}, "+OK\r\n"},
        {{"PASS secret"}, "+OK\r\n"},
        {{"STAT"}, "+OK 1 10\r\n"}},
       ConnectOnly, {true, "", 1}},
      {"ShortNegativeLookingLineIsPositive", LoggedIn("-ER 4 1\r\n"), ConnectOnly, {true, "", 4}},
      {"UserRefusedBeforePass", {{{}, "+OK\r\n"}, {{"USER ann"}, "-ERR unknown\r\n"}}, ConnectOnly,
       {false, "Bad User Name"}},
      {"PassRefused",
       {{{}, "+OK\r\n"}, {{"USER ann"}, "+OK\r\n"}, {{"PASS secret"}, "-ERR [AUTH] no\r\n"}},
       ConnectOnly, {false, "Bad Password"}},
      {"StatRefused", LoggedIn("-ERR locked\r\n"), ConnectOnly,
       {false, "Error occured during STAT"}},
      {"ListGivesTheSize", LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "+OK 2 1234\r\n"}}), size_of_2,
       {true, "", 2, 1234}},
      {"ListWithTabs", LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "+OK\t2\t77 octets\r\n"}}),
       size_of_2, {true, "", 2, 77}},
      {"ListWithOneBlankLeavesTheSize", LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "+OK 1234\r\n"}}),
       size_of_2, {true, "", 2, 0}},
      {"ListRefusedGivesZero",
       LoggedIn("+OK 2 300\r\n", {{{"LIST 2"}, "-ERR no such message\r\n"}}), size_of_2,
       {false, "Error occured during LIST", 2, 0}},
      {"NegativeNumbersAreSentWithTheirSign",
       LoggedIn("+OK 2 300\r\n", {{{"LIST -3"}, "-ERR no\r\n"}}),
       [](Pop3Client& c, Outcome& o) { return ConnectAndSize(c, o, -3); },
       {false, "Error occured during LIST", 2, 0}},
      {"RetrUndoesDoubledPeriods",
       LoggedIn("+OK 1 40\r\n",
                {{{"RETR 1"}, "+OK 40 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\n.y\r\n.\r\n"}}),
       retrieve_1, {true, "", 1, 0, "Subject: a\n\n.\n..x\ny\n"}},
      {"RetrOfAnEmptyMessage", LoggedIn("+OK 1 0\r\n", {{{"RETR 1"}, "+OK\r\n.\r\n"}}), retrieve_1,
       {true, "", 1, 0, ""}},
      {"RetrRefused", LoggedIn("+OK 1 40\r\n", {{{"RETR 1"}, "-ERR no such message\r\n"}}),
       retrieve_1, {false, "Error occured during RETR", 1}},
      {"TopWithoutLineCountAsksForZero",
       LoggedIn("+OK 5 900\r\n", {{{"TOP 5 0"}, "+OK\r\nSubject: t\r\n\r\n.\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.RetrieveTop(5); },
       {true, "", 5, 0, "Subject: t\n\n"}},
      {"TopWithLineCount",
       LoggedIn("+OK 5 900\r\n", {{{"TOP 5 2"}, "+OK\r\nSubject: t\r\n\r\none\r\n..two\r\n.\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.RetrieveTop(5, 2); },
       {true, "", 5, 0, "Subject: t\n\none\n.two\n"}},
      {"TopRefused", LoggedIn("+OK 5 900\r\n", {{{"TOP 5 1"}, "-ERR unsupported\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.RetrieveTop(5, 1); },
       {false, "Error occured during TOP", 5}},
      {"DeleteKeepsTheCount",
       LoggedIn("+OK 3 300\r\n", {{{"DELE 2"}, "+OK marked\r\n"}, {{"DELE 3"}, "+OK marked\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Delete(2) && c.Delete(3); },
       {true, "", 3}},
      {"DeleteRefused", LoggedIn("+OK 3 300\r\n", {{{"DELE 9"}, "-ERR no such message\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Delete(9); },
       {false, "Error occured during DELE", 3}},
      {"Reset", LoggedIn("+OK 3 300\r\n", {{{"DELE 1"}, "+OK\r\n"}, {{"RSET"}, "+OK\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Delete(1) && c.Reset(); },
       {true, "", 3}},
      {"ResetRefused", LoggedIn("+OK 3 300\r\n", {{{"RSET"}, "-ERR\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Reset(); },
       {false, "Error occured during RSET", 3}},
      {"Quit", LoggedIn("+OK 3 300\r\n", {{{"QUIT"}, "+OK bye\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Disconnect(); }, {true, "", 3}},
      {"QuitRefused", LoggedIn("+OK 3 300\r\n", {{{"QUIT"}, "-ERR some deleted messages not removed\r\n"}}),
       [](Pop3Client& c, Outcome&) { return c.Connect() && c.Disconnect(); },
       {false, "Error occured during QUIT", 3}},
      // A status line longer than the reply buffer is cut; its rest is read
      // away, so the data after it starts where it should.
      {"OverlongStatusLineBeforeData",
       LoggedIn("+OK 1 5\r\n", {{{"RETR 1"}, "+OK " + std::string(400, 'z') + "\r\nbody\r\n.\r\n"}}),
       retrieve_1, {true, "", 1, 0, "body\n"}},
  };
}

class Pop3Dialogues : public ::testing::TestWithParam<Pop3DialogueCase> {};

TEST_P(Pop3Dialogues, SendExactlyTheScriptedLinesAndReadTheReplies) {
  const Pop3DialogueCase& c = GetParam();
  FakeServer server;
  const std::vector<std::string> transcript = ScriptDialogue(server, c.script);
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  Outcome outcome;
  outcome.succeeded = c.action(client, outcome);
  EXPECT_EQ(outcome.succeeded, c.expected.succeeded);
  EXPECT_EQ(client.last_error(), c.expected.error);
  EXPECT_EQ(client.message_count(), c.expected.message_count);
  EXPECT_EQ(outcome.size, c.expected.size);
  EXPECT_EQ(client.retrieved_text(), c.expected.text);
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray(transcript));
}

INSTANTIATE_TEST_SUITE_P(Pop3Client, Pop3Dialogues, ::testing::ValuesIn(DialogueCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Pop3Client, DefaultsBeforeAnyChange) {
  Pop3Client client;
  EXPECT_EQ(client.host(), "localhost");
  EXPECT_EQ(client.port(), 110);
  EXPECT_EQ(client.timeout_ms(), 5000);
  EXPECT_EQ(client.message_count(), 0);
  EXPECT_EQ(client.last_size(), 0);
  EXPECT_EQ(client.user(), "");
  EXPECT_EQ(client.password(), "");
  EXPECT_EQ(client.retrieved_text(), "");
}

TEST(Pop3Client, SizeOfAnEarlierListStaysWhenALaterOneHasNone) {
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 2 300\r\n", {{{"LIST 1"}, "+OK 1 120\r\n"},
                                                     {{"LIST 2"}, "+OK\r\n"}}));
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  std::int32_t size = 0;
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.GetMessageSize(1, size));
  EXPECT_EQ(size, 120);
  EXPECT_TRUE(client.GetMessageSize(2, size));
  EXPECT_EQ(size, 120);
  EXPECT_EQ(client.last_size(), 120);
}

TEST(Pop3Client, LongMessageArrivesWholeOverSeveralPackets) {
  std::string expected;
  std::string wire = "+OK\r\n";
  for (int i = 0; i < 2000; ++i) {
    const std::string line = (i % 7 == 0 ? "." : "") + std::string(i % 90, static_cast<char>('a' + i % 26));
    expected += line + "\n";
    wire += (line.empty() || line[0] != '.' ? "" : ".") + line + "\r\n";
  }
  expected += std::string(3000, 'L') + "\n";
  wire += std::string(3000, 'L') + "\r\n.\r\n";
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 1 1\r\n", {{{"RETR 1"}, ""}}));
  for (std::size_t at = 0; at < wire.size(); at += 4000) server.Send(wire.substr(at, 4000)).Pause(5);
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Retrieve(1)) << client.last_error();
  EXPECT_EQ(client.retrieved_text(), expected);
}

TEST(Pop3Client, ServerThatStopsInTheMiddleOfRetrTimesOut) {
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 1 500\r\n", {{{"RETR 1"}, "+OK\r\nSubject: cut\r\n\r\nfirst"}}));
  server.Pause(3000);
  server.Start();
  Pop3Client client;
  PointAt(client, server, 500);
  ASSERT_TRUE(client.Connect());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Retrieve(1));
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
  EXPECT_GE(elapsed, 400);
  EXPECT_LE(elapsed, 2900);
}

TEST(Pop3Client, ServerThatClosesInTheMiddleOfTopTimesOut) {
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 1 500\r\n", {{{"TOP 1 3"}, "+OK\r\nSubject: cut\r\n"}}));
  server.Close();
  server.Start();
  Pop3Client client;
  PointAt(client, server, 300);
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.RetrieveTop(1, 3));
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
}

TEST(Pop3Client, SilentStatusLineTimesOut) {
  FakeServer server;
  server.Send("+OK\r\n").ExpectLine("USER ann").Pause(2500);
  server.Start();
  Pop3Client client;
  PointAt(client, server, 1000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Connect());
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(client.last_error(), "Socket error # 10060");
  EXPECT_GE(elapsed, 900);
  EXPECT_LE(elapsed, 2400);
}

TEST(Pop3Client, UnreachableServersCannotBeConnected) {
  for (const std::string& host : {std::string("127.0.0.1"), testing::UnresolvableHostName()}) {
    Pop3Client client;
    client.set_host(host);
    client.set_port(static_cast<std::int16_t>(testing::UnusedLoopbackPort()));
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(client.last_error(), kCannotConnect) << host;
    EXPECT_EQ(client.message_count(), 0);
  }
}

TEST(Pop3Client, ConnectAfterDisconnectFails) {
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 4 1000\r\n", {{{"QUIT"}, "+OK bye\r\n"}}));
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Disconnect());
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.last_error(), kCannotConnect);
  EXPECT_EQ(client.message_count(), 4);
  server.Finish();
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray({"USER ann", "PASS secret", "STAT", "QUIT"}));
}

TEST(Pop3Client, CommandsBeforeConnectFailWithASocketError) {
  Pop3Client client;
  client.set_timeout_ms(100);
  EXPECT_FALSE(client.Retrieve(1));
  EXPECT_THAT(client.last_error(), StartsWith("Socket error # "));
}

struct Pop3HostileCase {
  const char* name;
  std::string user;
  std::string password;
  std::string error;
};

std::vector<Pop3HostileCase> HostileCases() {
  return {
      {"UserWithCrLfCommand", "ann\r\nDELE 1", "secret", "Bad User Name"},
      {"UserWithLf", "ann\n", "secret", "Bad User Name"},
      {"UserWithCr", "a\rnn", "secret", "Bad User Name"},
      {"UserWithNul", std::string("ann\0x", 5), "secret", "Bad User Name"},
      // "USER " and CR LF leave 252 bytes of the 259.
      {"UserOneTooLong", std::string(253, 'u'), "secret", "Bad User Name"},
      {"PasswordWithCrLfCommand", "ann", "secret\r\nDELE 1", "Bad Password"},
      {"PasswordWithNul", "ann", std::string("se\0cret", 7), "Bad Password"},
      {"PasswordOneTooLong", "ann", std::string(253, 'p'), "Bad Password"},
      {"BadUserIsReportedBeforeBadPassword", "a\n", "p\n", "Bad User Name"},
  };
}

class Pop3HostileInputs : public ::testing::TestWithParam<Pop3HostileCase> {};

TEST_P(Pop3HostileInputs, AreRefusedBeforeConnecting) {
  const Pop3HostileCase& c = GetParam();
  FakeServer server;
  server.Send("+OK\r\n").Send("+OK\r\n").Send("+OK\r\n").Send("+OK 1 1\r\n");
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  client.set_user(c.user);
  client.set_password(c.password);
  EXPECT_FALSE(client.Connect());
  EXPECT_EQ(client.last_error(), c.error);
  server.Finish();
  EXPECT_FALSE(server.accepted());
  EXPECT_EQ(server.Received(), "");
}

INSTANTIATE_TEST_SUITE_P(Pop3Client, Pop3HostileInputs, ::testing::ValuesIn(HostileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Pop3Client, RefusedLogInLeavesTheClientUsable) {
  FakeServer server;
  ScriptDialogue(server, LoggedIn("+OK 1 1\r\n"));
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  client.set_user("ann\r\n");
  EXPECT_FALSE(client.Connect());
  client.set_user("ann");
  EXPECT_TRUE(client.Connect()) << client.last_error();
  EXPECT_EQ(client.message_count(), 1);
}

TEST(Pop3Client, LongestCredentialsThatFitAreSent) {
  const std::string user(252, 'u');
  const std::string password(252, 'p');
  FakeServer server;
  ScriptDialogue(server, {{{}, "+OK\r\n"},
                          {{"USER " + user}, "+OK\r\n"},
                          {{"PASS " + password}, "+OK\r\n"},
                          {{"STAT"}, "+OK 0 0\r\n"}});
  server.Start();
  Pop3Client client;
  PointAt(client, server);
  client.set_user(user);
  client.set_password(password);
  EXPECT_TRUE(client.Connect()) << client.last_error();
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
}

}  // namespace
}  // namespace vesk
