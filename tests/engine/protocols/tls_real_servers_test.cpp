// Encrypted sessions with the real servers of tools/mailservers.sh: Postfix
// with STARTTLS and implicit TLS, Dovecot with STARTTLS and implicit TLS for
// POP3 and IMAP4. Reached at 127.0.0.2, Dovecot refuses plain-text log-ins
// until STARTTLS (at 127.0.0.1 it counts loopback as secure). Runs only when
// VESK_MAILSERVERS=1 is set.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/fake_server.h"

namespace vesk {
namespace {

using ::testing::HasSubstr;
using testing::Clients;
using M = AuthMethod;

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// A real server as a client reaches it.
struct Server {
  char protocol;
  const char* host;
  const char* port_name;
  const char* port;
  Security mode;
};

const Server kSmtp = {'S', "localhost", "VESK_SMTP_PORT", "2525", Security::kStartTls};
const Server kSmtps = {'S', "127.0.0.1", "VESK_SMTPS_PORT", "2465", Security::kImplicitTls};
const Server kSubmissions = {'S', "127.0.0.1", "VESK_SUBMISSIONS_PORT", "2466", Security::kImplicitTls};
const Server kPop3 = {'P', "127.0.0.2", "VESK_POP3_PORT", "2110", Security::kStartTls};
const Server kPop3s = {'P', "localhost", "VESK_POP3S_PORT", "2995", Security::kImplicitTls};
const Server kImap = {'I', "127.0.0.2", "VESK_IMAP_PORT", "2143", Security::kStartTls};
const Server kPop3Plain = {'P', "127.0.0.2", "VESK_POP3_PORT", "2110", Security::kNone};
const Server kImapPlain = {'I', "127.0.0.2", "VESK_IMAP_PORT", "2143", Security::kNone};
const Server kImaps = {'I', "localhost", "VESK_IMAPS_PORT", "2993", Security::kImplicitTls};

// The client of the server's protocol aimed at it; POP3 and IMAP4 as the
// test user (SMTP sends without signing in).
LineSession& Aim(Clients& clients, const Server& server) {
  LineSession& session = clients.Of(server.protocol);
  session.set_host(server.host);
  session.set_port(static_cast<std::uint16_t>(std::atoi(Setting(server.port_name, server.port).c_str())));
  session.set_timeout_ms(10000);
  session.security().mode = server.mode;
  session.security().extra_ca_file = Setting("VESK_TLS_DIR", "") + "/ca.pem";
  if (server.protocol != 'S') {
    session.set_user(Setting("VESK_MAIL_USER", "vesk"));
    session.set_password(Setting("VESK_MAIL_PASSWORD", "vesk-pass"));
  }
  return session;
}

class RealServers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Setting("VESK_MAILSERVERS", "0") != "1") GTEST_SKIP() << "real mail servers not requested";
  }
};

// About 3 MB of lines, with leading periods and every printable byte.
std::string LargeBody() {
  std::string body;
  for (int line = 0; body.size() < 3'000'000; ++line) {
    if (line % 7 == 0) body += ".";
    for (int i = 0; i < 76; ++i) body += static_cast<char>(33 + (line * 31 + i) % 94);
    body += "\r\n";
  }
  return body;
}

