// Encrypted connections against scripted servers: certificate checks, a
// server that offers no STARTTLS, one that closes or falls silent in the
// handshake, one that sends a reply with its go-ahead, and the inactivity
// time-out inside TLS. The certificates are the ones tools/mailservers.sh
// makes; VESK_TLS_DIR names their folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

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

// The upgrade after the greeting, per protocol: the script is the server's
// whole side; a failed upgrade has ended the session, so no plain QUIT or
// LOGIN follows it.
struct UpgradeCase {
  const char* name;
  char protocol;
  std::function<void(FakeServer&)> script;
  const char* error;
};

TEST_F(TlsDialogue, StartTls) {
  const auto ehlo = [](FakeServer& s, const char* reply) {
    s.Send("220 mx.test\r\n").ExpectLine("EHLO client.test").Send(reply);
  };
  const char* ehlo_with_tls = "250-mx.test\r\n250-SIZE 1000\r\n250 STARTTLS\r\n";
  const UpgradeCase cases[] = {
      {"upgrades and says EHLO again", 'S',
       [&](FakeServer& s) {
         ehlo(s, ehlo_with_tls);
         s.ExpectLine("STARTTLS").Send("220 go ahead\r\n").StartTls(Pem("server"), Key("server"))
             .ExpectLine("EHLO client.test").Send("250 mx.test\r\n").ExpectLine("QUIT").Send("221 bye\r\n");
       },
       ""},
      {"not offered", 'S', [&](FakeServer& s) { ehlo(s, "250-mx.test\r\n250-STARTTLSX\r\n250 SIZE 1000\r\n"); },
       "Server does not offer STARTTLS"},
      {"refused", 'S', [&](FakeServer& s) { ehlo(s, ehlo_with_tls), s.ExpectLine("STARTTLS").Send("454 not now\r\n"); },
       "Server does not offer STARTTLS"},
      {"reply sent with the go-ahead is discarded", 'S',
       [&](FakeServer& s) {
         ehlo(s, ehlo_with_tls);
         s.ExpectLine("STARTTLS").Send("220 go ahead\r\n554 injected\r\n").StartTls(Pem("server"), Key("server"))
             .ExpectLine("EHLO client.test").Send("250 mx.test\r\n").ExpectLine("QUIT").Send("221 bye\r\n");
       },
       ""},
      {"closed in the handshake", 'S',
       [&](FakeServer& s) { ehlo(s, ehlo_with_tls), s.ExpectLine("STARTTLS").Send("220 go\r\n").Pause(200).Close(); },
       "Connection closed by the server during the TLS handshake"},
      {"silent in the handshake", 'S',
       [&](FakeServer& s) { ehlo(s, ehlo_with_tls), s.ExpectLine("STARTTLS").Send("220 go\r\n").Pause(1500); },
       "Socket error # 10060"},
      {"silent after the handshake", 'S',
       [&](FakeServer& s) {
         ehlo(s, ehlo_with_tls);
         s.ExpectLine("STARTTLS").Send("220 go\r\n").StartTls(Pem("server"), Key("server")).Pause(1500);
       },
       "Socket error # 10060"},
      {"POP3 not offered", 'P',
       [](FakeServer& s) { s.Send("+OK ready\r\n").ExpectLine("CAPA").Send("+OK\r\nUSER\r\nSTLSX\r\n.\r\n"); },
       "Server does not offer STARTTLS"},
      {"IMAP4 not offered", 'I',
       [](FakeServer& s) { s.Send("* OK ready\r\n").Pause(200).Send("* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n"); },
       nullptr},
  };
  for (const UpgradeCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server;
    c.script(server);
    server.Start();
    testing::Clients clients;
    LineSession& client = clients.Aim(c.protocol, server.port(), c.protocol == 'S' ? 1000 : 500);
    client.security().mode = Security::kStartTls;
    client.security().extra_ca_file = Pem("ca");
    client.set_host("localhost");
    const bool upgrades = c.error != nullptr && *c.error == '\0';
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Connect(), upgrades) << client.last_error();
    EXPECT_LT(MillisecondsSince(start), 2000);
    if (!upgrades && c.error != nullptr) EXPECT_EQ(client.last_error(), c.error);
    EXPECT_TRUE(client.Disconnect());
    server.Finish();
    EXPECT_THAT(server.Problems(), ::testing::IsEmpty());
    const std::vector<std::string> sent = server.ReceivedLines();
    if (c.protocol != 'S') EXPECT_EQ(sent.size(), 1u);
    for (const std::string& line : sent) {
      if (!upgrades) EXPECT_TRUE(line != "QUIT" && line.find("LOGIN") == std::string::npos && line.rfind("USER", 0) != 0) << line;
    }
  }
}

}  // namespace
}  // namespace vesk
