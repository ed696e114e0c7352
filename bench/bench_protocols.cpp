// The SMTP and POP3 dialogues side by side with curl, against the loopback
// Postfix and Dovecot of tools/mailservers.sh (start them first):
//
//   Send1000/...       1,000 small messages in one SMTP session: SmtpClient
//                      in the plain HELO dialogue (MAIL, RCPT, DATA per
//                      message, each awaiting its reply), with EHLO and the
//                      extensions but PIPELINING switched off, and pipelined
//                      (MAIL, RCPT and DATA in one send), against one curl
//                      run given 1,000 uploads to the same server, which it
//                      sends over one connection, and against Python's
//                      smtplib sending them in one session
//                      (bench/smtplib_send.py). EngineWatched is the plain
//                      dialogue with a progress listener attached, as a
//                      script with an event sink has: it must cost no more
//                      than without (a short send that waits behind a delayed
//                      acknowledgement shows at once).
//   Retrieve1000/...   RETR of messages 1 to 1,000 in one POP3 session:
//                      Pop3Client against one curl run given the 1,000 URLs.
//
// Target: the engine no slower than curl (ratio curl time / engine time of
// 1.0 or more), pipelined well ahead of it. The ratios of the medians are printed at the end. Five
// repetitions of each, interleaved at random.
//
// Before each SMTP run the mailbox is emptied and the server's delivery of
// the previous run has finished, so both sides meet the same idle server.
//
// Run:
//   tools/mailservers.sh start
//   cmake --preset bench && cmake --build --preset bench --target bench_protocols
//   build/bench/bench/bench_protocols
//   build/bench/bench/bench_protocols --send-only=MODE COUNT
//       (MODE plain, extensions or pipelined) sends COUNT messages and does
//       nothing else, for counting socket calls: bench/scripts/socket_calls.sh
//
// Settings as for the tests: VESK_SMTP_PORT (2525), VESK_POP3_PORT (2110),
// VESK_MAIL_USER (vesk), VESK_MAIL_PASSWORD (vesk-pass), VESK_MAIL_ADDRESS
// (vesk@localhost).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/interleaved.h"
#include "support/mail_servers.h"
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"

namespace {

using namespace vesk::bench;

constexpr int kMessages = 1000;
constexpr char kSender[] = "bench@vesk.test";

// About 600 bytes, as a short notification mail has them; one line starts
// with a period so that both sides do the transparency work.
const std::string& SmallMessage() {
  static const std::string message = [] {
    std::string text = "From: Bench <" + std::string(kSender) + ">\r\nTo: <" + Address() +
                       ">\r\nSubject: benchmark message\r\n"
                       "Date: Sun, 6 Dec 2026 10:00:00 +0000\r\n"
                       "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
    for (int line = 0; line < 7; ++line) {
      text += (line == 3 ? "." : "") +
              std::string("The quick brown fox jumps over the lazy dog, line ") +
              std::to_string(line) + ".\r\n";
    }
    return text;
  }();
  return message;
}

void PointAt(vesk::SmtpClient& client) {
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(std::atoi(SmtpPort().c_str())));
}

void PointAt(vesk::Pop3Client& client) {
  client.set_host("127.0.0.1");
  client.set_port(static_cast<std::int16_t>(std::atoi(Pop3Port().c_str())));
  client.set_user(User());
  client.set_password(Password());
}

int CountMessages() {
  vesk::Pop3Client client;
  PointAt(client);
  if (!client.Connect()) return -1;
  const int count = client.message_count();
  client.Disconnect();
  return count;
}

