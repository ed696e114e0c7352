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
#include <memory>
#include <stdexcept>
#include <utility>

namespace vesk::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 10;

int ListenOnLoopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// The line of `text` at `cursor` without its CR LF (or LF), if complete.
bool NextLine(const std::string& text, std::size_t& cursor, std::string& line) {
  const std::size_t lf = text.find('\n', cursor);
  if (lf == std::string::npos) return false;
  line = text.substr(cursor, (lf > cursor && text[lf - 1] == '\r' ? lf - 1 : lf) - cursor);
  cursor = lf + 1;
  return true;
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
  if (client_ >= 0) ::close(client_);
  ::close(listener_);
}

FakeServer& FakeServer::Add(Step step) {
  script_.push_back(std::move(step));
  return *this;
}
FakeServer& FakeServer::Send(std::string bytes) { return Add({Kind::kSend, std::move(bytes)}); }
FakeServer& FakeServer::Pause(int milliseconds) { return Add({Kind::kPause, {}, milliseconds}); }
FakeServer& FakeServer::Stall(int milliseconds) { return Add({Kind::kStall, {}, milliseconds}); }
FakeServer& FakeServer::ExpectLine(std::string line) { return Add({Kind::kExpectLine, std::move(line)}); }
FakeServer& FakeServer::Close() { return Add({Kind::kClose}); }
FakeServer& FakeServer::Reset() { return Add({Kind::kReset}); }
FakeServer& FakeServer::StartTls(std::string certificate_file, std::string key_file) {
  return Add({Kind::kStartTls, std::move(certificate_file), 0, std::move(key_file)});
}

void FakeServer::Start() { thread_ = std::thread([this] { Run(); }); }

void FakeServer::Finish() {
  finishing_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> FakeServer::ReceivedLines() const {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::string all = received_;
  lock.unlock();
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::string line; NextLine(all, at, line);) lines.push_back(line);
  if (at < all.size()) lines.push_back(all.substr(at));
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

// Records what the client sent within timeout_ms; false once it has closed.
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

bool FakeServer::ReadLine(std::string& line) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (NextLine(received_, line_cursor_, line)) return true;
    }
    if (stop_ || Clock::now() >= deadline || !ReceiveSome(kSliceMs)) return false;
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
  // The SSL keeps its own reference to the context.
  const std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context.get(), step.text.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), step.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    Note("cannot load " + step.text);
    return false;
  }
  timeval limit{5, 0};
  ::setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* ssl = SSL_new(context.get());
  SSL_set_fd(ssl, client_);
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    Note("TLS handshake failed");
    return false;
  }
  tls_ = ssl;
  return true;
}

void FakeServer::Run() {
  while (!WaitReadable(listener_, kSliceMs)) {
    if (stop_ || finishing_) return;
  }
  if (stop_ || (client_ = ::accept(listener_, nullptr, nullptr)) < 0) return;
  accepted_ = true;
  for (const Step& step : script_) {
    switch (step.kind) {
      case Kind::kSend:
        SendAll(step.text);
        break;
      case Kind::kStartTls:
        if (!AcceptTls(step)) return;
        break;
      case Kind::kPause:  // keeps recording what the client sends meanwhile
        for (const auto until = Clock::now() + std::chrono::milliseconds(step.milliseconds);
             !stop_ && Clock::now() < until;) {
          ReceiveSome(kSliceMs);
        }
        break;
      case Kind::kStall: {
        const int small = 4096;
        ::setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        for (int waited = 0; !stop_ && waited < step.milliseconds; waited += kSliceMs) {
          std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
        }
        break;
      }
      case Kind::kExpectLine: {
        std::string line;
        if (!ReadLine(line)) {
          Note("expected \"" + step.text + "\", the client sent no such line");
        } else if (line != step.text) {
          Note("expected \"" + step.text + "\", got \"" + line + "\"");
        }
        break;
      }
      case Kind::kReset: {
        linger abort_on_close{1, 0};
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        [[fallthrough]];
      }
      case Kind::kClose:
        ::close(std::exchange(client_, -1));
        return;
    }
  }
  // Drains what the client still sends until it closes or the test finishes.
  while (!stop_) {
    const bool last_look = finishing_;
    if (!ReceiveSome(last_look ? 50 : kSliceMs) || (last_look && !WaitReadable(client_, 0))) return;
  }
}

std::uint16_t UnusedLoopbackPort() {
  std::uint16_t port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

std::string UnresolvableHostName() { return std::string(64, 'u') + ".invalid"; }

}  // namespace vesk::testing
