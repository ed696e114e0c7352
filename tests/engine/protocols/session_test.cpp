// The rules every session follows, whatever its protocol, as tables with a
// row per protocol: a failed connect, commands without a session, the end
// of a session, a server that never greets or greets in plain text where TLS
// was expected, one that goes away in the middle of a transfer, and signing
// in. The broken sessions also run in eight threads at once; tools/test.sh
// builds that test with ThreadSanitizer, so a data race in what the clients
// share fails it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/error_texts.h"
#include "engine/platform/files.h"
#include "engine/protocols/sign_in.h"
#include "support/fake_server.h"
#include "support/test_streams.h"

namespace vesk {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::Clients;
using testing::Exchange;
using testing::MillisecondsSince;
using testing::ScriptedServer;
using testing::Then;

// A protocol as the rules need it: the exchanges that open its session and
// the one that ends it, a command that needs a session, and a transfer that
// a server can break off ("gone": answered up to the middle of the data;
// "back": answered whole).
struct Protocol {
  const char* name;
  char protocol;
  std::vector<Exchange> opening, goodbye;
  std::function<bool(Clients&)> command;
  std::vector<Exchange> gone, back;
  std::function<bool(Clients&)> transfer;
};

const std::vector<Exchange> kSmtpGone = {{{}, "220 hi\r\n"}, {{"HELO t"}, "250 hi\r\n"},
                                         {{"MAIL From: <a@t>"}, "250 ok\r\n"}, {{"RCPT TO: <b@t>"}, "250 ok\r\n"},
                                         {{"DATA"}, "354 go\r\n"}};
const std::vector<Exchange> kPop3Opening = {{{}, "+OK\r\n"}, {{"USER u"}, "+OK\r\n"}, {{"PASS p"}, "+OK\r\n"},
                                            {{"STAT"}, "+OK 1 30\r\n"}};
std::vector<Exchange> ImapFetch(int first, std::string fetched) {
  const auto tag = [](int n) { return "{t}" + std::to_string(n); };
  return {{{}, "* OK hi\r\n"},
          {{tag(first) + " LOGIN u p"}, tag(first) + " OK\r\n"},
          {{tag(first + 1) + " LIST \"\" \"\""}, tag(first + 1) + " OK\r\n"},
          {{tag(first + 2) + " FETCH 1:1 RFC822"}, "* 1 FETCH (RFC822 {22}\r\n" + fetched}};
}

const Protocol kProtocols[] = {
    {"Smtp", 'S', {{{}, "220 mx.test ready\r\n"}, {{"HELO client.test"}, "250 mx.test\r\n"}},
     {{{"QUIT"}, "221 bye\r\n"}},
     [](Clients& c) { return c.smtp.Send("a@t", {"b@t"}, "Subject: x\r\n\r\nx\r\n"); },
     kSmtpGone, Then(kSmtpGone, {{{"Subject: x", "", "body", "."}, "250 queued\r\n"}}),
     [](Clients& c) { return c.smtp.Send("a@t", {"b@t"}, "Subject: x\r\n\r\nbody\r\n"); }},
    {"Pop3", 'P',
     {{{}, "+OK ready\r\n"}, {{"USER ann"}, "+OK\r\n"}, {{"PASS secret"}, "+OK\r\n"},
      {{"STAT"}, "+OK 4 1000\r\n"}},
     {{{"QUIT"}, "+OK bye\r\n"}}, [](Clients& c) { return c.pop3.Retrieve(1); },
     Then(kPop3Opening, {{{"RETR 1"}, "+OK\r\nSubject: x\r\n"}}),
     Then(kPop3Opening, {{{"RETR 1"}, "+OK\r\nSubject: x\r\n\r\nbody\r\n.\r\n"}}),
     [](Clients& c) { return c.pop3.Retrieve(1); }},
    {"Imap4", 'I',
     {{{}, "* OK ready\r\n"}, {{"{t}0 LOGIN user lemonade"}, "{t}0 OK\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "{t}1 OK\r\n"}},
     {{{"{t}2 LOGOUT"}, "* BYE\r\n{t}2 OK\r\n"}}, [](Clients& c) { return c.imap.Expunge(); },
     ImapFetch(0, "Subject: x\r\n"), ImapFetch(4, "Subject: x\r\n\r\nbody\r\n)\r\n{t}6 OK\r\n"),
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

// A second Connect while connected fails and leaves the session alone;
// Disconnect says goodbye once, and then the client says it is not connected.
TEST_P(SessionRules, ASecondConnectFailsAndDisconnectEndsTheSession) {
  ScriptedServer server(Then(GetParam().opening, GetParam().goodbye), clients_.imap.tag_prefix());
  server.Start();
  LineSession& c = Aim(server.port(), 2000);
  ASSERT_TRUE(c.Connect()) << c.last_error();
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.last_error(), MessageText(kMsgCannotConnect));
  EXPECT_TRUE(c.Disconnect()) << c.last_error();
  EXPECT_FALSE(GetParam().command(clients_));
  EXPECT_EQ(c.last_error(), FormatMessageText(kMsgConnectionEnded, 10057));
  EXPECT_TRUE(c.Disconnect());
  server.Check();
}

// A port that expects TLS from the first byte stays silent for a plain client;
// the other way round, a plain greeting where a handshake was expected is
// recognised at once, not after the time-out.
TEST_P(SessionRules, NoGreetingPointsToImplicitTlsAndAPlainOneFailsTlsAtOnce) {
  testing::FakeServer silent, plain;
  silent.Pause(1500).Start();
  LineSession& c = Aim(silent.port(), 300);
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.last_error(), FormatMessageText(kMsgNoGreeting, 300));
  silent.Finish();
  plain.Send(GetParam().opening.front().reply).Pause(3000).Start();
  Aim(plain.port(), 5000, Security::kImplicitTls);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.Connect());
  EXPECT_EQ(c.last_error(), MessageText(kMsgPlainWhereTlsExpected));
  EXPECT_LT(MillisecondsSince(start), 2000);
  plain.Finish();
}

// `gone` answers the log-in and the start of the transfer, then closes while
// the client waits for the rest: the transfer fails within the time-out
// (500 ms), the client is not connected, a second try fails at once saying
// so (an IMAP4 tag goes by), a second Connect while connected to `back`
// fails and leaves that session alone, and there the transfer succeeds.
void GoesAwayAndComesBack(const Protocol& p) {
  Clients clients;
  ScriptedServer gone(p.gone, clients.imap.tag_prefix()), back(p.back, clients.imap.tag_prefix());
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

// Caller text that could break a command line, or would not fit it, is
// refused before connecting: a server that would take the whole session
// never sees a connection. (SMTP's `user` is its HELO name.)
struct CallerTextCase {
  const char* name;
  char protocol;
  std::string user, password, error;
};

std::vector<CallerTextCase> CallerTexts() {
  return {{"Pop3UserWithCrLf", 'P', "ann\r\nDELE 1", "secret", "Bad User Name"},
          {"Pop3UserTooLong", 'P', std::string(253, 'u'), "secret", "Bad User Name"},
          {"Pop3PasswordWithLf", 'P', "ann", "secret\nDELE 1", "Bad Password"},
          {"Pop3BothBadNamesTheUser", 'P', "a\n", "p\n", "Bad User Name"},
          {"ImapPasswordWithCrLf", 'I', "user", "secret\r\nX DELETE INBOX", MessageText(kMsgLineBreakInCommand)},
          {"SmtpHeloNameWithCrLf", 'S', "me\r\nMAIL From: <x>", "", "Invalid response on HELO command."}};
}

class CallerText : public ::testing::TestWithParam<CallerTextCase> {};

TEST_P(CallerText, IsRefusedBeforeConnecting) {
  const CallerTextCase& c = GetParam();
  Clients clients;
  testing::FakeServer server;
  for (const Protocol& p : kProtocols) {
    for (const Exchange& e : p.protocol == c.protocol ? p.opening : std::vector<Exchange>()) {
      server.Send(testing::Tagged(e.reply, clients.imap.tag_prefix()));
    }
  }
  server.Start();
  LineSession& session = clients.Aim(c.protocol, server.port());
  c.protocol == 'S' ? clients.smtp.set_helo_name(c.user) : session.set_user(c.user);
  session.set_password(c.password);
  EXPECT_FALSE(session.Connect());
  EXPECT_EQ(session.last_error(), c.error);
  server.Finish();
  EXPECT_FALSE(server.accepted());
}

INSTANTIATE_TEST_SUITE_P(Protocols, CallerText, ::testing::ValuesIn(CallerTexts()), testing::RowName);

TEST(ParallelSessions, EightThreadsWithTheirOwnClients) {
  std::vector<std::thread> threads(8);
  for (std::thread& t : threads) {
    t = std::thread([] { for (const Protocol& p : kProtocols) GoesAwayAndComesBack(p); });
  }
  for (std::thread& t : threads) t.join();
}

// A server that answers up to DATA and then never reads: a message larger
// than every buffer on the way costs the time-out, not forever.
TEST(BrokenSession, FrozenServerCostsTheTimeOutOnWrites) {
  testing::FakeServer frozen;
  frozen.Send("220 hi\r\n250 hi\r\n250 ok\r\n250 ok\r\n354 go\r\n").Stall(4000).Close().Start();
  Clients clients;
  LineSession& c = clients.Aim('S', frozen.port(), 500);
  const std::string big = "Subject: big\r\n\r\n" + std::string(8 << 20, 'x');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.Connect() && clients.smtp.Send("a@t", {"b@t"}, big));
  EXPECT_LT(MillisecondsSince(start), 2500);
  EXPECT_EQ(c.last_error(), "Socket error # 10060");
  EXPECT_FALSE(c.connected());
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

// Signing in: the exact lines sent, the outcome, the last reply kept, and a
// trace that names every line sent but holds no secret.
using M = AuthMethod;

constexpr char kPlain[] = "AGFubgBzZWNyZXQ=";                          // \0ann\0secret
constexpr char kXOAuth2[] = "dXNlcj1hbm4BYXV0aD1CZWFyZXIgdG9rM24BAQ==";  // user=ann^Aauth=Bearer tok3n^A^A
// n,a=ann,^Aauth=Bearer tok3n^A^A
constexpr char kOAuthBearer[] = "bixhPWFubiwBYXV0aD1CZWFyZXIgdG9rM24BAQ==";
constexpr char kEhloAuthReply[] = "250-mx.test\r\n250-AUTH LOGIN PLAIN XOAUTH2\r\n250 8BITMIME";
const std::string kEhloAuth = kEhloAuthReply + std::string("\r\n");
const std::string kLongPlain = [] {
  std::string plain = "AGFubgBw";  // \0ann\0 and 200 times "p"
  for (int i = 0; i < 66; ++i) plain += "cHBw";
  return plain + "cA==";
}();
const std::string kAuthPlain = std::string("AUTH PLAIN ") + kPlain;
const std::string kAuthXOAuth2 = std::string("AUTH XOAUTH2 ") + kXOAuth2;
constexpr char kCapa[] = "+OK\r\nUSER\r\nSASL PLAIN XOAUTH2\r\n.\r\n";

struct SignInCase {
  const char* name;
  char protocol;
  M method;
  std::string password, token;
  std::vector<Exchange> script;
  std::string error;  // empty: Connect succeeds
  std::string reply;  // the last reply kept afterwards
};

// The greeting and EHLO, answered `ehlo_reply`, then `more`.
std::vector<Exchange> Smtp(std::string ehlo_reply, std::vector<Exchange> more = {}) {
  return Then({{{}, "220 mx.test\r\n"}, {{"EHLO c.test"}, ehlo_reply}}, more);
}
// The same for a sign-in that fails while the server still answers: the
// client says QUIT before it closes.
std::vector<Exchange> SmtpRefused(std::string ehlo_reply, std::vector<Exchange> more = {}) {
  return Then(Smtp(std::move(ehlo_reply), std::move(more)), {{{"QUIT"}, "221 bye\r\n"}});
}
// A token of the size large providers issue: its XOAUTH2 response makes the
// AUTH line far longer than SMTP's 512 octets.
const std::string kLongToken(1400, 't');
const std::string kLongXOAuth2 = Base64Text("user=ann\x01" "auth=Bearer " + kLongToken + "\x01\x01");
// One whose AUTHENTICATE line would pass IMAP's 8192 octets.
const std::string kHugeToken(7000, 't');
const std::string kHugeXOAuth2 = Base64Text("user=ann\x01" "auth=Bearer " + kHugeToken + "\x01\x01");

const SignInCase kSignIns[] = {
    {"SmtpAutomaticTakesPlain", 'S', M::kAutomatic, "secret", "",
     Smtp(kEhloAuth, {{{kAuthPlain}, "235 2.7.0 ok\r\n"}}), "", "235 2.7.0 ok"},
    {"SmtpRefusedWithReason", 'S', M::kAutomatic, "secret", "",
     SmtpRefused(kEhloAuth, {{{kAuthPlain}, "535 5.7.8 bad credentials\r\n"}}), "Authentication failed",
     "535 5.7.8 bad credentials"},
    {"SmtpAuthNotOffered", 'S', M::kAutomatic, "secret", "", SmtpRefused("250-mx.test\r\n250 SIZE 100\r\n"),
     "Server does not offer authentication", "250-mx.test\r\n250 SIZE 100"},
    // A submission port keeps AUTH back until STARTTLS: the sign-in says what to set.
    {"SmtpAuthOfferedOnlyAfterStartTls", 'S', M::kAutomatic, "secret", "",
     SmtpRefused("250-mx.test\r\n250-STARTTLS\r\n250 8BITMIME\r\n"), MessageText(kMsgAuthOnlyAfterStartTls),
     "250-mx.test\r\n250-STARTTLS\r\n250 8BITMIME"},
    {"SmtpNamedMethodNotOffered", 'S', M::kPlain, "secret", "", SmtpRefused("250-mx.test\r\n250 AUTH=LOGIN\r\n"),
     "Server does not offer the PLAIN authentication method", "250-mx.test\r\n250 AUTH=LOGIN"},
    {"SmtpLoginAnswersEachChallenge", 'S', M::kLogin, "secret", "",
     Smtp(kEhloAuth, {{{"AUTH LOGIN"}, "334 VXNlcm5hbWU6\r\n"}, {{"YW5u"}, "334 UGFzc3dvcmQ6\r\n"},
                      {{"c2VjcmV0"}, "235 2.7.0 ok\r\n"}}), "", "235 2.7.0 ok"},
    {"SmtpEhloRefusedThenHelo", 'S', M::kAutomatic, "secret", "",
     SmtpRefused("502 5.5.1 unknown\r\n", {{{"HELO c.test"}, "250 mx.test\r\n"}}), "Server does not offer authentication",
     "250 mx.test"},
    {"SmtpXOAuth2ExactPayload", 'S', M::kAutomatic, "", "tok3n",
     Smtp(kEhloAuth, {{{kAuthXOAuth2}, "235 ok\r\n"}}), "", "235 ok"},
    {"SmtpLongTokenWaitsForTheGoAhead", 'S', M::kAutomatic, "", kLongToken,
     Smtp(kEhloAuth, {{{"AUTH XOAUTH2"}, "334 \r\n"}, {{kLongXOAuth2}, "235 ok\r\n"}}), "", "235 ok"},
    // The challenge carries the server's error; the empty line lets it finish.
    {"SmtpXOAuth2Refused", 'S', M::kXOAuth2, "", "tok3n",
     SmtpRefused(kEhloAuth,
          {{{kAuthXOAuth2}, "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"}, {{""}, "535 5.7.8 token expired\r\n"}}),
     "Authentication failed", "535 5.7.8 token expired"},
    // With the choice left open, a server that lists only OAUTHBEARER gets it;
    // its error challenge is answered with ^A (RFC 7628 section 3.2.3).
    {"SmtpOAuthBearerWhereOnlyItIsListed", 'S', M::kAutomatic, "", "tok3n",
     SmtpRefused("250-mx.test\r\n250 AUTH PLAIN OAUTHBEARER\r\n",
          {{{std::string("AUTH OAUTHBEARER ") + kOAuthBearer}, "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
           {{"AQ=="}, "535 5.7.8 token expired\r\n"}}),
     "Authentication failed", "535 5.7.8 token expired"},
    {"SmtpOAuthBearerAsked", 'S', M::kOAuthBearer, "", "tok3n", SmtpRefused(kEhloAuth),
     "Server does not offer the OAUTHBEARER authentication method", kEhloAuthReply},
    {"SmtpTokenWithLineBreak", 'S', M::kAutomatic, "", "tok\r\nQUIT", {},
     "User name, password and access token must not contain CR, LF or NUL characters", ""},
    {"Pop3XOAuth2AfterCapa", 'P', M::kAutomatic, "", "tok3n",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, kCapa}, {{kAuthXOAuth2}, "+OK in\r\n"}, {{"STAT"}, "+OK 2 10\r\n"}}, "",
     "+OK 2 10"},
    {"Pop3OAuthBearerAfterCapa", 'P', M::kAutomatic, "", "tok3n",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, "+OK\r\nUSER\r\nSASL PLAIN OAUTHBEARER\r\n.\r\n"},
      {{std::string("AUTH OAUTHBEARER ") + kOAuthBearer}, "+OK in\r\n"}, {{"STAT"}, "+OK 2 10\r\n"}}, "", "+OK 2 10"},
    {"Pop3WithoutCapaIsAskedAllTheSame", 'P', M::kPlain, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, "-ERR unknown command\r\n"}, {{kAuthPlain}, "+OK in\r\n"},
      {{"STAT"}, "+OK 0 0\r\n"}}, "", "+OK 0 0"},
    {"Pop3RefusedUserFallsBackToPlain", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"USER ann"}, "-ERR use AUTH\r\n"}, {{kAuthPlain}, "+OK in\r\n"},
      {{"STAT"}, "+OK 0 0\r\n"}}, "", "+OK 0 0"},
    // When the fallback fails too, USER's failure is the one reported.
    {"Pop3UserAndPlainRefused", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK\r\n"}, {{"USER ann"}, "-ERR unknown\r\n"}, {{"AUTH PLAIN AGFubgBzZWNyZXQ="}, "-ERR no\r\n"}},
     "Bad User Name", "-ERR no"},
    // A server that takes no password without TLS: its reason and the setting.
    {"Pop3PlaintextDisabledSaysWhatToSet", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK\r\n"}, {{"USER ann"}, "-ERR [AUTH] Plaintext authentication disabled.\r\n"},
      {{"AUTH PLAIN AGFubgBzZWNyZXQ="}, "-ERR [AUTH] Plaintext authentication disabled.\r\n"}},
     FormatMessageText(kMsgPlainSignInRefused, "[AUTH] Plaintext authentication disabled."),
     "-ERR [AUTH] Plaintext authentication disabled."},
    {"Pop3PlainRefused", 'P', M::kPlain, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, kCapa}, {{kAuthPlain}, "-ERR [AUTH] invalid\r\n"}}, "Authentication failed",
     "-ERR [AUTH] invalid"},
    {"Pop3PassIsHiddenInTheTrace", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"USER ann"}, "+OK\r\n"}, {{"PASS secret"}, "-ERR [AUTH] no\r\n"}}, "Bad Password",
     "-ERR [AUTH] no"},
    // An initial response too long for the command line waits for the
    // server's go-ahead.
    {"Pop3PlainTooLongForTheLineWaitsForTheGoAhead", 'P', M::kPlain, std::string(200, 'p'), "",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, kCapa}, {{"AUTH PLAIN"}, "+ \r\n"}, {{kLongPlain}, "+OK in\r\n"},
      {{"STAT"}, "+OK 0 0\r\n"}}, "", "+OK 0 0"},
    // A challenge beyond the prepared responses is cancelled with "*".
    {"SmtpChallengeBeyondTheResponsesIsCancelled", 'S', M::kPlain, "secret", "",
     SmtpRefused(kEhloAuth, {{{kAuthPlain}, "334 \r\n"}, {{"*"}, "501 5.7.0 cancelled\r\n"}}), "Authentication failed",
     "501 5.7.0 cancelled"},
    {"SmtpLoginCutOffInTheExchange", 'S', M::kLogin, "secret", "",
     Smtp(kEhloAuth, {{{"AUTH LOGIN"}, "334 VXNlcm5hbWU6\r\n"}, {{"YW5u"}, ""}}),
     FormatMessageText(kMsgSignInTimedOut, 5000), ""},
    {"SmtpPlainWithoutAPasswordIsNamed", 'S', M::kPlain, "", "", SmtpRefused(kEhloAuth),
     "Signing in with PLAIN needs a user name and a password", kEhloAuthReply},
    {"ImapOneChallengeMoreThanTheRoundsFailsUnanswered", 'I', M::kPlain, "secret", "",
     {{{}, "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n"}, {{"{t}0 AUTHENTICATE PLAIN"}, "+ \r\n"},
      {{kPlain}, "+ \r\n"}, {{"*"}, "+ \r\n"}}, "Authentication failed", ""},
    {"ImapLoginDisabledSendsNoLogin", 'I', M::kAutomatic, "secret", "",
     {{{}, "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\r\n"}},
     "Server has disabled LOGIN on this connection (LOGINDISABLED); sign in over TLS", ""},
    {"ImapLoginDisabledTakesPlainWithInitialResponse", 'I', M::kAutomatic, "secret", "",
     {{{}, "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED SASL-IR AUTH=PLAIN] hi\r\n"},
      {{std::string("{t}0 AUTHENTICATE PLAIN ") + kPlain}, "{t}0 OK in\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "* LIST () \".\" \"\"\r\n{t}1 OK done\r\n"}}, "", "{t}1 OK done"},
    {"ImapXOAuth2WithoutSaslIrWaitsForTheGoAhead", 'I', M::kAutomatic, "", "tok3n",
     {{{}, "* OK hi\r\n"}, {{"{t}0 CAPABILITY"}, "* CAPABILITY IMAP4rev1 AUTH=XOAUTH2\r\n{t}0 OK done\r\n"},
      {{"{t}1 AUTHENTICATE XOAUTH2"}, "+ \r\n"}, {{kXOAuth2}, "+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
      {{""}, "{t}1 NO [AUTHENTICATIONFAILED] bad token\r\n"}},
     "Authentication failed", "{t}1 NO [AUTHENTICATIONFAILED] bad token"},
    {"ImapLongTokenStaysOnTheSaslIrLine", 'I', M::kAutomatic, "", kLongToken,
     {{{}, "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] hi\r\n"},
      {{"{t}0 AUTHENTICATE XOAUTH2 " + kLongXOAuth2}, "{t}0 OK in\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "* LIST () \".\" \"\"\r\n{t}1 OK done\r\n"}}, "", "{t}1 OK done"},
    {"ImapHugeTokenWaitsForTheGoAhead", 'I', M::kAutomatic, "", kHugeToken,
     {{{}, "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2] hi\r\n"},
      {{"{t}0 AUTHENTICATE XOAUTH2"}, "+ \r\n"}, {{kHugeXOAuth2}, "{t}0 OK in\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "* LIST () \".\" \"\"\r\n{t}1 OK done\r\n"}}, "", "{t}1 OK done"},
    {"ImapOAuthBearerWithSaslIr", 'I', M::kOAuthBearer, "", "tok3n",
     {{{}, "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER] hi\r\n"},
      {{std::string("{t}0 AUTHENTICATE OAUTHBEARER ") + kOAuthBearer}, "{t}0 OK in\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "* LIST () \".\" \"\"\r\n{t}1 OK done\r\n"}}, "", "{t}1 OK done"},
};

