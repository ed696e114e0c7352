#pragma once

// A scripted server on 127.0.0.1 for dialogue tests. The script says what the
// server sends and when (bytes, pauses, closes) and which lines it expects
// from the client; the server records every byte the client sent, so a test
// can check the exact transcript afterwards.
//
//   FakeServer server;
//   server.Send("+OK ready\r\n").ExpectLine("QUIT").Send("+OK bye\r\n").Close();
//   server.Start();
//   ... connect a client to 127.0.0.1:server.port() ...
//   server.Finish();
//   EXPECT_THAT(server.Problems(), IsEmpty());

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesk::testing {

class FakeServer {
 public:
  FakeServer();   // listens on an ephemeral loopback port at once
  ~FakeServer();  // stops the script and closes everything

  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Script steps, run in order for the first (only) client.
  FakeServer& Send(std::string bytes);
  FakeServer& Pause(int milliseconds);
  // Waits (up to 5 s) for one line from the client and compares it, without
  // its CR LF, with `line`; a difference is recorded as a problem.
  FakeServer& ExpectLine(std::string line);
  // Runs the server side of a TLS handshake with the certificate and key
  // (PEM files); everything after it is encrypted. A failed handshake ends
  // the script (recorded as a problem only when `must_succeed`).
  FakeServer& StartTls(std::string certificate_file, std::string key_file, bool must_succeed = true);
  FakeServer& Close();  // an orderly close (FIN)
  FakeServer& Reset();  // an abortive close (RST)

  void Start();
  // Waits until the script has run and the client has closed (or, when the
  // client keeps the connection, stops listening to it), then joins.
  void Finish();

  std::uint16_t port() const { return port_; }
  bool accepted() const { return accepted_; }
  // Everything the client sent, and the lines of it (CR LF removed).
  std::string Received() const;
  std::vector<std::string> ReceivedLines() const;
  std::vector<std::string> Problems() const;

 private:
  struct Step {
    enum class Kind { kSend, kPause, kExpectLine, kStartTls, kClose, kReset } kind;
    std::string text;
    int milliseconds = 0;
    std::string key_file;
  };

  void Run();
  bool AcceptClient();
  bool ReadLine(std::string& line, int timeout_ms);
  bool ReceiveSome(int timeout_ms);
  void Drain();
  void Note(std::string problem);
  bool AcceptTls(const Step& step);
  bool SendAll(const std::string& bytes);

  int listener_ = -1;
  int client_ = -1;
  void* tls_context_ = nullptr;  // SSL_CTX, server thread only
  void* tls_ = nullptr;          // SSL, server thread only
  std::uint16_t port_ = 0;
  std::vector<Step> script_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finishing_{false};
  std::atomic<bool> accepted_{false};
  mutable std::mutex mutex_;
  std::string received_;        // guarded by mutex_
  std::size_t line_cursor_ = 0;  // server thread only: start of the next expected line
  std::vector<std::string> problems_;  // guarded by mutex_
};

// A loopback port on which nothing listens (bound once, then released).
std::uint16_t UnusedLoopbackPort();

// A host name that cannot resolve and whose lookup sends nothing over the
// network: its first label is longer than the 63 octets a DNS name may hold
// (RFC 1035 section 2.3.4), so the resolver gives up before building a query.
std::string UnresolvableHostName();

}  // namespace vesk::testing
