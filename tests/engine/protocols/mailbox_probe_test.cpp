#include "engine/protocols/mailbox_probe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/platform/sockets.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::Exchange;

// Exactly the commands of the probe, nothing after the last judged reply (no
// QUIT), and the verdict; nothing at all in syntax mode, for an address that
// fails the syntax check, or for a local part that could break a command.
TEST(MailboxProbe, SendsExactlyTheCommandsAndJudgesTheReplies) {
  char name[80];
  ASSERT_TRUE(sockets::LocalHostName(name, sizeof name));
  const std::string helo = std::string("HELO ") + name;
  const std::tuple<std::string, int, std::vector<Exchange>, bool> cases[] = {
      {"john@example.com", 1, {{{}, "220 mx\r\n"}, {{helo}, "250 hi\r\n"}, {{"VRFY john"}, "250 John <j@x>\r\n"}}, true},
      {"john@example.com", 1, {{{}, "220 mx\r\n"}, {{helo}, "250 hi\r\n"}, {{"VRFY john"}, "252 cannot verify\r\n"},
                               {{"RSET"}, "250 reset\r\n"}, {{"EXPN john"}, "550 no such list\r\n"}}, false},
      {"john@example.com", 1, {{{}, "220 mx\r\n"}, {{helo}, "250 hi\r\n"}, {{"VRFY john"}, "550 no\r\n"},
                               {{"RSET"}, "500 what\r\n"}, {{"EXPN john"}, "250 john@x\r\n"}}, true},
      {"john@example.com", 1, {{{}, "220-mx first\r\n220 mx last\r\n"}, {{helo}, "250-mx\r\n250 SIZE 1000\r\n"},
                               {{"VRFY john"}, "250 John <j@x>\r\n"}}, true},
      {"john@example.com", 0, {}, true},
      {"john2@example.com", 1, {}, false},
      {"john\r\nRCPT TO:<x@evil.example>", 1, {}, false}};
  for (const auto& [address, mode, script, valid] : cases) {
    testing::ScriptedServer server(script);
    server.Start();
    MailboxProbe probe;
    probe.set_host("127.0.0.1");
    probe.set_port(server.port());
    EXPECT_EQ(CheckMailAddress(address, mode, probe), valid) << address << " " << script.size();
    if (script.empty()) EXPECT_FALSE(probe.Probe("example.com", std::string("jo\0hn", 5)));
    server.Check();
    EXPECT_EQ(server.accepted(), !script.empty());
  }
  EXPECT_FALSE(MailboxProbe().Probe(testing::UnresolvableHostName(), "john"));
}

}  // namespace
}  // namespace vesk
