// The rules every session follows, whatever its protocol: what a failed
// connect says, commands without a session, Disconnect without one, a
// server that never greets, and a plain greeting where TLS was expected.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/messages.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::HasSubstr;

using testing::Exchange;

// One protocol client seen through what the rules need, with the exchanges
// that open its session and the one that ends it.
struct Client {
  std::function<void(const std::string&, std::uint16_t, int, Security)> aim;
  std::function<bool()> connect, command, disconnect;
  std::function<std::string()> error;
  std::vector<Exchange> opening, goodbye;
};

template <class C>
std::unique_ptr<Client> Wrap(std::shared_ptr<C> c, std::function<bool()> command, std::vector<Exchange> opening,
                             std::vector<Exchange> goodbye) {
  auto client = std::make_unique<Client>();
  client->aim = [c](const std::string& host, std::uint16_t port, int timeout, Security security) {
    c->set_host(host), c->set_port(port), c->set_timeout_ms(timeout), c->security().mode = security;
  };
  client->connect = [c] { return c->Connect(); };
  client->disconnect = [c] { return c->Disconnect(); };
  client->error = [c] { return c->last_error(); };
  client->command = std::move(command);
  client->opening = std::move(opening), client->goodbye = std::move(goodbye);
  return client;
}

std::unique_ptr<Client> MakeClient(char protocol) {
  if (protocol == 'S') {
    auto smtp = std::make_shared<SmtpClient>();
    smtp->set_helo_name("client.test");
    return Wrap(smtp, [smtp] { return smtp->Send("a@t", {"b@t"}, "Subject: x\r\n\r\nx\r\n"); },
                {{{}, "220 mx.test ready\r\n"}, {{"HELO client.test"}, "250 mx.test\r\n"}}, {{{"QUIT"}, "221 bye\r\n"}});
  }
  if (protocol == 'P') {
    auto pop3 = std::make_shared<Pop3Client>();
    pop3->set_user("ann"), pop3->set_password("secret");
    return Wrap(pop3, [pop3] { return pop3->Retrieve(1); },
                {{{}, "+OK ready\r\n"}, {{"USER ann"}, "+OK\r\n"}, {{"PASS secret"}, "+OK\r\n"}, {{"STAT"}, "+OK 4 1000\r\n"}},
                {{{"QUIT"}, "+OK bye\r\n"}});
  }
  auto imap = std::make_shared<ImapClient>();
  const std::string tag = imap->tag_prefix();
  return Wrap(imap, [imap] { return imap->Expunge(); },
              {{{}, "* OK ready\r\n"}, {{tag + "0 LOGIN user lemonade"}, tag + "0 OK\r\n"},
               {{tag + "1 LIST \"\" \"\""}, tag + "1 OK\r\n"}},
              {{{tag + "2 LOGOUT"}, "* BYE\r\n" + tag + "2 OK\r\n"}});
}

class SessionRules : public ::testing::TestWithParam<char> {};

TEST_P(SessionRules, AFailedConnectNamesTheHostThePortAndTheReason) {
  const std::unique_ptr<Client> c = MakeClient(GetParam());
  const std::uint16_t port = testing::UnusedLoopbackPort();
  c->aim("127.0.0.1", port, 2000, Security::kNone);
  EXPECT_FALSE(c->connect());
  EXPECT_EQ(c->error(), FormatMessageText(kMsgCannotConnectTo, "127.0.0.1", static_cast<unsigned>(port),
                                          MessageText(kMsgConnectRefused).c_str(), 10061));
  c->aim(testing::UnresolvableHostName(), 25, 2000, Security::kNone);
  EXPECT_FALSE(c->connect());
  EXPECT_THAT(c->error(), HasSubstr(MessageText(kMsgHostNotFound)));
}

