// IMAP4 fetching side by side with curl, against the loopback Dovecot of
// tools/mailservers.sh (start it first):
//
//   Retrieve1000/Engine   one ImapClient session: Connect (greeting, LOGIN,
//                         root LIST), SELECT, Retrieve (FETCH n:n RFC822) of
//                         messages 1 to 1,000, LOGOUT.
//   Retrieve1000/Curl     one curl run given the 1,000 URLs
//                         imap://127.0.0.1:port/VeskBench;MAILINDEX=n, which
//                         it fetches over one connection (one LOGIN, one
//                         SELECT, then FETCH n BODY[] for each).
//
// Both fetch every message whole and check nothing else. Target: the engine
// no slower than curl (ratio curl time / engine time of 1.0 or more); the
// ratio of the medians is printed at the end. Seven repetitions of each,
// interleaved at random.
//
// The messages live in a mailbox of their own, "VeskBench", so the INBOX of
// the POP3 benchmark and of the tests is left alone. It is filled with APPEND
// (outside the timing) when it does not hold exactly 1,000 messages, and each
// message is fetched once before the timed runs so that all are seen; the
// messages are about 2 KB each, a short MIME mail with a small attachment.
//
// Run:
//   tools/mailservers.sh start
//   cmake --preset bench && cmake --build --preset bench --target bench_imap_dovecot
//   build/bench/bench/bench_imap_dovecot
//
// Settings as for the tests: VESK_IMAP_PORT (2143), VESK_MAIL_USER (vesk),
// VESK_MAIL_PASSWORD (vesk-pass).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/interleaved.h"
#include "support/mail_servers.h"
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "engine/protocols/imap_client.h"

namespace {

using namespace vesk::bench;

constexpr int kMessages = 1000;
constexpr char kMailbox[] = "VeskBench";

void PointAt(vesk::ImapClient& client) {
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::uint16_t>(std::atoi(ImapPort().c_str())));
  client.set_user(User());
  client.set_password(Password());
  client.SetMailboxNameFromClient(kMailbox);
}

// Message i: a text part and a base64 attachment of about 1 KB.
std::string BenchMessage(int i) {
  std::string text =
      "From: Bench <bench@vesk.test>\r\nTo: <vesk@localhost>\r\nSubject: benchmark message " +
      std::to_string(i) +
      "\r\nDate: Sun, 6 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
  for (int line = 0; line < 7; ++line) {
    text += "The quick brown fox jumps over the lazy dog, line " + std::to_string(line) + ".\r\n";
  }
  text += "--b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  for (int line = 0; line < 18; ++line) text += std::string(76, "ABCDEFGH"[(i + line) % 8]) + "\r\n";
  text += "--b--\r\n";
  return text;
}

// Fetches every message once, outside the timing: the first fetch of a
// message makes the server store its \Seen flag, which whichever side came
// first would otherwise pay for.
bool FetchAllOnce(vesk::ImapClient& client) {
  if (!client.SelectMailbox(false)) return false;
  for (int n = 1; n <= kMessages; ++n) {
    if (!client.Retrieve(n)) return false;
  }
  return true;
}

// The mailbox holds exactly kMessages messages, appended here if it does not,
// all of them seen.
bool MailboxOfThousand() {
  vesk::ImapClient client;
  PointAt(client);
  if (!client.Connect()) {
    std::cerr << "IMAP Connect: " << client.last_error() << '\n';
    return false;
  }
  if (client.UpdateStatus() && client.message_count() == kMessages) {
    return FetchAllOnce(client) && client.Disconnect();
  }
  client.DeleteMailbox(kMailbox);  // absent or of another size
  if (!client.CreateMailbox(kMailbox)) {
    std::cerr << "CREATE: " << client.last_error() << '\n';
    return false;
  }
  for (int i = 1; i <= kMessages; ++i) {
    if (!client.AppendMessage(kMailbox, BenchMessage(i))) {
      std::cerr << "APPEND: " << client.last_error() << '\n';
      return false;
    }
  }
  return client.UpdateStatus() && client.message_count() == kMessages && FetchAllOnce(client) &&
         client.Disconnect();
}

// A private scratch folder for curl's config.
const std::string& ScratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vesk-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

std::string CurlConfigPath() { return ScratchDir() + "/curl-imap.conf"; }

void WriteCurlConfig() {
  std::string config = "user = \"" + User() + ":" + Password() + "\"\n";
  for (int i = 1; i <= kMessages; ++i) {
    config += "url = \"imap://127.0.0.1:" + ImapPort() + "/" + kMailbox + ";MAILINDEX=" + std::to_string(i) +
              "\"\noutput = \"/dev/null\"\n";
  }
  std::ofstream(CurlConfigPath(), std::ios::binary | std::ios::trunc) << config;
}

void BM_Retrieve1000_Engine(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    vesk::ImapClient client;
    PointAt(client);
    if (!client.Connect() || !client.SelectMailbox(false)) {
      return state.SkipWithError(client.last_error().c_str());
    }
    for (int n = 1; n <= kMessages; ++n) {
      if (!client.Retrieve(n)) return state.SkipWithError(client.last_error().c_str());
      bytes += client.message_text().size();
    }
    if (!client.Disconnect()) return state.SkipWithError(client.last_error().c_str());
  }
  if (bytes < static_cast<std::size_t>(kMessages) * 2000) state.SkipWithError("messages came back short");
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
  state.counters["KB/run"] = static_cast<double>(bytes) / 1024.0;
}

void BM_Retrieve1000_Curl(benchmark::State& state) {
  const std::string command = "curl --silent --show-error --fail --config " + CurlConfigPath();
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) return state.SkipWithError("curl failed");
  }
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

constexpr int kRepetitions = 7;

BENCHMARK(BM_Retrieve1000_Engine)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Retrieve1000_Curl)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console report, plus the medians kept for the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || run.repetitions <= 1) medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatio() const {
    auto engine = medians_.find("BM_Retrieve1000_Engine");
    auto curl = medians_.find("BM_Retrieve1000_Curl");
    if (engine == medians_.end() || curl == medians_.end() || engine->second <= 0) return;
    std::printf("IMAP Retrieve1000  engine %8.1f ms   curl %8.1f ms   ratio curl/engine %.2f (target >= 1.0)\n",
                engine->second, curl->second, curl->second / engine->second);
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!InitializeInterleaved(argc, argv)) return 1;
  if (!MailboxOfThousand()) {
    std::cerr << "Cannot prepare " << kMailbox << " on 127.0.0.1:" << ImapPort()
              << ": start the servers with tools/mailservers.sh start\n";
    return 1;
  }
  WriteCurlConfig();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  std::remove(CurlConfigPath().c_str());
  ::rmdir(ScratchDir().c_str());
  return 0;
}
