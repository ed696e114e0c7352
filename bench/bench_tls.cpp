// Encrypted sessions side by side with curl, against the loopback Postfix
// and Dovecot of tools/mailservers.sh (start them first): 1,000 small
// messages sent in one SMTP session, then retrieved in one POP3 session and
// fetched in one IMAP4 session, each over STARTTLS and over implicit TLS, and
// the same work over plain connections by the engine for the cost of TLS.
//
// Reports per task the median of three runs (runs of the sides alternate):
//   curl/engine   curl's time over ours on the same transport (>= 1.0: we
//                 are no slower)
//   tls/plain     our time over TLS against our time in plain text
//
// Run:
//   tools/mailservers.sh start && eval "$(tools/mailservers.sh env | sed 's/^/export /')"
//   cmake --preset bench && cmake --build --preset bench --target bench_tls
//   build/bench/bench/bench_tls

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/protocols/imap_client.h"
#include "engine/protocols/pop3_client.h"
#include "engine/protocols/smtp_client.h"
#include "support/mail_servers.h"

namespace {

using namespace vesk;
using namespace vesk::bench;

constexpr int kMessages = 1000;
constexpr int kRuns = 3;
constexpr char kSender[] = "bench@vesk.test";

std::string CaFile() { return Setting("VESK_TLS_DIR", "") + "/ca.pem"; }

const std::string& SmallMessage() {
  static const std::string message = [] {
    std::string text = "From: <" + std::string(kSender) + ">\r\nTo: <" + Address() + ">\r\nSubject: tls bench\r\n\r\n";
    for (int line = 0; line < 7; ++line) text += (line == 3 ? "." : "") + std::string(60, 'x') + "\r\n";
    return text;
  }();
  return message;
}

// One way of reaching a server: the port setting and the security mode.
struct Transport {
  const char* name;
  Security mode;
  const char* smtp_port;  // names of the port settings
  const char* pop3_port;
  const char* imap_port;
  const char* smtp_scheme;  // curl's URL scheme and options for it
  const char* pop3_scheme;
  const char* imap_scheme;
  const char* curl_options;
};

const Transport kTransports[] = {
    {"plain", Security::kNone, "VESK_SMTP_PORT", "VESK_POP3_PORT", "VESK_IMAP_PORT", "smtp", "pop3", "imap", ""},
    {"starttls", Security::kStartTls, "VESK_SMTP_PORT", "VESK_POP3_PORT", "VESK_IMAP_PORT", "smtp", "pop3", "imap",
     "ssl-reqd\n"},
    {"implicit", Security::kImplicitTls, "VESK_SMTPS_PORT", "VESK_POP3S_PORT", "VESK_IMAPS_PORT", "smtps", "pop3s",
     "imaps", ""},
};

std::string Port(const char* name) { return Setting(name, ""); }

TransportSecurity SecurityOf(const Transport& t) {
  TransportSecurity security;
  security.mode = t.mode;
  security.extra_ca_file = CaFile();
  return security;
}

// The message count; with `empty`, every message is deleted as well.
int CountMessages(bool empty = false) {
  Pop3Client client;
  client.set_host("localhost");
  client.set_port(static_cast<std::int16_t>(std::atoi(Port("VESK_POP3_PORT").c_str())));
  client.set_user(User());
  client.set_password(Password());
  if (!client.Connect()) return -1;
  const int count = client.message_count();
  for (int n = 1; empty && n <= count; ++n) client.Delete(static_cast<std::int16_t>(n));
  client.Disconnect();
  return count;
}

bool EmptyAndWait() {
  CountMessages(true);
  for (int tries = 0; tries < 200; ++tries) {
    if (CountMessages() == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool WaitForAll() {
  for (int tries = 0; tries < 1200; ++tries) {
    if (CountMessages() == kMessages) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool SendWithEngine(const Transport& t) {
  SmtpClient client;
  client.set_host("localhost");
  client.set_port(static_cast<std::int16_t>(std::atoi(Port(t.smtp_port).c_str())));
  client.security() = SecurityOf(t);
  client.set_timeout_ms(20000);
  if (!client.Connect()) return std::fprintf(stderr, "smtp %s: %s\n", t.name, client.last_error().c_str()), false;
  for (int i = 0; i < kMessages; ++i) {
    if (!client.Send(kSender, {Address()}, SmallMessage())) return false;
  }
  return client.Disconnect();
}

bool RetrieveWithEngine(const Transport& t) {
  Pop3Client client;
  client.set_host("localhost");
  client.set_port(static_cast<std::int16_t>(std::atoi(Port(t.pop3_port).c_str())));
  client.set_user(User());
  client.set_password(Password());
  client.security() = SecurityOf(t);
  if (!client.Connect()) return std::fprintf(stderr, "pop3 %s: %s\n", t.name, client.last_error().c_str()), false;
  for (int n = 1; n <= kMessages; ++n) {
    if (!client.Retrieve(static_cast<std::int16_t>(n))) return false;
  }
  return client.Disconnect();
}

bool FetchWithEngine(const Transport& t) {
  ImapClient client;
  client.set_host("localhost");
  client.set_port(static_cast<std::uint16_t>(std::atoi(Port(t.imap_port).c_str())));
  client.set_user(User());
  client.set_password(Password());
  client.security = SecurityOf(t);
  if (!client.Connect() || !client.SelectMailbox(true)) {
    return std::fprintf(stderr, "imap %s: %s\n", t.name, client.last_error().c_str()), false;
  }
  for (int n = 1; n <= kMessages; ++n) {
    if (!client.Retrieve(n)) return false;
  }
  return client.Disconnect();
}

const std::string& ScratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vesk-bench-tls-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return dir;
}

bool RunCurl(const std::string& config_text) {
  const std::string config = ScratchDir() + "/curl.conf";
  std::ofstream(config, std::ios::binary | std::ios::trunc) << config_text;
  return std::system(("curl --silent --show-error --fail --config " + config).c_str()) == 0;
}

std::string CurlCommon(const Transport& t) { return std::string(t.curl_options) + "cacert = \"" + CaFile() + "\"\n"; }

bool SendWithCurl(const Transport& t) {
  const std::string message_file = ScratchDir() + "/message.eml";
  std::ofstream(message_file, std::ios::binary | std::ios::trunc) << SmallMessage();
  std::string config = CurlCommon(t) + "mail-from = \"" + kSender + "\"\nmail-rcpt = \"" + Address() + "\"\n";
  for (int i = 0; i < kMessages; ++i) {
    config += "upload-file = \"" + message_file + "\"\nurl = \"" + t.smtp_scheme + "://localhost:" +
              Port(t.smtp_port) + "\"\n";
  }
  return RunCurl(config);
}

bool RetrieveWithCurl(const Transport& t) {
  std::string config = CurlCommon(t) + "user = \"" + User() + ":" + Password() + "\"\n";
  for (int n = 1; n <= kMessages; ++n) {
    config += "url = \"" + std::string(t.pop3_scheme) + "://localhost:" + Port(t.pop3_port) + "/" +
              std::to_string(n) + "\"\noutput = \"/dev/null\"\n";
  }
  return RunCurl(config);
}

bool FetchWithCurl(const Transport& t) {
  std::string config = CurlCommon(t) + "user = \"" + User() + ":" + Password() + "\"\n";
  for (int n = 1; n <= kMessages; ++n) {
    config += "url = \"" + std::string(t.imap_scheme) + "://localhost:" + Port(t.imap_port) +
              "/INBOX/;MAILINDEX=" + std::to_string(n) + "\"\noutput = \"/dev/null\"\n";
  }
  return RunCurl(config);
}

// Median milliseconds of kRuns runs; `prepare` runs untimed before each.
double Median(const std::function<bool()>& run, const std::function<bool()>& prepare) {
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    if (!prepare()) return -1;
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  if (Setting("VESK_TLS_DIR", "").empty() || CountMessages() < 0) {
    std::fprintf(stderr, "start the servers and export their settings (tools/mailservers.sh start, env)\n");
    return 1;
  }
  struct Task {
    const char* name;
    bool (*engine)(const Transport&);
    bool (*curl)(const Transport&);
    bool sends;
  } tasks[] = {{"send 1000 (SMTP)", SendWithEngine, SendWithCurl, true},
               {"retrieve 1000 (POP3)", RetrieveWithEngine, RetrieveWithCurl, false},
               {"fetch 1000 (IMAP4)", FetchWithEngine, FetchWithCurl, false}};
  const Transport& plain_transport = kTransports[0];
  auto no_preparation = [] { return true; };
  auto empty_mailbox = [] { return EmptyAndWait(); };
  std::printf("%-22s %-9s %10s %10s %12s %10s\n", "task", "transport", "engine ms", "curl ms", "curl/engine",
              "tls/plain");
  for (const Task& task : tasks) {
    if (!task.sends && !(CountMessages() == kMessages || (EmptyAndWait() && SendWithEngine(plain_transport) &&
                                                          WaitForAll()))) {
      std::fprintf(stderr, "cannot fill the mailbox\n");
      return 1;
    }
    const std::function<bool()> prepare = task.sends ? std::function<bool()>(empty_mailbox) : no_preparation;
    double plain = 0;
    for (const Transport& t : kTransports) {
      const double engine = Median([&] { return task.engine(t) && (!task.sends || WaitForAll()); }, prepare);
      const double curl = Median([&] { return task.curl(t) && (!task.sends || WaitForAll()); }, prepare);
      if (t.mode == Security::kNone) plain = engine;
      std::printf("%-22s %-9s %10.1f %10.1f %12.2f %10.2f\n", task.name, t.name, engine, curl,
                  engine > 0 ? curl / engine : 0.0, plain > 0 ? engine / plain : 0.0);
      std::fflush(stdout);
    }
  }
  std::remove((ScratchDir() + "/curl.conf").c_str());
  std::remove((ScratchDir() + "/message.eml").c_str());
  ::rmdir(ScratchDir().c_str());
  return 0;
}
