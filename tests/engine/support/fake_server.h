#pragma once

// A scripted server on 127.0.0.1 for dialogue tests. The script says what the
// server sends and when (bytes, pauses, closes) and which lines it expects
// from the client; every byte the client sent is recorded for the transcript.

#include <atomic>
#include <chrono>
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

  // Script steps, run in order for the first (only) client. ExpectLine waits
  // (up to 5 s) for a line and records a difference as a problem.
  FakeServer& Send(std::string bytes);
  FakeServer& Pause(int milliseconds);
  FakeServer& ExpectLine(std::string line);
  // Runs the server side of a TLS handshake with the certificate and key
  // (PEM files); everything after it is encrypted. A failed handshake ends
  // the script (recorded as a problem only when `must_succeed`).
  FakeServer& StartTls(std::string certificate_file, std::string key_file, bool must_succeed = true);
  FakeServer& Close();  // an orderly close (FIN)
  FakeServer& Reset();  // an abortive close (RST)

  void Start();
  void Finish();  // waits for the script and for the client to close or go quiet

  std::uint16_t port() const { return port_; }
  bool accepted() const { return accepted_; }
  std::vector<std::string> ReceivedLines() const;  // what the client sent, CR LF removed
  std::vector<std::string> Problems() const;

 private:
  enum class Kind { kSend, kPause, kExpectLine, kStartTls, kClose, kReset };
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
  void* tls_context_ = nullptr;  // SSL_CTX, server thread only
  void* tls_ = nullptr;          // SSL, server thread only
  std::uint16_t port_ = 0;
  std::vector<Step> script_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, finishing_{false}, accepted_{false};
  mutable std::mutex mutex_;
  std::string received_;               // guarded by mutex_
  std::size_t line_cursor_ = 0;        // server thread only
  std::vector<std::string> problems_;  // guarded by mutex_
};

// One exchange of a dialogue: the lines the client must send (none for a
// greeting or for a reply that follows data) and the server's answer.
struct Exchange {
  std::vector<std::string> client_lines;
  std::string reply;
};

// Scripts `server` and returns every client line in order: the transcript.
std::vector<std::string> ScriptDialogue(FakeServer& server, const std::vector<Exchange>& exchanges);

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

}  // namespace vesk::testing
