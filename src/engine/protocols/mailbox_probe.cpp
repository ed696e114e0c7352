#include "engine/protocols/mailbox_probe.h"

#include "engine/mime/addresses.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/smtp_client.h"

namespace vesk {
namespace {

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

}  // namespace

// The dialogue is the SMTP client's: its reply reader, its timed sends and
// its plain HELO session; no QUIT is sent, the client closes the connection
// when it goes.
bool MailboxProbe::Probe(std::string_view domain, std::string_view local_part) const {
  if (domain.empty() || !IsSafeCommandArgument(domain) || !IsSafeCommandArgument(local_part)) {
    return false;
  }
  char host_name[kHostNameSize];
  if (!sockets::LocalHostName(host_name, sizeof host_name) ||
      !IsSafeCommandArgument(host_name) || host_name[0] == '\0') {
    return false;
  }
  SmtpClient dialogue;
  dialogue.set_host(host_.empty() ? std::string(domain) : host_);
  dialogue.set_port(port_);
  dialogue.set_timeout_ms(timeout_ms_);
  dialogue.set_helo_name(host_name);
  if (!dialogue.Connect()) return false;
  if (dialogue.Verify(local_part)) return true;
  // RFC 5321 section 3.5.3: 252 means "cannot verify"; try the list expansion.
  dialogue.ResetTransaction();
  return dialogue.Expand(local_part);
}

bool CheckMailAddress(std::string_view address, int check_mode, const MailboxProbe& probe) {
  AddressParts parts;
  if (!CheckAddressSyntax(address, &parts)) return false;
  if (check_mode == 0) return true;
  return probe.Probe(parts.domain, parts.local_part);
}

}  // namespace vesk