// Waits until the count has stayed at `count` (delivery finished).
bool WaitForCount(int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    if (CountMessages() == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool EmptyMailbox() {
  vesk::Pop3Client client;
  PointAt(client);
  if (!client.Connect()) return false;
  for (int n = 1; n <= client.message_count(); ++n) {
    if (!client.Delete(static_cast<std::int16_t>(n))) return false;
  }
  return client.Disconnect() && CountMessages() == 0;
}

enum class SendMode { kPlain, kExtensions, kPipelined, kWatched };

bool SendWithEngine(int count, SendMode mode = SendMode::kPlain) {
  vesk::SmtpClient client;
  PointAt(client);
  client.send_options().use_extensions = mode == SendMode::kExtensions || mode == SendMode::kPipelined;
  if (mode == SendMode::kWatched) client.progress = [](vesk::TransferKind, std::uint64_t, std::uint64_t) { return true; };
  client.send_options().pipelining = mode == SendMode::kPipelined;
  if (!client.Connect()) return false;
  const std::vector<std::string> recipients = {Address()};
  for (int i = 0; i < count; ++i) {
    if (!client.Send(kSender, recipients, SmallMessage())) return false;
  }
  return client.Disconnect();
}

// A private scratch folder for curl's inputs.
const std::string& ScratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vesk-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

// One curl run over a config file (no shell quoting of 1,000 arguments).
bool RunCurl(const std::string& config_text) {
  const std::string config = ScratchDir() + "/curl.conf";
  std::ofstream(config, std::ios::binary | std::ios::trunc) << config_text;
  return std::system(("curl --silent --show-error --fail --config " + config).c_str()) == 0;
}

std::string CurlSendConfig() {
  const std::string message_file = ScratchDir() + "/message.eml";
  std::ofstream(message_file, std::ios::binary | std::ios::trunc) << SmallMessage();
  std::string config = "mail-from = \"" + std::string(kSender) + "\"\nmail-rcpt = \"" + Address() +
                       "\"\n";
  for (int i = 0; i < kMessages; ++i) {
    config += "upload-file = \"" + message_file + "\"\nurl = \"smtp://127.0.0.1:" + SmtpPort() +
              "\"\n";
  }
  return config;
}

std::string CurlRetrieveConfig() {
  std::string config = "user = \"" + User() + ":" + Password() + "\"\n";
  for (int i = 1; i <= kMessages; ++i) {
    config += "url = \"pop3://127.0.0.1:" + Pop3Port() + "/" + std::to_string(i) +
              "\"\noutput = \"/dev/null\"\n";
  }
  return config;
}

// An empty mailbox and an idle server, outside the timing.
bool PrepareSendRun(benchmark::State& state) {
  state.PauseTiming();
  const bool ready = EmptyMailbox();
  // Let the file system settle after the deletions.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  state.ResumeTiming();
  if (!ready) state.SkipWithError("cannot empty the mailbox: are the servers running?");
  return ready;
}

bool CheckDelivered(benchmark::State& state) {
  state.PauseTiming();
  const bool delivered = WaitForCount(kMessages);
  state.ResumeTiming();
  if (!delivered) state.SkipWithError("the server did not deliver all messages");
  return delivered;
}

void SendRuns(benchmark::State& state, SendMode mode) {
  for (auto _ : state) {
    if (!PrepareSendRun(state)) return;
    if (!SendWithEngine(kMessages, mode)) return state.SkipWithError("SmtpClient failed");
    if (!CheckDelivered(state)) return;
  }
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

void BM_Send1000_Engine(benchmark::State& state) { SendRuns(state, SendMode::kPlain); }
void BM_Send1000_EngineExtensions(benchmark::State& state) { SendRuns(state, SendMode::kExtensions); }
void BM_Send1000_EnginePipelined(benchmark::State& state) { SendRuns(state, SendMode::kPipelined); }
void BM_Send1000_EngineWatched(benchmark::State& state) { SendRuns(state, SendMode::kWatched); }

std::string SmtplibCommand(int count) {
  const std::string message_file = ScratchDir() + "/message.eml";
  std::ofstream(message_file, std::ios::binary | std::ios::trunc) << SmallMessage();
  return "python3 " + std::string(VESK_BENCH_DIR) + "/smtplib_send.py 127.0.0.1 " + SmtpPort() + " " + kSender +
         " " + Address() + " " + message_file + " " + std::to_string(count);
}

void BM_Send1000_Smtplib(benchmark::State& state) {
  const std::string command = SmtplibCommand(kMessages);
  for (auto _ : state) {
    if (!PrepareSendRun(state)) return;
    if (std::system(command.c_str()) != 0) return state.SkipWithError("smtplib failed");
    if (!CheckDelivered(state)) return;
  }
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

void BM_Send1000_Curl(benchmark::State& state) {
  const std::string config = CurlSendConfig();
  for (auto _ : state) {
    if (!PrepareSendRun(state)) return;
    if (!RunCurl(config)) return state.SkipWithError("curl failed");
    if (!CheckDelivered(state)) return;
  }
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

// Exactly kMessages messages in the mailbox (a send run leaves them there).
bool MailboxOfThousand() {
  if (CountMessages() == kMessages) return true;
  return EmptyMailbox() && SendWithEngine(kMessages) && WaitForCount(kMessages);
}

void BM_Retrieve1000_Engine(benchmark::State& state) {
  if (!MailboxOfThousand()) return state.SkipWithError("cannot fill the mailbox");
  std::size_t bytes = 0;
  for (auto _ : state) {
    vesk::Pop3Client client;
    PointAt(client);
    if (!client.Connect()) return state.SkipWithError(client.last_error().c_str());
    for (int n = 1; n <= kMessages; ++n) {
      if (!client.Retrieve(static_cast<std::int16_t>(n))) {
        return state.SkipWithError(client.last_error().c_str());
      }
      bytes += client.retrieved_text().size();
    }
    client.Disconnect();
  }
  benchmark::DoNotOptimize(bytes);
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

void BM_Retrieve1000_Curl(benchmark::State& state) {
  if (!MailboxOfThousand()) return state.SkipWithError("cannot fill the mailbox");
  const std::string config = CurlRetrieveConfig();
  for (auto _ : state) {
    if (!RunCurl(config)) return state.SkipWithError("curl failed");
  }
  state.counters["msg/s"] = benchmark::Counter(kMessages, benchmark::Counter::kIsRate);
}

constexpr int kRepetitions = 5;

BENCHMARK(BM_Send1000_Engine)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Send1000_EngineExtensions)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Send1000_EnginePipelined)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Send1000_EngineWatched)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Send1000_Smtplib)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Send1000_Curl)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Retrieve1000_Engine)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Retrieve1000_Curl)->Iterations(1)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console report, plus the medians kept for the ratios at the end.
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

  void PrintRatios() const {
    for (const char* task : {"BM_Send1000", "BM_Retrieve1000"}) {
      auto curl = medians_.find(std::string(task) + "_Curl");
      auto smtplib = medians_.find(std::string(task) + "_Smtplib");
      for (const char* engine_name : {"_Engine", "_EngineExtensions", "_EnginePipelined", "_EngineWatched"}) {
        auto engine = medians_.find(std::string(task) + engine_name);
        if (engine == medians_.end() || engine->second <= 0) continue;
        std::printf("%-16s %-18s %8.1f ms (%6.0f msg/s)", task + 3, engine_name + 1, engine->second,
                    kMessages * 1000.0 / engine->second);
        if (curl != medians_.end()) std::printf("   curl/engine %.2f", curl->second / engine->second);
        if (smtplib != medians_.end()) std::printf("   smtplib/engine %.2f", smtplib->second / engine->second);
        std::printf("\n");
      }
      for (auto peer : {curl, smtplib}) {
        if (peer == medians_.end()) continue;
        std::printf("%-16s %-18s %8.1f ms (%6.0f msg/s)\n", task + 3, peer->first.c_str() + std::strlen(task) + 1,
                    peer->second, kMessages * 1000.0 / peer->second);
      }
    }
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // One plain send run for counting socket calls, without the benchmark frame.
  if (argc == 3 && std::string(argv[1]).rfind("--send-only=", 0) == 0) {
    const std::string mode = argv[1] + std::strlen("--send-only=");
    const int count = std::atoi(argv[2]);
    if (mode == "smtplib") return std::system(SmtplibCommand(count).c_str()) == 0 ? 0 : 1;
    const SendMode send_mode = mode == "pipelined"    ? SendMode::kPipelined
                               : mode == "extensions" ? SendMode::kExtensions
                                                      : SendMode::kPlain;
    return SendWithEngine(count, send_mode) ? 0 : 1;
  }
  if (!InitializeInterleaved(argc, argv)) return 1;
  if (CountMessages() < 0) {
    std::cerr << "No POP3 server on 127.0.0.1:" << Pop3Port()
              << ": start the servers with tools/mailservers.sh start\n";
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  std::string scratch = ScratchDir();
  std::remove((scratch + "/curl.conf").c_str());
  std::remove((scratch + "/message.eml").c_str());
  ::rmdir(scratch.c_str());
  return 0;
}
