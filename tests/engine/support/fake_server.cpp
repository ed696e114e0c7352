#include "support/fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace vesk::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 10;
constexpr int kExpectLineTimeOutMs = 5000;

int ListenOnLoopback(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms) > 0;
}

}  // namespace

FakeServer::FakeServer() {
  // OpenSSL writes to the socket with write(), which raises SIGPIPE when the
  // client has gone; the script notes a failed send instead.
  std::signal(SIGPIPE, SIG_IGN);
  listener_ = ListenOnLoopback(port_);
}

FakeServer::~FakeServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (tls_ != nullptr) SSL_free(static_cast<SSL*>(tls_));
  if (tls_context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(tls_context_));
  if (client_ >= 0) ::close(client_);
  if (listener_ >= 0) ::close(listener_);
}

FakeServer& FakeServer::Send(std::string bytes) {
  script_.push_back({Step::Kind::kSend, std::move(bytes)});
  return *this;
}

FakeServer& FakeServer::Pause(int milliseconds) {
  script_.push_back({Step::Kind::kPause, {}, milliseconds});
  return *this;
}

FakeServer& FakeServer::ExpectLine(std::string line) {
  script_.push_back({Step::Kind::kExpectLine, std::move(line)});
  return *this;
}

FakeServer& FakeServer::StartTls(std::string certificate_file, std::string key_file, bool must_succeed) {
  script_.push_back({Step::Kind::kStartTls, std::move(certificate_file), must_succeed ? 1 : 0, std::move(key_file)});
  return *this;
}

FakeServer& FakeServer::Close() {
  script_.push_back({Step::Kind::kClose});
  return *this;
}

FakeServer& FakeServer::Reset() {
  script_.push_back({Step::Kind::kReset});
  return *this;
}

void FakeServer::Start() { thread_ = std::thread([this] { Run(); }); }

void FakeServer::Finish() {
  finishing_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string FakeServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> FakeServer::ReceivedLines() const {
  std::string all = Received();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = all.find('\n', start)) != std::string::npos; start = lf + 1) {
    std::size_t end = (lf > start && all[lf - 1] == '\r') ? lf - 1 : lf;
    lines.push_back(all.substr(start, end - start));
  }
  if (start < all.size()) lines.push_back(all.substr(start));
  return lines;
}

std::vector<std::string> FakeServer::Problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

void FakeServer::Note(std::string problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(std::move(problem));
}

bool FakeServer::AcceptClient() {
  while (!stop_ && !finishing_) {
    if (!WaitReadable(listener_, kSliceMs)) continue;
    client_ = ::accept(listener_, nullptr, nullptr);
    if (client_ >= 0) {
      accepted_ = true;
      return true;
    }
  }
  return false;
}

// Receives what the client has sent within timeout_ms; false at its close.
bool FakeServer::ReceiveSome(int timeout_ms) {
  SSL* ssl = static_cast<SSL*>(tls_);
  if ((ssl == nullptr || SSL_pending(ssl) == 0) && !WaitReadable(client_, timeout_ms)) return true;
  char chunk[4096];
  ssize_t n = ssl ? SSL_read(ssl, chunk, sizeof chunk) : ::recv(client_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  received_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

bool FakeServer::ReadLine(std::string& line, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::size_t lf = received_.find('\n', line_cursor_);
      if (lf != std::string::npos) {
        std::size_t end = (lf > line_cursor_ && received_[lf - 1] == '\r') ? lf - 1 : lf;
        line = received_.substr(line_cursor_, end - line_cursor_);
        line_cursor_ = lf + 1;
        return true;
      }
    }
    if (stop_ || Clock::now() >= deadline) return false;
    if (!ReceiveSome(kSliceMs)) return false;
  }
}

void FakeServer::Drain() {
  for (;;) {
    if (stop_) return;
    const bool last_look = finishing_;
    if (!ReceiveSome(last_look ? 50 : kSliceMs)) return;
    if (last_look && !WaitReadable(client_, 0)) return;
  }
}

bool FakeServer::SendAll(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = tls_ ? SSL_write(static_cast<SSL*>(tls_), bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                     : ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      Note("send failed after " + std::to_string(sent) + " bytes");
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// A blocking handshake, bounded by a receive time-out on the socket.
bool FakeServer::AcceptTls(const Step& step) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  tls_context_ = context;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, step.text.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, step.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    Note("cannot load " + step.text);
    return false;
  }
  timeval limit{5, 0};
  ::setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, client_);
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    if (step.milliseconds != 0) Note("TLS handshake failed");
    return false;
  }
  tls_ = ssl;
  return true;
}

void FakeServer::Run() {
  if (!AcceptClient()) return;
  for (const Step& step : script_) {
    switch (step.kind) {
      case Step::Kind::kSend:
        SendAll(step.text);
        break;
      case Step::Kind::kStartTls:
        if (!AcceptTls(step)) return;
        break;
      case Step::Kind::kPause: {
        const auto until = Clock::now() + std::chrono::milliseconds(step.milliseconds);
        while (!stop_ && Clock::now() < until) {
          // Keep recording what the client sends meanwhile.
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
          ReceiveSome(static_cast<int>(std::min<long long>(left.count(), kSliceMs)));
        }
        break;
      }
      case Step::Kind::kExpectLine: {
        std::string line;
        if (!ReadLine(line, kExpectLineTimeOutMs)) {
          Note("expected \"" + step.text + "\", the client sent no such line");
        } else if (line != step.text) {
          Note("expected \"" + step.text + "\", got \"" + line + "\"");
        }
        break;
      }
      case Step::Kind::kClose:
        ::close(std::exchange(client_, -1));
        return;
      case Step::Kind::kReset: {
        linger abort_on_close{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        ::close(std::exchange(client_, -1));
        return;
      }
    }
  }
  Drain();
}

std::uint16_t UnusedLoopbackPort() {
  std::uint16_t port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

std::string UnresolvableHostName() { return std::string(64, 'u') + ".invalid"; }

}  // namespace vesk::testing
