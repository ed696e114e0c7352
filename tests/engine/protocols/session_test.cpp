// The rules every session follows, whatever its protocol, as a table with a
// row per protocol: a failed connect, commands without a session, a server
// that greets in plain text where TLS was expected, one that goes away in the
// middle of a transfer (the end of a session and a server that never greets:
// the SecondConnect and NoGreeting cases of transcripts/*.txt; signing in and
// caller text refused: transcripts/signin.txt). The broken sessions also
// run in eight threads at once; tools/test.sh builds that test with
// ThreadSanitizer, so a data race in what the clients share fails it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/error_texts.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::Clients;
using testing::MillisecondsSince;

// A dialogue as one list: an entry that begins with "C: " is a line the
// client must send, any other is sent with CR LF after it. "{t}" stands for
// the IMAP4 client's tag prefix.
using Dialogue = std::vector<std::string>;

Dialogue Then(Dialogue a, const Dialogue& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

void Play(testing::FakeServer& server, const Dialogue& dialogue, const std::string& tag) {
  for (std::string entry : dialogue) {
    for (std::size_t at; (at = entry.find("{t}")) != std::string::npos;) entry.replace(at, 3, tag);
    if (entry.starts_with("C: ")) server.ExpectLine(entry.substr(3)); else server.Send(entry + "\r\n");
  }
}

// A protocol as the rules need it: its greeting, a command that needs a
// session, and a transfer that a server can break off ("gone": answered up
// to the middle of the data; "back": answered whole).
struct Protocol {
  const char* name;
  char protocol;
  std::string greeting;
  std::function<bool(Clients&)> command;
  Dialogue gone, back;
  std::function<bool(Clients&)> transfer;
};

const Dialogue kSmtpGone = {"220 hi", "C: HELO t", "250 hi", "C: MAIL From: <a@t>", "250 ok", "C: RCPT TO: <b@t>",
                            "250 ok", "C: DATA", "354 go"};
const Dialogue kPop3Opening = {"+OK", "C: USER u", "+OK", "C: PASS p", "+OK", "C: STAT", "+OK 1 30"};
Dialogue ImapFetch(int first, std::string fetched) {
  const auto tag = [first](int n) { return "{t}" + std::to_string(first + n); };
  return {"* OK hi", "C: " + tag(0) + " LOGIN u p", tag(0) + " OK", "C: " + tag(1) + " LIST \"\" \"\"", tag(1) + " OK",
          "C: " + tag(2) + " FETCH 1:1 RFC822", "* 1 FETCH (RFC822 {22}\r\n" + fetched};
}

const Protocol kProtocols[] = {
    {"Smtp", 'S', "220 mx.test ready\r\n",
     [](Clients& c) { return c.smtp.Send("a@t", {"b@t"}, "Subject: x\r\n\r\nx\r\n"); },
     kSmtpGone, Then(kSmtpGone, {"C: Subject: x", "C: ", "C: body", "C: .", "250 queued"}),
     [](Clients& c) { return c.smtp.Send("a@t", {"b@t"}, "Subject: x\r\n\r\nbody\r\n"); }},
    {"Pop3", 'P', "+OK ready\r\n", [](Clients& c) { return c.pop3.Retrieve(1); },
     Then(kPop3Opening, {"C: RETR 1", "+OK\r\nSubject: x"}),
     Then(kPop3Opening, {"C: RETR 1", "+OK\r\nSubject: x\r\n\r\nbody\r\n."}),
     [](Clients& c) { return c.pop3.Retrieve(1); }},
    {"Imap4", 'I', "* OK ready\r\n", [](Clients& c) { return c.imap.Expunge(); },
     ImapFetch(0, "Subject: x"), ImapFetch(4, "Subject: x\r\n\r\nbody\r\n)\r\n{t}6 OK"),
     [](Clients& c) { return c.imap.Retrieve(1); }},
};

class SessionRules : public ::testing::TestWithParam<Protocol> {
 protected:
  LineSession& Aim(std::uint16_t port, int timeout_ms, Security security = Security::kNone) {
    LineSession& session = clients_.Aim(GetParam().protocol, port, timeout_ms);
    session.security().mode = security;
    return session;
  }
  Clients clients_;
};

TEST_P(SessionRules, AFailedConnectNamesTheHostThePortAndTheReason) {
  const std::uint16_t port = testing::UnusedLoopbackPort();
  LineSession& c = Aim(port, 2000);
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.last_error(), FormatMessageText(kMsgCannotConnectTo, "127.0.0.1", static_cast<unsigned>(port),
                                              MessageText(kMsgConnectRefused).c_str(), 10061));
  c.set_host(testing::UnresolvableHostName()), c.set_port(25);
  EXPECT_FALSE(c.Connect());
  EXPECT_THAT(c.last_error(), HasSubstr(MessageText(kMsgHostNotFound)));
}

