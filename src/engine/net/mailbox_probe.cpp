#include "engine/net/mailbox_probe.h"

#include <cstring>

#include "engine/mime/addresses.h"
#include "engine/net/socket_connection.h"
#include "engine/platform/sockets.h"

namespace vesk {
namespace {

constexpr int kReplyServiceReady = 220;
constexpr int kReplyOk = 250;

// Text that goes into a command line must not be able to end it early or
// split its argument.
bool IsSafeCommandArgument(std::string_view text) {
  if (text.size() > kMaxCheckedAddressPart) return false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t' || c == '\v' || c == '\f') {
      return false;
    }
  }
  return true;
}

// The reply code: the decimal number at the start of the line, 0 when none.
int ReplyCode(const char* line) {
  int code = 0;
  for (int digits = 0; digits < 9 && line[digits] >= '0' && line[digits] <= '9'; ++digits) {
    code = code * 10 + (line[digits] - '0');
  }
  return code;
}

// One SMTP dialogue over one connection.
class ProbeDialogue {
 public:
  explicit ProbeDialogue(int timeout_ms) : timeout_ms_(timeout_ms) {}
  ~ProbeDialogue() { connection_.Close(); }

  bool Open(const std::string& host, std::uint16_t port) {
    return connection_.Create() && connection_.ConnectTo(host, port);
  }

  bool Send(std::string_view command) {
    return connection_.SendBytes(command) == static_cast<int>(command.size());
  }

  // The code of the next reply, or -1 when it cannot be read. The lines of a
  // multi-line reply ("250-...", RFC 5321 section 4.2.1) are read up to its
  // last one, so that the next reply starts on a reply of its own.
  int ReadReply() {
    char line[MailboxProbe::kReplyLineSize];
    do {
      if (connection_.ReadResponseLine(line, sizeof line, timeout_ms_) < 0) return -1;
    } while (std::strlen(line) > 3 && line[3] == '-' && ReplyCode(line) >= 100);
    return ReplyCode(line);
  }

  int Command(const std::string& command) { return Send(command) ? ReadReply() : -1; }

 private:
  SocketConnection connection_;
  int timeout_ms_;
};

}  // namespace

bool MailboxProbe::Probe(std::string_view domain, std::string_view local_part) const {
  if (domain.empty() || !IsSafeCommandArgument(domain) || !IsSafeCommandArgument(local_part)) {
    return false;
  }
  char host_name[kHostNameSize];
  if (!sockets::LocalHostName(host_name, sizeof host_name) ||
      !IsSafeCommandArgument(host_name) || host_name[0] == '\0') {
    return false;
  }

  ProbeDialogue dialogue(timeout_ms_);
  if (!dialogue.Open(host_.empty() ? std::string(domain) : host_, port_)) return false;
  if (dialogue.ReadReply() != kReplyServiceReady) return false;
  if (dialogue.Command("HELO " + std::string(host_name) + "\r\n") != kReplyOk) return false;
  const std::string mailbox(local_part);
  if (dialogue.Command("VRFY " + mailbox + "\r\n") == kReplyOk) return true;
  // RFC 5321 section 3.5.3: 252 means "cannot verify"; try the list expansion.
  dialogue.Command("RSET\r\n");
  return dialogue.Command("EXPN " + mailbox + "\r\n") == kReplyOk;
}

bool CheckMailAddress(std::string_view address, int check_mode, const MailboxProbe& probe) {
  AddressParts parts;
  if (!CheckAddressSyntax(address, &parts)) return false;
  if (check_mode == 0) return true;
  return probe.Probe(parts.domain, parts.local_part);
}

}  // namespace vesk
