// Signing in against scripted servers, for the three dialogues: the exact
// lines sent, the outcome, the last reply kept, and a trace without secrets.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "engine/common/messages.h"
#include "engine/platform/files.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::Exchange;
using M = AuthMethod;

constexpr char kPlain[] = "AGFubgBzZWNyZXQ=";                          // \0ann\0secret
constexpr char kXOAuth2[] = "dXNlcj1hbm4BYXV0aD1CZWFyZXIgdG9rM24BAQ==";  // user=ann^Aauth=Bearer tok3n^A^A
// n,a=ann,^Aauth=Bearer tok3n^A^A
constexpr char kOAuthBearer[] = "bixhPWFubiwBYXV0aD1CZWFyZXIgdG9rM24BAQ==";
constexpr char kEhloAuth[] = "250-mx.test\r\n250-AUTH LOGIN PLAIN XOAUTH2\r\n250 8BITMIME\r\n";
constexpr char kCapa[] = "+OK\r\nUSER\r\nSASL PLAIN XOAUTH2\r\n.\r\n";

struct SignInCase {
  const char* name;
  char protocol;  // S(MTP), P(OP3), I(MAP4); in IMAP lines "{t}" stands for the tag prefix
  M method;
  std::string password, token;
  std::vector<Exchange> script;
  std::string error;  // empty: Connect succeeds
  std::string reply;  // the last reply kept afterwards
};

std::vector<Exchange> Smtp(std::vector<Exchange> after_greeting) {
  after_greeting.insert(after_greeting.begin(), {{}, "220 mx.test\r\n"});
  return after_greeting;
}

const SignInCase kCases[] = {
    {"SmtpAutomaticTakesPlain", 'S', M::kAutomatic, "secret", "",
     Smtp({{{"EHLO c.test"}, kEhloAuth}, {{std::string("AUTH PLAIN ") + kPlain}, "235 2.7.0 ok\r\n"}}), "", "235 2.7.0 ok"},
    {"SmtpRefusedWithReason", 'S', M::kAutomatic, "secret", "",
     Smtp({{{"EHLO c.test"}, kEhloAuth}, {{std::string("AUTH PLAIN ") + kPlain}, "535 5.7.8 bad credentials\r\n"}}),
     "Authentication failed", "535 5.7.8 bad credentials"},
    {"SmtpAuthNotOffered", 'S', M::kAutomatic, "secret", "",
     Smtp({{{"EHLO c.test"}, "250-mx.test\r\n250 SIZE 100\r\n"}}), "Server does not offer authentication",
     "250-mx.test\r\n250 SIZE 100"},
    {"SmtpNamedMethodNotOffered", 'S', M::kPlain, "secret", "",
     Smtp({{{"EHLO c.test"}, "250-mx.test\r\n250 AUTH=LOGIN\r\n"}}),
     "Server does not offer the PLAIN authentication method", "250-mx.test\r\n250 AUTH=LOGIN"},
    {"SmtpLoginAnswersEachChallenge", 'S', M::kLogin, "secret", "",
     Smtp({{{"EHLO c.test"}, kEhloAuth}, {{"AUTH LOGIN"}, "334 VXNlcm5hbWU6\r\n"}, {{"YW5u"}, "334 UGFzc3dvcmQ6\r\n"},
           {{"c2VjcmV0"}, "235 2.7.0 ok\r\n"}}), "", "235 2.7.0 ok"},
    {"SmtpEhloRefusedThenHelo", 'S', M::kAutomatic, "secret", "",
     Smtp({{{"EHLO c.test"}, "502 5.5.1 unknown\r\n"}, {{"HELO c.test"}, "250 mx.test\r\n"}}),
     "Server does not offer authentication", "250 mx.test"},
    {"SmtpXOAuth2ExactPayload", 'S', M::kAutomatic, "", "tok3n",
     Smtp({{{"EHLO c.test"}, kEhloAuth}, {{std::string("AUTH XOAUTH2 ") + kXOAuth2}, "235 ok\r\n"}}), "", "235 ok"},
    // The challenge carries the server's error; the empty line lets it finish.
    {"SmtpXOAuth2Refused", 'S', M::kXOAuth2, "", "tok3n",
     Smtp({{{"EHLO c.test"}, kEhloAuth}, {{std::string("AUTH XOAUTH2 ") + kXOAuth2}, "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
           {{""}, "535 5.7.8 token expired\r\n"}}), "Authentication failed", "535 5.7.8 token expired"},
    // With the choice left open, a server that lists only OAUTHBEARER gets it;
    // its error challenge is answered with ^A (RFC 7628 section 3.2.3).
    {"SmtpOAuthBearerWhereOnlyItIsListed", 'S', M::kAutomatic, "", "tok3n",
     Smtp({{{"EHLO c.test"}, "250-mx.test\r\n250 AUTH PLAIN OAUTHBEARER\r\n"},
           {{std::string("AUTH OAUTHBEARER ") + kOAuthBearer}, "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
           {{"AQ=="}, "535 5.7.8 token expired\r\n"}}), "Authentication failed", "535 5.7.8 token expired"},
    {"SmtpOAuthBearerAsked", 'S', M::kOAuthBearer, "", "tok3n",
     Smtp({{{"EHLO c.test"}, kEhloAuth}}), "Server does not offer the OAUTHBEARER authentication method",
     "250-mx.test\r\n250-AUTH LOGIN PLAIN XOAUTH2\r\n250 8BITMIME"},
    {"SmtpTokenWithLineBreak", 'S', M::kAutomatic, "", "tok\r\nQUIT", {},
     "User name, password and access token must not contain CR, LF or NUL characters", ""},
    {"Pop3XOAuth2AfterCapa", 'P', M::kAutomatic, "", "tok3n",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, kCapa}, {{std::string("AUTH XOAUTH2 ") + kXOAuth2}, "+OK in\r\n"},
      {{"STAT"}, "+OK 2 10\r\n"}}, "", "+OK 2 10"},
    {"Pop3OAuthBearerAfterCapa", 'P', M::kAutomatic, "", "tok3n",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, "+OK\r\nUSER\r\nSASL PLAIN OAUTHBEARER\r\n.\r\n"},
      {{std::string("AUTH OAUTHBEARER ") + kOAuthBearer}, "+OK in\r\n"}, {{"STAT"}, "+OK 2 10\r\n"}}, "", "+OK 2 10"},
    {"Pop3WithoutCapaIsAskedAllTheSame", 'P', M::kPlain, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, "-ERR unknown command\r\n"}, {{std::string("AUTH PLAIN ") + kPlain}, "+OK in\r\n"},
      {{"STAT"}, "+OK 0 0\r\n"}}, "", "+OK 0 0"},
    {"Pop3RefusedUserFallsBackToPlain", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"USER ann"}, "-ERR use AUTH\r\n"}, {{std::string("AUTH PLAIN ") + kPlain}, "+OK in\r\n"},
      {{"STAT"}, "+OK 0 0\r\n"}}, "", "+OK 0 0"},
    {"Pop3PlainRefused", 'P', M::kPlain, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"CAPA"}, kCapa}, {{std::string("AUTH PLAIN ") + kPlain}, "-ERR [AUTH] invalid\r\n"}},
     "Authentication failed", "-ERR [AUTH] invalid"},
    {"Pop3PassIsHiddenInTheTrace", 'P', M::kAutomatic, "secret", "",
     {{{}, "+OK hi\r\n"}, {{"USER ann"}, "+OK\r\n"}, {{"PASS secret"}, "-ERR [AUTH] no\r\n"}}, "Bad Password",
     "-ERR [AUTH] no"},
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
    {"ImapOAuthBearerWithSaslIr", 'I', M::kOAuthBearer, "", "tok3n",
     {{{}, "* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER] hi\r\n"},
      {{std::string("{t}0 AUTHENTICATE OAUTHBEARER ") + kOAuthBearer}, "{t}0 OK in\r\n"},
      {{"{t}1 LIST \"\" \"\""}, "* LIST () \".\" \"\"\r\n{t}1 OK done\r\n"}}, "", "{t}1 OK done"},
};

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