// Before Connect, and after a failed one, a command fails at once saying so,
// and Disconnect succeeds without sending anything: clean-up code may call it.
TEST_P(SessionRules, WithoutASessionCommandsFailAtOnceAndDisconnectDoesNothing) {
  LineSession& c = Aim(testing::UnusedLoopbackPort(), 5000);
  const auto start = std::chrono::steady_clock::now();
  for (bool connect_first : {false, true}) {
    if (connect_first) EXPECT_FALSE(c.Connect());
    EXPECT_FALSE(GetParam().command(clients_));
    EXPECT_EQ(c.last_error(), MessageText(kMsgNeverConnected));
    EXPECT_TRUE(c.Disconnect());
  }
  EXPECT_LT(MillisecondsSince(start), 1000);
}

// A plain greeting where a handshake was expected is recognised at once, not
// after the time-out: one sent at once, and one that comes only in answer to
// the client's hello (a server that waits for a line it can read).
TEST_P(SessionRules, APlainGreetingWhereTlsWasExpectedFailsAtOnce) {
  for (const int delay_ms : {0, 300}) {
    testing::FakeServer plain;
    plain.Pause(delay_ms).Send(GetParam().greeting).Pause(3000).Start();
    LineSession& c = Aim(plain.port(), 5000, Security::kImplicitTls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Connect());
    EXPECT_EQ(c.last_error(), MessageText(kMsgPlainWhereTlsExpected)) << delay_ms;
    EXPECT_LT(MillisecondsSince(start), 2000) << delay_ms;
    plain.Finish();
  }
}

// `gone` answers the log-in and the start of the transfer, then closes while
// the client waits for the rest: the transfer fails within the time-out
// (500 ms), the client is not connected, a second try fails at once saying
// so (an IMAP4 tag goes by), a second Connect while connected to `back`
// fails and leaves that session alone, and there the transfer succeeds.
void GoesAwayAndComesBack(const Protocol& p) {
  Clients clients;
  testing::FakeServer gone, back;
  Play(gone, p.gone, clients.imap.tag_prefix()), Play(back, p.back, clients.imap.tag_prefix());
  gone.Pause(300).Close().Start(), back.Start();
  LineSession& s = clients.Aim(p.protocol, gone.port(), 500);
  clients.smtp.set_helo_name("t");
  if (p.protocol != 'S') s.set_user("u"), s.set_password("p");
  ASSERT_TRUE(s.Connect()) << p.name << ": " << s.last_error();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.transfer(clients)) << p.name;
  EXPECT_LT(MillisecondsSince(start), 1200) << p.name;  // (a loaded machine is slow)
  EXPECT_THAT(s.last_error(), StartsWith("Socket error # 100")) << p.name;
  EXPECT_FALSE(s.connected() || p.transfer(clients)) << p.name;
  EXPECT_EQ(s.last_error(), FormatMessageText(kMsgConnectionEnded, 10057)) << p.name;
  s.set_port(back.port());
  EXPECT_TRUE(s.Connect() && !s.Connect() && s.connected() && p.transfer(clients))
      << p.name << ": " << s.last_error();
  back.Finish();
  EXPECT_THAT(back.Problems(), ::testing::IsEmpty()) << p.name;
}

TEST_P(SessionRules, ServerGoesAwayMidTransferAndComesBack) { GoesAwayAndComesBack(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Protocols, SessionRules, ::testing::ValuesIn(kProtocols), testing::RowName);

TEST(ParallelSessions, EightThreadsWithTheirOwnClients) {
  std::vector<std::thread> threads(8);
  for (std::thread& t : threads) {
    t = std::thread([] { for (const Protocol& p : kProtocols) GoesAwayAndComesBack(p); });
  }
  for (std::thread& t : threads) t.join();
}

// LastError's number: the message a failure's text was made from, the most
// specific one when several formats fit, the server's own words otherwise.
TEST(MessageIds, NameTheTextAFailureWasMadeFrom) {
  const std::pair<std::string, int> cases[] = {
      {"Server cannot be connected", kMsgCannotConnect},
      {"Socket error # 10060", kMsgSocketError},
      {"Invalid response on RCPT TO: command.", kMsgRcptRejected},
      {FormatMessageText(kMsgRecipientRefused, "bob@example.com", "550 5.1.1 no: such"), kMsgRecipientRefused},
      {FormatMessageText(kMsgSignInTimedOut, 5000), kMsgSignInTimedOut},
      {FormatMessageText(kMsgNoGreeting, 1000), kMsgNoGreeting},
      {"[TRYCREATE] Mailbox doesn't exist: Archive", kMsgServerWords},
      {"", 0},
  };
  for (const auto& [text, id] : cases) EXPECT_EQ(MessageIdOfText(text), id) << text;
}

}  // namespace
}  // namespace vesk
