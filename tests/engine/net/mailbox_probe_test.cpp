#include "engine/net/mailbox_probe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "engine/platform/sockets.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::FakeServer;

std::string LocalHost() {
  char name[80];
  EXPECT_TRUE(sockets::LocalHostName(name, sizeof name));
  return name;
}

MailboxProbe ProbeOf(const FakeServer& server, int timeout_ms = 2000) {
  MailboxProbe probe;
  probe.set_host("127.0.0.1");
  probe.set_port(server.port());
  probe.set_timeout_ms(timeout_ms);
  return probe;
}

// One exchange of the dialogue: the line the client must send (none for the
// greeting) and the server's reply to it.
struct Exchange {
  std::string client_line;
  std::string reply;
};

struct DialogueCase {
  const char* name;
  std::vector<Exchange> script;
  bool known;
};

std::vector<DialogueCase> DialogueCases() {
  const std::string helo = "HELO " + LocalHost();
  return {
      {"VrfyConfirms",
       {{"", "220 mx ready\r\n"}, {helo, "250 hello\r\n"}, {"VRFY john", "250 John <john@x>\r\n"}},
       true},
      {"VrfyCannotTellAndExpnRefuses",
       {{"", "220 mx\r\n"}, {helo, "250 hi\r\n"}, {"VRFY john", "252 cannot verify\r\n"},
        {"RSET", "250 reset\r\n"}, {"EXPN john", "550 no such list\r\n"}},
       false},
      {"ExpnConfirmsAfterAnyRsetReply",
       {{"", "220 mx\r\n"}, {helo, "250 hi\r\n"}, {"VRFY john", "550 no\r\n"},
        {"RSET", "500 what\r\n"}, {"EXPN john", "250 john@x\r\n"}},
       true},
      {"GreetingNot220", {{"", "421 busy\r\n"}}, false},
      {"HeloRefused", {{"", "220 mx\r\n"}, {helo, "501 who are you\r\n"}}, false},
      {"MultiLineRepliesAreReadToTheirLastLine",
       {{"", "220-mx first\r\n220-mx second\r\n220 mx last\r\n"},
        {helo, "250-mx hello\r\n250 SIZE 1000\r\n"},
        {"VRFY john", "250 John <john@x>\r\n"}},
       true},
  };
}

class ProbeDialogues : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(ProbeDialogues, SendExactlyTheCommandsAndJudgeTheReplies) {
  const DialogueCase& c = GetParam();
  FakeServer server;
  std::vector<std::string> expected_lines;
  for (const Exchange& exchange : c.script) {
    if (!exchange.client_line.empty()) {
      server.ExpectLine(exchange.client_line);
      expected_lines.push_back(exchange.client_line);
    }
    server.Send(exchange.reply);
  }
  server.Start();
  EXPECT_EQ(ProbeOf(server).Probe("example.com", "john"), c.known);
  server.Finish();
  EXPECT_THAT(server.Problems(), IsEmpty());
  // No QUIT, nothing after the last judged reply.
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray(expected_lines));
}

INSTANTIATE_TEST_SUITE_P(MailboxProbe, ProbeDialogues, ::testing::ValuesIn(DialogueCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MailboxProbe, SilentServerGivesFalseAfterTheTimeOut) {
  FakeServer server;
  server.Send("220 mx\r\n");
  server.Start();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ProbeOf(server, 200).Probe("example.com", "john"));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST(MailboxProbe, DomainThatDoesNotResolveGivesFalse) {
  MailboxProbe probe;
  EXPECT_FALSE(probe.Probe(testing::UnresolvableHostName(), "john"));
}

TEST(MailboxProbe, ArgumentsThatCouldBreakACommandSendNothing) {
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"example.com", "john\r\nRCPT TO:<x@evil.example>"},
      {"example.com", "jo hn"},
      {"example.com", "john\n"},
      {"example.com", "jo\thn"},
      {"example.com", std::string("jo\0hn", 5)},
      {"example.com", std::string(80, 'j')},
      {"exam\rple.com", "john"},
      {"example.com ", "john"},
      {"", "john"},
  };
  for (const auto& [domain, local_part] : hostile) {
    FakeServer server;
    server.Send("220 mx\r\n").Send("250 ok\r\n").Send("250 ok\r\n");
    server.Start();
    EXPECT_FALSE(ProbeOf(server).Probe(domain, local_part));
    server.Finish();
    EXPECT_FALSE(server.accepted()) << local_part;
    EXPECT_EQ(server.Received(), "");
  }
}

TEST(MailboxProbe, CheckRunsTheProbeOnlyBeyondSyntaxMode) {
  FakeServer server;
  server.Send("220 mx\r\n").Send("250 hi\r\n").Send("250 yes\r\n");
  server.Start();
  MailboxProbe probe = ProbeOf(server);

  EXPECT_TRUE(CheckMailAddress("john@example.com", 0, probe));
  EXPECT_FALSE(CheckMailAddress("john2@example.com", 1, probe));
  EXPECT_FALSE(server.accepted());

  EXPECT_TRUE(CheckMailAddress("john@example.com", 1, probe));
  server.Finish();
  EXPECT_THAT(server.ReceivedLines(), ElementsAreArray({"HELO " + LocalHost(), std::string("VRFY john")}));
}

}  // namespace
}  // namespace vesk
