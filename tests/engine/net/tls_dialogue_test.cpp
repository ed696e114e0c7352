// Encrypted connections against scripted servers: certificate checks, a
// server that offers no STARTTLS, one that closes or falls silent in the
// handshake, one that sends a reply with its go-ahead, and the inactivity
// time-out inside TLS. The certificates are the ones tools/mailservers.sh
// makes; VESK_TLS_DIR names their folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/fake_server.h"

namespace vesk {
namespace {

using testing::FakeServer;
using testing::MillisecondsSince;

std::string TlsDir() {
  const char* dir = std::getenv("VESK_TLS_DIR");
  return dir && *dir ? dir : "";
}

std::string Pem(const std::string& name) { return TlsDir() + "/" + name + ".pem"; }
std::string Key(const std::string& name) { return TlsDir() + "/" + name + ".key"; }

class TlsDialogue : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TlsDir().empty()) GTEST_SKIP() << "no certificates: run tools/mailservers.sh start, set VESK_TLS_DIR";
  }
};

void PointAt(SmtpClient& client, const FakeServer& server, Security mode, const std::string& host = "localhost") {
  client.set_host(host);
  client.set_port(static_cast<std::int16_t>(server.port()));
  client.set_timeout_ms(1000);
  client.set_helo_name("client.test");
  client.security().mode = mode;
  client.security().extra_ca_file = Pem("ca");
}

struct CertificateCase {
  const char* certificate;
  const char* host;
  bool verify;
  const char* error;  // empty: the session is established
};

TEST_F(TlsDialogue, CertificateIsCheckedAfterTheHandshake) {
  const CertificateCase cases[] = {
      {"server", "localhost", true, ""},
      {"server", "127.0.0.1", true, ""},
      {"other", "localhost", true, "Server certificate is for \"mail.other.test\", not for \"localhost\""},
      {"other", "127.0.0.1", true, "Server certificate is for \"mail.other.test\", not for \"127.0.0.1\""},
      {"other", "localhost", false, ""},
      {"rogue", "localhost", true, "Server certificate is not trusted: unable to get local issuer certificate"},
      {"rogue", "localhost", false, ""},
  };
  for (const CertificateCase& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + " for " + c.host);
    FakeServer server;
    server.StartTls(Pem(c.certificate), Key(c.certificate)).Send("220 mx.test\r\n").ExpectLine("EHLO client.test")
        .Send("250 mx.test\r\n").ExpectLine("QUIT").Send("221 bye\r\n");
    server.Start();
    SmtpClient client;
    PointAt(client, server, Security::kImplicitTls, c.host);
    client.security().verify_certificate = c.verify;
    EXPECT_EQ(client.Connect(), *c.error == '\0') << client.last_error();
    if (*c.error != '\0') EXPECT_EQ(client.last_error(), c.error);
    EXPECT_EQ(client.tls_protocol().empty(), *c.error != '\0') << client.tls_protocol();
    client.Disconnect();  // after a refusal nothing at all goes out
    server.Finish();
    const std::vector<std::string> dialogue = {"EHLO client.test", "QUIT"};
    EXPECT_EQ(server.ReceivedLines(), *c.error ? std::vector<std::string>() : dialogue);
  }
}

struct UpgradeCase {
  const char* name;
  std::function<void(FakeServer&)> script;  // after the greeting and EHLO
  const char* error;
  int longest_ms;
};

TEST_F(TlsDialogue, SmtpStartTls) {
  const std::string ehlo_with_tls = "250-mx.test\r\n250-SIZE 1000\r\n250 STARTTLS\r\n";
  const UpgradeCase cases[] = {
      {"upgrades and says EHLO again",
       [&](FakeServer& s) {
         s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("220 go ahead\r\n").StartTls(Pem("server"), Key("server"))
             .ExpectLine("EHLO client.test").Send("250 mx.test\r\n")
             .ExpectLine("QUIT").Send("221 bye\r\n");
       },
       "", 2000},
      {"not offered",
       [&](FakeServer& s) { s.Send("250-mx.test\r\n250-STARTTLSX\r\n250 SIZE 1000\r\n"); },
       "Server does not offer STARTTLS", 2000},
      {"refused", [&](FakeServer& s) { s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("454 not now\r\n"); },
       "Server does not offer STARTTLS", 2000},
      {"reply sent with the go-ahead is discarded",
       [&](FakeServer& s) {
         s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("220 go ahead\r\n554 injected\r\n")
             .StartTls(Pem("server"), Key("server")).ExpectLine("EHLO client.test").Send("250 mx.test\r\n")
             .ExpectLine("QUIT").Send("221 bye\r\n");
       },
       "", 2000},
      {"closed in the handshake",
       [&](FakeServer& s) { s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("220 go\r\n").Pause(200).Close(); },
       "Connection closed by the server during the TLS handshake", 2000},
      {"silent in the handshake",
       [&](FakeServer& s) { s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("220 go\r\n").Pause(1500); },
       "Socket error # 10060", 2000},
      {"silent after the handshake",
       [&](FakeServer& s) {
         s.Send(ehlo_with_tls).ExpectLine("STARTTLS").Send("220 go\r\n").StartTls(Pem("server"), Key("server"))
             .Pause(1500);
       },
       "Socket error # 10060", 2000},
  };
  for (const UpgradeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server;
    server.Send("220 mx.test\r\n").ExpectLine("EHLO client.test");
    c.script(server);
    server.Start();
    SmtpClient client;
    PointAt(client, server, Security::kStartTls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Connect(), *c.error == '\0') << client.last_error();
    EXPECT_LT(MillisecondsSince(start), c.longest_ms);
    if (*c.error != '\0') EXPECT_EQ(client.last_error(), c.error);
    EXPECT_TRUE(client.Disconnect());
    server.Finish();
    if (*c.error == '\0') EXPECT_TRUE(server.Problems().empty()) << server.Problems().front();
    // A failed upgrade has ended the session: no plain QUIT follows.
    const std::vector<std::string> sent = server.ReceivedLines();
    if (*c.error != '\0') EXPECT_EQ(std::count(sent.begin(), sent.end(), "QUIT"), 0);
  }
}

TEST_F(TlsDialogue, Pop3AndImapRefuseAServerWithoutStartTls) {
  FakeServer pop3;
  pop3.Send("+OK ready\r\n").ExpectLine("CAPA").Send("+OK\r\nUSER\r\nSTLSX\r\n.\r\n");
  pop3.Start();
  Pop3Client pop3_client;
  pop3_client.set_port(static_cast<std::int16_t>(pop3.port()));
  pop3_client.set_user("u");
  pop3_client.set_password("secret");
  pop3_client.security().mode = Security::kStartTls;
  EXPECT_FALSE(pop3_client.Connect());
  EXPECT_EQ(pop3_client.last_error(), "Server does not offer STARTTLS");
  pop3.Finish();
  EXPECT_EQ(pop3.ReceivedLines(), std::vector<std::string>{"CAPA"});

  FakeServer imap;
  imap.Send("* OK ready\r\n").Pause(200).Send("* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n");
  imap.Start();
  ImapClient imap_client;
  imap_client.set_port(imap.port());
  imap_client.set_timeout_ms(500);
  imap_client.security().mode = Security::kStartTls;
  EXPECT_FALSE(imap_client.Connect());
  imap.Finish();
  const std::vector<std::string> sent = imap.ReceivedLines();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].find("LOGIN"), std::string::npos) << sent[0];
}

}  // namespace
}  // namespace vesk
