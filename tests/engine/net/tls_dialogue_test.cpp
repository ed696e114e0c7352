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

// A row: the server's whole side, how the client of `protocol` is secured
// and which host name it expects, what Connect comes to ("": it succeeds;
// nullptr: a failure whose text is not the point) and every line the client
// sent. A refused certificate or a failed upgrade has ended the session, so
// no QUIT, LOGIN or USER follows it.
struct TlsCase {
  const char* name;
  char protocol;
  Security mode;
  const char* host;
  bool verify;
  std::function<void(FakeServer&)> script;
  const char* error;
  std::vector<std::string> sent;
};

// An SMTP session that is encrypted from the first byte with `certificate`.
std::function<void(FakeServer&)> ImplicitTls(std::string certificate) {
  return [=](FakeServer& s) {
    s.StartTls(Pem(certificate), Key(certificate)).Send("220 mx.test\r\n").ExpectLine("EHLO client.test")
        .Send("250 mx.test\r\n").ExpectLine("QUIT").Send("221 bye\r\n");
  };
}

// The greeting and EHLO, answered `reply`, then `more`.
std::function<void(FakeServer&)> Ehlo(const char* reply, std::function<void(FakeServer&)> more = {}) {
  return [=](FakeServer& s) {
    s.Send("220 mx.test\r\n").ExpectLine("EHLO client.test").Send(reply);
    if (more) more(s);
  };
}

// STARTTLS answered `go_ahead`, the handshake, and a plain session after it.
std::function<void(FakeServer&)> Upgrade(const char* go_ahead) {
  return Ehlo("250-mx.test\r\n250-SIZE 1000\r\n250 STARTTLS\r\n", [=](FakeServer& s) {
    s.ExpectLine("STARTTLS").Send(go_ahead).StartTls(Pem("server"), Key("server")).ExpectLine("EHLO client.test")
        .Send("250 mx.test\r\n").ExpectLine("QUIT").Send("221 bye\r\n");
  });
}

