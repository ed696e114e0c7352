// Encrypted sessions with the real servers of tools/mailservers.sh: Postfix
// with STARTTLS and implicit TLS, Dovecot with STARTTLS and implicit TLS for
// POP3 and IMAP4. Reached at 127.0.0.2, Dovecot refuses plain-text log-ins
// until STARTTLS (at 127.0.0.1 it counts loopback as secure). Runs only when
// VESK_MAILSERVERS=1 is set.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <type_traits>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"

namespace vesk {
namespace {

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::uint16_t Port(const char* name, const char* fallback) {
  return static_cast<std::uint16_t>(std::atoi(Setting(name, fallback).c_str()));
}

TransportSecurity Secured(Security mode) {
  TransportSecurity security;
  security.mode = mode;
  security.extra_ca_file = Setting("VESK_TLS_DIR", "") + "/ca.pem";
  return security;
}

// A POP3 or IMAP4 client aimed at a real server as the test user.
template <class C>
C& PointAt(C& client, const char* host, const char* port_name, const char* port, Security mode) {
  client.set_host(host);
  client.set_port(Port(port_name, port));
  client.set_user(Setting("VESK_MAIL_USER", "vesk"));
  client.set_password(Setting("VESK_MAIL_PASSWORD", "vesk-pass"));
  if constexpr (std::is_same_v<C, ImapClient>) client.set_timeout_ms(10000);
  client.security() = Secured(mode);
  return client;
}

class TlsRealServers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Setting("VESK_MAILSERVERS", "0") != "1") GTEST_SKIP() << "real mail servers not requested";
    Pop3Client client;
    PointAt(client, "127.0.0.1", "VESK_POP3_PORT", "2110", Security::kNone);
    ASSERT_TRUE(client.Connect()) << client.last_error();
    for (std::int16_t n = 1; n <= client.message_count(); ++n) ASSERT_TRUE(client.Delete(n));
    ASSERT_TRUE(client.Disconnect()) << client.last_error();
  }

  static int CountOverPop3(Security mode) {
    Pop3Client client;
    PointAt(client, "127.0.0.2", "VESK_POP3_PORT", "2110", mode);
    return client.Connect() ? client.message_count() : -1;
  }

  static bool WaitForMessages(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (CountOverPop3(Security::kStartTls) == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
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

TEST_F(TlsRealServers, SendOverStartTlsAndImplicitTlsFetchLargeMessageByteForByte) {
  const std::string address = Setting("VESK_MAIL_ADDRESS", "vesk@localhost");
  const std::string body = LargeBody();
  struct SendCase {
    const char* host;
    const char* port_name;
    const char* port;
    Security mode;
  } sends[] = {{"localhost", "VESK_SMTP_PORT", "2525", Security::kStartTls},
               {"127.0.0.1", "VESK_SMTPS_PORT", "2465", Security::kImplicitTls}};
  for (const SendCase& c : sends) {
    SmtpClient smtp;
    smtp.set_host(c.host);
    smtp.set_port(static_cast<std::int16_t>(Port(c.port_name, c.port)));
    smtp.set_timeout_ms(10000);
    smtp.security() = Secured(c.mode);
    ASSERT_TRUE(smtp.Connect()) << c.host << ": " << smtp.last_error();
    EXPECT_NE(smtp.tls_protocol().find("TLS 1."), std::string::npos) << smtp.tls_protocol();
    const std::string message = "From: <sender@vesk.test>\r\nTo: <" + address + ">\r\nSubject: tls\r\n\r\n" + body;
    ASSERT_TRUE(smtp.Send("sender@vesk.test", {address}, message)) << smtp.last_error();
    EXPECT_TRUE(smtp.Disconnect()) << smtp.last_error();
  }
  ASSERT_TRUE(WaitForMessages(2));

  // Each way of reading gets the whole body back, byte for byte.
  for (Security mode : {Security::kStartTls, Security::kImplicitTls}) {
    ImapClient imap;
    PointAt(imap, mode == Security::kStartTls ? "127.0.0.2" : "localhost",
            mode == Security::kStartTls ? "VESK_IMAP_PORT" : "VESK_IMAPS_PORT",
            mode == Security::kStartTls ? "2143" : "2993", mode);
    ASSERT_TRUE(imap.Connect()) << imap.last_error();
    ASSERT_TRUE(imap.SelectMailbox(true)) << imap.last_error();
    for (std::int32_t n = 1; n <= 2; ++n) {
      ASSERT_TRUE(imap.Retrieve(n)) << imap.last_error();
      ASSERT_GT(imap.message_text.size(), body.size());
      EXPECT_TRUE(imap.message_text.ends_with("\r\n\r\n" + body)) << "message " << n;
    }
  }
  Pop3Client pop3;
  ASSERT_TRUE(PointAt(pop3, "localhost", "VESK_POP3S_PORT", "2995", Security::kImplicitTls).Connect())
      << pop3.last_error();
  ASSERT_TRUE(pop3.Retrieve(2)) << pop3.last_error();
  std::string expected;  // as RETR gives it: LF line ends, periods undoubled
  for (std::size_t at = 0; at < body.size(); at = body.find('\n', at) + 1) {
    expected.append(body, at, body.find('\r', at) - at).append("\n");
  }
  EXPECT_TRUE(pop3.retrieved_text().ends_with("\n\n" + expected));
}

TEST_F(TlsRealServers, PlainLogInRefusedUntilStartTls) {
  EXPECT_EQ(CountOverPop3(Security::kNone), -1);
  EXPECT_EQ(CountOverPop3(Security::kStartTls), 0);
  struct ImapCase {
    Security mode;
    bool logs_in;
  } cases[] = {{Security::kNone, false}, {Security::kStartTls, true}};
  for (const ImapCase& c : cases) {
    ImapClient imap;
    EXPECT_EQ(PointAt(imap, "127.0.0.2", "VESK_IMAP_PORT", "2143", c.mode).Connect(), c.logs_in) << imap.last_error();
    // The server lists LOGINDISABLED, so LOGIN is not even sent.
    if (!c.logs_in) EXPECT_NE(imap.last_error().find("LOGINDISABLED"), std::string::npos);
    EXPECT_EQ(imap.tls_protocol().empty(), !c.logs_in);
  }
}

// Signing in with a password and with the OAuth 2 token Dovecot validates,
// over each protocol; a token one character off is refused.
TEST_F(TlsRealServers, SignInWithPasswordAndToken) {
  const std::string token = Setting("VESK_ACCESS_TOKEN", "");
  for (const std::string& secret : {std::string("vesk-pass"), token, token + "x"}) {
    const bool good = secret != token + "x";
    SmtpClient smtp;
    smtp.set_host("127.0.0.1");
    smtp.set_port(static_cast<std::int16_t>(Port("VESK_SUBMISSIONS_PORT", "2466")));
    smtp.security() = Secured(Security::kImplicitTls);
    smtp.credentials().SetUser("vesk");
    (secret == "vesk-pass" ? smtp.credentials().password : smtp.credentials().access_token) = secret;
    EXPECT_EQ(smtp.Connect(), good) << smtp.last_error() << " / " << smtp.last_reply();
    Pop3Client pop3;
    PointAt(pop3, "127.0.0.1", "VESK_POP3S_PORT", "2995", Security::kImplicitTls).credentials().method = AuthMethod::kPlain;
    if (secret != "vesk-pass") pop3.credentials().SetAccessToken(secret), pop3.credentials().method = AuthMethod::kAutomatic;
    EXPECT_EQ(pop3.Connect(), good) << pop3.last_error() << " / " << pop3.last_reply();
    ImapClient imap;
    PointAt(imap, "127.0.0.1", "VESK_IMAP_PORT", "2143", Security::kStartTls).credentials().method = AuthMethod::kPlain;
    if (secret != "vesk-pass") imap.credentials().SetAccessToken(secret), imap.credentials().method = AuthMethod::kXOAuth2;
    EXPECT_EQ(imap.Connect(), good) << imap.last_error() << " / " << imap.last_reply();
  }
}

}  // namespace
}  // namespace vesk