// Before Connect, and after a failed one, a command fails at once saying so,
// and Disconnect succeeds without sending anything: clean-up code may call it.
TEST_P(SessionRules, WithoutASessionCommandsFailAtOnceAndDisconnectDoesNothing) {
  const std::unique_ptr<Client> c = MakeClient(GetParam());
  c->aim("127.0.0.1", testing::UnusedLoopbackPort(), 5000, Security::kNone);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->command());
  EXPECT_EQ(c->error(), MessageText(kMsgNeverConnected));
  EXPECT_TRUE(c->disconnect());
  EXPECT_FALSE(c->connect());
  EXPECT_TRUE(c->disconnect());
  EXPECT_FALSE(c->command());
  EXPECT_EQ(c->error(), MessageText(kMsgNeverConnected));
  EXPECT_LT(testing::MillisecondsSince(start), 1000);
}

// A second Connect while connected fails and leaves the session alone;
// Disconnect says goodbye once, and then the client says it is not connected.
TEST_P(SessionRules, ASecondConnectFailsAndDisconnectEndsTheSession) {
  const std::unique_ptr<Client> c = MakeClient(GetParam());
  std::vector<Exchange> script = c->opening;
  script.insert(script.end(), c->goodbye.begin(), c->goodbye.end());
  testing::FakeServer server;
  const std::vector<std::string> transcript = testing::ScriptDialogue(server, script);
  server.Start();
  c->aim("127.0.0.1", server.port(), 2000, Security::kNone);
  ASSERT_TRUE(c->connect()) << c->error();
  EXPECT_FALSE(c->connect());
  EXPECT_EQ(c->error(), MessageText(kMsgCannotConnect));
  EXPECT_TRUE(c->disconnect()) << c->error();
  EXPECT_FALSE(c->command());
  EXPECT_EQ(c->error(), FormatMessageText(kMsgConnectionEnded, 10057));
  EXPECT_TRUE(c->disconnect());
  server.Finish();
  EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ::testing::ElementsAreArray(transcript));
}

// A port that expects TLS from the first byte stays silent for a plain client.
TEST_P(SessionRules, NoGreetingWithinTheTimeOutPointsToImplicitTls) {
  testing::FakeServer server;
  server.Pause(1500).Start();
  const std::unique_ptr<Client> c = MakeClient(GetParam());
  c->aim("127.0.0.1", server.port(), 300, Security::kNone);
  EXPECT_FALSE(c->connect());
  EXPECT_EQ(c->error(), FormatMessageText(kMsgNoGreeting, 300));
  server.Finish();
}

// The other way round: a plain greeting where a handshake was expected is
// recognised at once, not after the time-out.
TEST_P(SessionRules, PlainGreetingWhereTlsWasExpectedFailsAtOnce) {
  const std::unique_ptr<Client> c = MakeClient(GetParam());
  testing::FakeServer server;
  server.Send(c->opening.front().reply).Pause(3000).Start();
  c->aim("127.0.0.1", server.port(), 5000, Security::kImplicitTls);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->connect());
  EXPECT_EQ(c->error(), MessageText(kMsgPlainWhereTlsExpected));
  EXPECT_LT(testing::MillisecondsSince(start), 2000);
  server.Finish();
}

INSTANTIATE_TEST_SUITE_P(Protocols, SessionRules, ::testing::Values('S', 'P', 'I'), [](const auto& info) {
  return std::string(info.param == 'S' ? "Smtp" : info.param == 'P' ? "Pop3" : "Imap4");
});

// A submission port keeps AUTH back until STARTTLS: the sign-in says what to set.
TEST(SessionRules, SmtpAuthOfferedOnlyAfterStartTlsSaysSo) {
  testing::FakeServer server;
  testing::ScriptDialogue(server, {{{}, "220 mx.test\r\n"},
                                   {{"EHLO c.test"}, "250-mx.test\r\n250-STARTTLS\r\n250 8BITMIME\r\n"}});
  server.Start();
  SmtpClient smtp;
  smtp.set_host("127.0.0.1"), smtp.set_port(static_cast<std::int16_t>(server.port())), smtp.set_helo_name("c.test");
  smtp.credentials().SetUser("ann"), smtp.credentials().SetPassword("secret");
  EXPECT_FALSE(smtp.Connect());
  EXPECT_EQ(smtp.last_error(), MessageText(kMsgAuthOnlyAfterStartTls));
  server.Finish();
  EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace vesk
