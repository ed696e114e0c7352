#pragma once

// A scripted server on 127.0.0.1 for dialogue tests, and the three protocol
// clients aimed at it. The script says what the server sends and when (bytes,
// pauses, closes) and which lines it expects from the client; every byte the
// client sent is recorded for the transcript.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"

namespace vesk::testing {

class FakeServer {
 public:
  FakeServer();   // listens on an ephemeral loopback port at once
  ~FakeServer();  // stops the script and closes everything

  // Script steps, run in order for the first (only) client. ExpectLine waits
  // (up to 5 s) for a line and records a difference as a problem.
  FakeServer& Send(std::string bytes);
  FakeServer& Pause(int milliseconds);
  // Stops reading for a while, with a receive buffer made small, so that
  // what the client sends soon fills every buffer on the way.
  FakeServer& Stall(int milliseconds);
  FakeServer& ExpectLine(std::string line);
  // Runs the server side of a TLS handshake with the certificate and key
  // (PEM files); everything after it is encrypted. A failed handshake is a
  // problem and ends the script.
  FakeServer& StartTls(std::string certificate_file, std::string key_file);
  FakeServer& Close();  // an orderly close (FIN)
  FakeServer& Reset();  // an abortive close (RST)

  void Start();
  void Finish();  // waits for the script and for the client to close or go quiet

  std::uint16_t port() const { return port_; }
  bool accepted() const { return accepted_; }
  std::vector<std::string> ReceivedLines() const;  // what the client sent, CR LF removed
  std::vector<std::string> Problems() const;

 private:
  enum class Kind { kSend, kPause, kStall, kExpectLine, kStartTls, kClose, kReset };
  struct Step {
    Kind kind;
    std::string text;
    int milliseconds = 0;
    std::string key_file;
  };
  FakeServer& Add(Step step);
  void Run();
  bool ReadLine(std::string& line);
  bool ReceiveSome(int timeout_ms);
  void Note(std::string problem);
  bool AcceptTls(const Step& step);
  bool SendAll(const std::string& bytes);

  int listener_ = -1;
  int client_ = -1;
  void* tls_ = nullptr;  // SSL, server thread only
  std::uint16_t port_ = 0;
  std::vector<Step> script_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, finishing_{false}, accepted_{false};
  mutable std::mutex mutex_;
  std::string received_;               // guarded by mutex_
  std::size_t line_cursor_ = 0;        // server thread only
  std::vector<std::string> problems_;  // guarded by mutex_
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t UnusedLoopbackPort();

// A host name that cannot resolve and whose lookup sends nothing over the
// network: its first label is longer than the 63 octets a DNS name may hold
// (RFC 1035 section 2.3.4), so the resolver gives up before building a query.
std::string UnresolvableHostName();

// Milliseconds since `start`, for the generous bounds of time-out tests.
inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

struct Clients {
  SmtpClient smtp;
  Pop3Client pop3;
  ImapClient imap;

  LineSession& Of(char protocol) {
    if (protocol == 'S') return smtp;
    return protocol == 'P' ? static_cast<LineSession&>(pop3) : imap;
  }
  // Aims the client of `protocol` ('S' SMTP, 'P' POP3, 'I' IMAP4) at
  // 127.0.0.1; SMTP greets as client.test, POP3 signs in as ann with "secret"
  // (IMAP4 keeps its own defaults).
  LineSession& Aim(char protocol, std::uint16_t port, int timeout_ms = 2000) {
    smtp.set_helo_name("client.test");
    pop3.set_user("ann"), pop3.set_password("secret");
    LineSession& session = Of(protocol);
    session.set_host("127.0.0.1"), session.set_port(port), session.set_timeout_ms(timeout_ms);
    return session;
  }
};

// The name of a table row, for INSTANTIATE_TEST_SUITE_P.
inline auto RowName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace vesk::testing