class SignIn : public ::testing::TestWithParam<SignInCase> {};

TEST_P(SignIn, SendsExactlyTheScriptedLinesAndKeepsSecretsOutOfTheTrace) {
  const SignInCase& c = GetParam();
  std::string trace_path;
  ASSERT_TRUE(files::MakeTempFile("trc", &trace_path));
  SmtpClient smtp;
  Pop3Client pop3;
  ImapClient imap;
  auto tagged = [&](std::string text) {
    for (size_t at; (at = text.find("{t}")) != std::string::npos;) text.replace(at, 3, imap.tag_prefix());
    return text;
  };
  std::vector<Exchange> script = c.script;
  for (Exchange& exchange : script) {
    exchange.reply = tagged(exchange.reply);
    for (std::string& line : exchange.client_lines) line = tagged(line);
  }
  testing::FakeServer server;
  const std::vector<std::string> transcript = testing::ScriptDialogue(server, script);
  server.Start();
  const auto sign_in = [&](auto& client) {
    client.set_host("127.0.0.1"), client.set_port(server.port()), client.trace().set_path(trace_path);
    Credentials& credentials = client.credentials();
    credentials.SetUser("ann"), credentials.SetPassword(c.password), credentials.SetAccessToken(c.token);
    credentials.method = c.method;
    EXPECT_EQ(client.Connect(), c.error.empty());
    if (!c.error.empty()) EXPECT_EQ(client.last_error(), c.error);
    EXPECT_EQ(client.last_reply(), tagged(c.reply));
  };
  smtp.set_helo_name("c.test");
  c.protocol == 'S' ? sign_in(smtp) : c.protocol == 'P' ? sign_in(pop3) : sign_in(imap);
  server.Finish();
  EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
  EXPECT_THAT(server.ReceivedLines(), ::testing::ElementsAreArray(transcript));
  const std::string trace = ReadAll(trace_path);
  files::Remove(trace_path);
  for (const std::string secret : {c.password, c.token, std::string(kPlain), std::string(kXOAuth2),
                                   std::string(kOAuthBearer), std::string("c2VjcmV0")}) {
    if (!secret.empty()) EXPECT_EQ(trace.find(secret), std::string::npos) << secret << " in\n" << trace;
  }
  // Every line sent is traced, a secret one as "***".
  size_t sent = 0;
  for (size_t at = 0; (at = trace.find(" C: ", at)) != std::string::npos; ++at) ++sent;
  EXPECT_EQ(sent, transcript.size()) << trace;
}

INSTANTIATE_TEST_SUITE_P(Dialogues, SignIn, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vesk
