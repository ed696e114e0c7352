// IMAP4 SEARCH answers of growing size, to show that reading them is linear
// in the count of message numbers (a large mailbox answers with one long
// line):
//
//   SearchParse/N      the untagged "* SEARCH n1 n2 ..." line parsed into
//                      numbers, without a connection.
//   SearchDialogue/N   ImapClient::Search over loopback against a server
//                      thread that answers with N numbers: the whole road,
//                      line reading included.
//
// Each reports the fitted complexity over N = 10,000 .. 100,000 (expected:
// O(N)) and a per-number rate; compare the times of the two ends: 100,000
// should take about ten times what 10,000 takes.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/imap_responses.h"

namespace {

std::string SearchLine(std::int64_t count) {
  std::string line = "* SEARCH";
  for (std::int64_t n = 1; n <= count; ++n) line += " " + std::to_string(n * 7);
  return line;
}

void SearchParse(benchmark::State& state) {
  const std::string line = SearchLine(state.range(0));
  std::vector<std::int32_t> numbers;
  for (auto _ : state) {
    numbers.clear();
    vesk::ReadSearchNumbers(line, numbers);
    benchmark::DoNotOptimize(numbers.data());
  }
  if (numbers.size() != static_cast<std::size_t>(state.range(0))) state.SkipWithError("wrong count");
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}
BENCHMARK(SearchParse)->RangeMultiplier(10)->Range(10'000, 100'000)->Arg(50'000)->Complexity(benchmark::oN);

// A loopback IMAP server for one client: greets, says OK to everything, and
// answers SEARCH with the prepared line.
class SearchServer {
 public:
  explicit SearchServer(std::string search_line) : answer_(std::move(search_line) + "\r\n") {
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
  ~SearchServer() {
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  void SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  void Serve() {
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    SendAll(fd, "* OK ready\r\n");
    std::string pending;
    char chunk[4096];
    for (;;) {
      const std::size_t lf = pending.find('\n');
      if (lf == std::string::npos) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      const std::string tag = line.substr(0, line.find(' '));
      if (line.find(" SEARCH ") != std::string::npos) {
        SendAll(fd, answer_ + tag + " OK Search completed.\r\n");
      } else if (line.find(" LOGOUT") != std::string::npos) {
        SendAll(fd, "* BYE\r\n" + tag + " OK Logout completed.\r\n");
        break;
      } else {
        SendAll(fd, tag + " OK done\r\n");
      }
    }
    ::close(fd);
  }

  std::string answer_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

void SearchDialogue(benchmark::State& state) {
  SearchServer server(SearchLine(state.range(0)));
  {
    vesk::ImapClient client;
    client.set_host("127.0.0.1");
    client.set_port(server.port());
    if (!client.Connect()) {
      state.SkipWithError(client.last_error().c_str());
      return;
    }
    for (auto _ : state) {
      if (!client.Search("ALL")) {
        state.SkipWithError(client.last_error().c_str());
        break;
      }
    }
    if (client.search_results().size() != static_cast<std::size_t>(state.range(0))) {
      state.SkipWithError("wrong count");
    }
    client.Disconnect();
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(SearchDialogue)->RangeMultiplier(10)->Range(10'000, 100'000)->Arg(50'000)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
