// SocketConnection side by side with plain sockets on loopback:
//
//   BlockRead/...       a 50 MiB dot-terminated block: ReadDotTerminated
//                       against a recv loop that only drains the same bytes
//                       (the most this machine can move); target: at least
//                       half the raw throughput.
//   RoundTrip/...       one command and one reply line: SendBytes plus
//                       ReadResponseLine against send plus recv up to the LF;
//                       target: within twice the raw time.
//
// The server is a thread of this program on 127.0.0.1 that answers "RETR"
// with the block and anything else with one reply line.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/net/socket_connection.h"

namespace {

constexpr std::size_t kBlockBytes = 50u << 20;
constexpr int kTimeOutMs = 5000;

// Lines as a mail body has them, some with a leading period the server doubled.
const std::string& Block() {
  static const std::string block = [] {
    std::string text;
    text.reserve(kBlockBytes + 80);
    const std::string line = std::string(74, 'm') + "\r\n";
    std::size_t n = 0;
    while (text.size() + 3 < kBlockBytes) {
      if (++n % 50 == 0) text += "..";
      text += line;
    }
    text.resize(kBlockBytes - 3);
    text.resize(text.rfind('\n') + 1);
    text += ".\r\n";
    return text;
  }();
  return block;
}

class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  void Serve() {
    int client = ::accept(listener_, nullptr, nullptr);
    int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string pending;
    char chunk[512];
    for (;;) {
      ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      pending.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos; pending.erase(0, lf + 1)) {
        const std::string& reply = pending.compare(0, 4, "RETR") == 0 ? Block() : kReply;
        for (std::size_t sent = 0; sent < reply.size();) {
          ssize_t m = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
          if (m <= 0) break;
          sent += static_cast<std::size_t>(m);
        }
      }
    }
    ::close(client);
  }

  inline static const std::string kReply = "250 2.0.0 Ok\r\n";
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

int RawConnect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect failed");
  }
  return fd;
}

void BM_BlockRead_ReadDotTerminated(benchmark::State& state) {
  LoopbackServer server;
  vesk::SocketConnection connection;
  connection.Create();
  connection.ConnectTo("127.0.0.1", server.port());
  std::string text;
  for (auto _ : state) {
    connection.SendBytes("RETR\r\n");
    if (!ReadDotTerminated(connection, text, kTimeOutMs)) {
      state.SkipWithError("ReadDotTerminated failed");
      break;
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Block().size()));
  connection.Close();
}

void BM_BlockRead_RawRecvLoop(benchmark::State& state) {
  LoopbackServer server;
  int fd = RawConnect(server.port());
  std::string buffer(64 * 1024, '\0');
  for (auto _ : state) {
    ::send(fd, "RETR\r\n", 6, MSG_NOSIGNAL);
    std::size_t total = 0;
    while (total < Block().size()) {
      ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Block().size()));
  ::close(fd);
}

void BM_RoundTrip_SendBytesAndReadResponseLine(benchmark::State& state) {
  LoopbackServer server;
  vesk::SocketConnection connection;
  connection.Create();
  connection.ConnectTo("127.0.0.1", server.port());
  char line[260];
  for (auto _ : state) {
    connection.SendBytes("NOOP\r\n");
    if (connection.ReadResponseLine(line, sizeof line, kTimeOutMs) < 0) {
      state.SkipWithError("ReadResponseLine failed");
      break;
    }
  }
  connection.Close();
}

void BM_RoundTrip_RawPingPong(benchmark::State& state) {
  LoopbackServer server;
  int fd = RawConnect(server.port());
  char buffer[260];
  for (auto _ : state) {
    ::send(fd, "NOOP\r\n", 6, MSG_NOSIGNAL);
    std::size_t total = 0;
    while (total == 0 || buffer[total - 1] != '\n') {
      ssize_t n = ::recv(fd, buffer + total, sizeof buffer - total, 0);
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
}

}  // namespace

BENCHMARK(BM_BlockRead_ReadDotTerminated)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlockRead_RawRecvLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_SendBytesAndReadResponseLine)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_RawPingPong)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