void PrintTo(const SignInCase& c, std::ostream* out) { *out << c.name; }

class SignIn : public ::testing::TestWithParam<SignInCase> {};

TEST_P(SignIn, SendsExactlyTheScriptedLinesAndKeepsSecretsOutOfTheTrace) {
  const SignInCase& c = GetParam();
  const testing::TempFile trace_file;
  Clients clients;
  ScriptedServer server(c.script, clients.imap.tag_prefix());
  server.Start();
  LineSession& client = clients.Aim(c.protocol, server.port(), 5000);
  clients.smtp.set_helo_name("c.test"), client.trace().set_path(trace_file.path);
  Credentials& credentials = client.credentials();
  credentials.SetUser("ann"), credentials.SetPassword(c.password), credentials.SetAccessToken(c.token);
  credentials.method = c.method;
  EXPECT_EQ(client.Connect(), c.error.empty());
  if (!c.error.empty()) EXPECT_EQ(client.last_error(), c.error);
  EXPECT_EQ(client.last_reply(), testing::Tagged(c.reply, clients.imap.tag_prefix()));
  server.Check();
  const std::string trace = trace_file.ReadAll();
  for (const std::string secret : {c.password, c.token, std::string(kPlain), std::string(kXOAuth2),
                                   std::string(kOAuthBearer), std::string("c2VjcmV0")}) {
    if (!secret.empty()) EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in\n" << trace;
  }
  // Every line sent is traced, a secret one as "***".
  size_t sent = 0;
  for (size_t at = 0; (at = trace.find(" C: ", at)) != std::string::npos; ++at) ++sent;
  EXPECT_EQ(sent, server.transcript.size()) << trace;
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SignIn, ::testing::ValuesIn(kSignIns), testing::RowName);

}  // namespace
}  // namespace vesk