std::vector<TlsCase> Cases() {
  const Security implicit = Security::kImplicitTls, upgrade = Security::kStartTls;
  const char* with_tls = "250-mx.test\r\n250-SIZE 1000\r\n250 STARTTLS\r\n";
  const std::vector<std::string> session = {"EHLO client.test", "QUIT"}, refused;
  const std::vector<std::string> upgraded = {"EHLO client.test", "STARTTLS", "EHLO client.test", "QUIT"};
  const std::vector<std::string> asked = {"EHLO client.test", "STARTTLS"};
  const auto quit = [](FakeServer& s) { s.ExpectLine("QUIT").Send("221 bye\r\n"); };
  const auto go = [](std::function<void(FakeServer&)> after) {
    return [=](FakeServer& s) { after(s.ExpectLine("STARTTLS").Send("220 go\r\n")); };
  };
  return {
      // The certificate is checked after the handshake: its name, and its issuer.
      {"CertificateForTheHostName", 'S', implicit, "localhost", true, ImplicitTls("server"), "", session},
      {"CertificateForTheAddress", 'S', implicit, "127.0.0.1", true, ImplicitTls("server"), "", session},
      {"CertificateForAnotherName", 'S', implicit, "localhost", true, ImplicitTls("other"),
       "Server certificate is for \"mail.other.test\", not for \"localhost\"", refused},
      {"CertificateForAnotherNameThanTheAddress", 'S', implicit, "127.0.0.1", true, ImplicitTls("other"),
       "Server certificate is for \"mail.other.test\", not for \"127.0.0.1\"", refused},
      {"CertificateForAnotherNameUnchecked", 'S', implicit, "localhost", false, ImplicitTls("other"), "",
       session},
      {"CertificateOfAnUnknownIssuer", 'S', implicit, "localhost", true, ImplicitTls("rogue"),
       "Server certificate is not trusted: unable to get local issuer certificate", refused},
      {"CertificateOfAnUnknownIssuerUnchecked", 'S', implicit, "localhost", false, ImplicitTls("rogue"), "",
       session},
      // A reply in many records that arrive together (a line cut between
      // two of them): one receive brings them all, and every line is read.
      {"ReplyInManyRecords", 'S', implicit, "localhost", true,
       [](FakeServer& s) {
         s.StartTls(Pem("server"), Key("server")).Send("220 mx.test\r\n").ExpectLine("EHLO client.test")
             .Send("250-mx.te").Send("st\r\n250-SIZE 1000\r\n").Send("250-8BITMIME\r\n").Send("250 DSN\r\n")
             .ExpectLine("QUIT").Send("221 bye\r\n");
       },
       "", session},
      // The upgrade after the greeting.
      {"UpgradesAndSaysEhloAgain", 'S', upgrade, "localhost", true, Upgrade("220 go ahead\r\n"), "", upgraded},
      {"ReplySentWithTheGoAheadIsDiscarded", 'S', upgrade, "localhost", true,
       Upgrade("220 go ahead\r\n554 injected\r\n"), "", upgraded},
      // A server that still answers is told QUIT.
      {"NotOffered", 'S', upgrade, "localhost", true,
       Ehlo("250-mx.test\r\n250-STARTTLSX\r\n250 SIZE 1000\r\n", quit), "Server does not offer STARTTLS",
       {"EHLO client.test", "QUIT"}},
      {"Refused", 'S', upgrade, "localhost", true,
       Ehlo(with_tls, [=](FakeServer& s) { quit(s.ExpectLine("STARTTLS").Send("454 not now\r\n")); }),
       "Server does not offer STARTTLS", {"EHLO client.test", "STARTTLS", "QUIT"}},
      {"ClosedInTheHandshake", 'S', upgrade, "localhost", true,
       Ehlo(with_tls, go([](FakeServer& s) { s.Pause(200).Close(); })),
       "Connection closed by the server during the TLS handshake", asked},
      {"SilentInTheHandshake", 'S', upgrade, "localhost", true,
       Ehlo(with_tls, go([](FakeServer& s) { s.Pause(1500); })), "Socket error # 10060", asked},
      {"SilentAfterTheHandshake", 'S', upgrade, "localhost", true,
       Ehlo(with_tls, go([](FakeServer& s) { s.StartTls(Pem("server"), Key("server")).Pause(1500); })),
       "Socket error # 10060", {"EHLO client.test", "STARTTLS", "EHLO client.test"}},
      {"Pop3NotOffered", 'P', upgrade, "localhost", true,
       [](FakeServer& s) { s.Send("+OK ready\r\n").ExpectLine("CAPA").Send("+OK\r\nUSER\r\nSTLSX\r\n.\r\n"); },
       "Server does not offer STARTTLS", {"CAPA"}},
      {"Imap4NotOffered", 'I', upgrade, "localhost", true,
       [](FakeServer& s) {
         s.Send("* OK ready\r\n").Pause(200).Send("* CAPABILITY IMAP4rev1 LOGINDISABLED\r\n");
       },
       nullptr, {"{t}0 CAPABILITY"}},
  };
}

void PrintTo(const TlsCase& c, std::ostream* out) { *out << c.name; }

class TlsDialogue : public ::testing::TestWithParam<TlsCase> {
 protected:
  void SetUp() override {
    if (TlsDir().empty()) GTEST_SKIP() << "no certificates: run tools/mailservers.sh start, set VESK_TLS_DIR";
  }
};

TEST_P(TlsDialogue, ChecksTheCertificateAndUpgrades) {
  const TlsCase& c = GetParam();
  FakeServer server;
  c.script(server);
  server.Start();
  testing::Clients clients;
  LineSession& client = clients.Aim(c.protocol, server.port(), c.protocol == 'S' ? 1000 : 500);
  client.security().mode = c.mode;
  client.security().extra_ca_file = Pem("ca");
  client.security().verify_certificate = c.verify;
  client.set_host(c.host);
  const bool succeeds = c.error != nullptr && *c.error == '\0';
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Connect(), succeeds) << client.last_error();
  EXPECT_LT(MillisecondsSince(start), 2000);
  if (c.error != nullptr && !succeeds) EXPECT_EQ(client.last_error(), c.error);
  EXPECT_EQ(client.tls_protocol().empty(), !succeeds) << client.tls_protocol();
  EXPECT_TRUE(client.Disconnect());  // after a failure nothing more goes out
  server.Finish();
  std::vector<std::string> sent;
  for (const std::string& line : c.sent) sent.push_back(testing::Tagged(line, clients.imap.tag_prefix()));
  std::vector<std::string> lines = server.ReceivedLines();
  // A handshake the server never finished is left as bytes after the lines.
  if (lines.size() > sent.size() && lines[sent.size()].starts_with("\x16\x03")) lines.resize(sent.size());
  EXPECT_EQ(lines, sent);
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsDialogue, ::testing::ValuesIn(Cases()), testing::RowName);

}  // namespace
}  // namespace vesk