TEST_F(RealServers, LargeMessageSentOverStartTlsAndImplicitTlsComesBackByteForByte) {
  {
    Clients clients;
    Pop3Client& pop3 = clients.pop3;
    ASSERT_TRUE(Aim(clients, kPop3s).Connect()) << pop3.last_error();
    for (std::int16_t n = 1; n <= pop3.message_count(); ++n) ASSERT_TRUE(pop3.Delete(n));
    ASSERT_TRUE(pop3.Disconnect()) << pop3.last_error();
  }
  const std::string address = Setting("VESK_MAIL_ADDRESS", "vesk@localhost");
  const std::string body = LargeBody();
  for (const Server& server : {kSmtp, kSmtps}) {
    Clients clients;
    SmtpClient& smtp = clients.smtp;
    ASSERT_TRUE(Aim(clients, server).Connect()) << server.port_name << ": " << smtp.last_error();
    EXPECT_THAT(smtp.tls_protocol(), HasSubstr("TLS 1."));
    const std::string message = "From: <sender@vesk.test>\r\nTo: <" + address + ">\r\nSubject: tls\r\n\r\n";
    ASSERT_TRUE(smtp.Send("sender@vesk.test", {address}, message + body)) << smtp.last_error();
    EXPECT_TRUE(smtp.Disconnect()) << smtp.last_error();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (bool delivered = false; !delivered; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the two messages were not delivered";
    Clients clients;
    delivered = Aim(clients, kPop3).Connect() && clients.pop3.message_count() == 2;
  }
  // Each way of reading gets the whole body back, byte for byte.
  for (const Server& server : {kImap, kImaps}) {
    Clients clients;
    ImapClient& imap = clients.imap;
    ASSERT_TRUE(Aim(clients, server).Connect() && imap.SelectMailbox(true)) << imap.last_error();
    for (std::int32_t n = 1; n <= 2; ++n) {
      ASSERT_TRUE(imap.Retrieve(n)) << imap.last_error();
      ASSERT_GT(imap.message_text().size(), body.size());
      EXPECT_TRUE(imap.message_text().ends_with("\r\n\r\n" + body)) << server.port_name << " message " << n;
    }
  }
  Clients clients;
  ASSERT_TRUE(Aim(clients, kPop3s).Connect() && clients.pop3.Retrieve(2)) << clients.pop3.last_error();
  std::string expected;  // as RETR gives it: LF line ends, periods undoubled
  for (std::size_t at = 0; at < body.size(); at = body.find('\n', at) + 1) {
    expected.append(body, at, body.find('\r', at) - at).append("\n");
  }
  EXPECT_TRUE(clients.pop3.retrieved_text().ends_with("\n\n" + expected));
}

// Signing in over each protocol with a password and with the OAuth 2 token
// Dovecot validates (a token one character off is refused), and plain-text
// log-ins refused until STARTTLS (after it, POP3 signs in with the
// large message's delivery and IMAP4 with ImapPassword).
struct SignInCase {
  const char* name;
  Server server;
  M method;
  int token;  // 0: none (the password); 1: the token; 2: the token one character off
  bool signs_in;
  const char* error = "";  // a part of the failure's description
};

const SignInCase kSignIns[] = {
    {"SmtpPassword", kSubmissions, M::kAutomatic, 0, true},
    {"SmtpToken", kSubmissions, M::kAutomatic, 1, true},
    {"SmtpBadToken", kSubmissions, M::kAutomatic, 2, false},
    {"Pop3Password", kPop3s, M::kPlain, 0, true},
    {"Pop3Token", kPop3s, M::kAutomatic, 1, true},
    {"Pop3BadToken", kPop3s, M::kAutomatic, 2, false},
    {"ImapPassword", kImap, M::kPlain, 0, true},
    {"ImapToken", kImap, M::kXOAuth2, 1, true},
    {"ImapBadToken", kImap, M::kXOAuth2, 2, false},
    {"Pop3PlainTextRefused", kPop3Plain, M::kAutomatic, 0, false},
    // The server lists LOGINDISABLED, so LOGIN is not even sent.
    {"ImapPlainTextRefused", kImapPlain, M::kAutomatic, 0, false, "LOGINDISABLED"},
};

class RealSignIn : public RealServers, public ::testing::WithParamInterface<SignInCase> {};

TEST_P(RealSignIn, WithPasswordOrTokenOverTls) {
  const SignInCase& c = GetParam();
  Clients clients;
  LineSession& session = Aim(clients, c.server);
  Credentials& credentials = session.credentials();
  credentials.SetUser(Setting("VESK_MAIL_USER", "vesk"));
  if (c.token == 0) credentials.SetPassword(Setting("VESK_MAIL_PASSWORD", "vesk-pass"));
  if (c.token != 0) credentials.SetAccessToken(Setting("VESK_ACCESS_TOKEN", "") + (c.token == 2 ? "x" : ""));
  credentials.method = c.method;
  EXPECT_EQ(session.Connect(), c.signs_in) << session.last_error() << " / " << session.last_reply();
  EXPECT_THAT(session.last_error(), HasSubstr(c.error));
  if (c.signs_in) EXPECT_THAT(session.tls_protocol(), HasSubstr("TLS 1."));
  if (c.server.mode == Security::kNone) EXPECT_EQ(session.tls_protocol(), "");
}

INSTANTIATE_TEST_SUITE_P(RealServers, RealSignIn, ::testing::ValuesIn(kSignIns), testing::RowName);

}  // namespace
}  // namespace vesk
