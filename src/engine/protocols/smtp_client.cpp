// SMTP client dialogue (RFC 5321; the transaction of section 3.3, the reply
// format of section 4.2, transparency of section 4.5.2; STARTTLS of RFC 3207).

#include "engine/protocols/smtp_client.h"

#include <cstdint>
#include <cstring>

#include "engine/common/ascii.h"
#include "engine/common/messages.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/command_line.h"

namespace vesk {

enum SmtpClient::Command : int {
  kGreeting,
  kHelo,
  kMail,
  kRcpt,
  kData,
  kQuit,
  kEndOfData,
  kEhlo,
  kStartTls,
};

namespace {

constexpr std::size_t kHostNameSize = 80;

// One step of the dialogue: what is sent (nothing for a null template), the
// reply codes that let it succeed (0: no second code) and the message that
// describes any other reply.
struct SmtpCommandEntry {
  const char* command_template;
  int expected_code;
  int also_accepted_code;
  MessageId failure;
};

constexpr SmtpCommandEntry kSmtpCommandTable[] = {
    /* kGreeting  */ {nullptr, 220, 0, kMsgBadConnection},
    /* kHelo      */ {"HELO %s\r\n", 250, 0, kMsgHeloRejected},
    /* kMail      */ {"MAIL From: <%s>\r\n", 250, 0, kMsgMailFromRejected},
    // 251 "user not local; will forward" is as positive as 250 (section 4.2.2).
    /* kRcpt      */ {"RCPT TO: <%s>\r\n", 250, 251, kMsgRcptRejected},
    /* kData      */ {"DATA\r\n", 354, 0, kMsgDataFailed},
    /* kQuit      */ {"QUIT\r\n", 221, 0, kMsgQuitFailed},
    /* kEndOfData */ {nullptr, 250, 0, kMsgEndOfDataRejected},
    /* kEhlo      */ {"EHLO %s\r\n", 250, 0, kMsgHeloRejected},
    /* kStartTls  */ {"STARTTLS\r\n", 220, 0, kMsgStartTlsNotOffered},
};

const SmtpCommandEntry& EntryOf(int command) { return kSmtpCommandTable[command]; }

// A line of a multi-line reply other than its last: three digits and a
// hyphen (section 4.2.1). The last line has a space, or nothing, after the code.
bool ContinuesReply(const char* line) {
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  return line[3] == '-';
}

std::string LocalHostNameOrFallback() {
  char name[kHostNameSize];
  if (!sockets::LocalHostName(name, sizeof name) || name[0] == '\0') return "localhost";
  return name;
}

// Appends a piece of a line, with one more period in front when the piece
// starts the line and begins with a period.
void AppendLineText(std::string& out, std::string_view text, bool at_line_start) {
  if (at_line_start && !text.empty() && text.front() == '.') out.push_back('.');
  out.append(text);
}

}  // namespace

SmtpClient::SmtpClient() { connection_.Create(); }

bool SmtpClient::Refuse(Command command) {
  last_error_ = MessageText(EntryOf(command).failure);
  return false;
}

bool SmtpClient::Fits(Command command, std::string_view argument) const {
  if (!IsSafeCommandText(argument)) return false;
  char buffer[kCommandBufferSize];
  return FormatCommand(buffer, EntryOf(command).command_template, std::string(argument).c_str());
}

// The one place that sends a command: formats it into the command buffer,
// hands it to the connection and has its reply judged.
bool SmtpClient::Execute(Command command, const std::string& argument) {
  const SmtpCommandEntry& entry = EntryOf(command);
  if (entry.command_template != nullptr) {
    char buffer[kCommandBufferSize];
    if (!IsSafeCommandText(argument) ||
        !FormatCommand(buffer, entry.command_template, argument.c_str())) {
      return Refuse(command);
    }
    if (!SendCommandBytes(buffer)) return false;
  }
  return ReadReply(command);
}

// The one place that judges a reply: all lines of a multi-line reply are read
// so that the next command meets its own reply, and the code of the last line
// decides.
bool SmtpClient::ReadReply(Command command) {
  char line[kCommandBufferSize];
  if (command == kEhlo) extensions_.clear();
  do {
    if (connection_.ReadResponseLine(line, sizeof line, timeout_ms_) < 0) {
      last_error_ = connection_.FailureText();
      return false;
    }
    // Every line after the first names one extension (RFC 5321 section 4.1.1.1).
    if (command == kEhlo) extensions_.append(std::strlen(line) > 4 ? line + 4 : "").append("\n");
  } while (ContinuesReply(line));
  const SmtpCommandEntry& entry = EntryOf(command);
  const std::int32_t code = LeadingInteger(line);
  if (code == entry.expected_code ||
      (entry.also_accepted_code != 0 && code == entry.also_accepted_code)) {
    return true;
  }
  return Refuse(command);
}

bool SmtpClient::Connect() {
  const std::string name = helo_name_.empty() ? LocalHostNameOrFallback() : helo_name_;
  if (!Fits(kHelo, name)) return Refuse(kHelo);
  if (!connection_.Open(host_, static_cast<std::uint16_t>(port_))) {
    last_error_ = MessageText(kMsgCannotConnect);
    return false;
  }
  // A session that did not open fully is closed, so that Connect can be
  // called again.
  if (!Greet(name)) {
    connection_.Close();
    return false;
  }
  return true;
}

bool SmtpClient::Greet(const std::string& name) {
  if (security_.mode == Security::kImplicitTls && !Upgrade()) return false;
  if (!Execute(kGreeting)) return false;
  if (security_.mode == Security::kStartTls) return UpgradeAfterGreeting(name);
  return Execute(kHelo, name);
}

// A send that fails (the server reset the connection, or stopped reading for
// the whole time-out) is reported at once; the session has ended then.
bool SmtpClient::SendCommandBytes(std::string_view bytes) {
  if (connection_.SendWithin(bytes, timeout_ms_) >= 0) return true;
  last_error_ = connection_.FailureText();
  return false;
}

bool SmtpClient::Upgrade() { return UpgradeToTls(connection_, host_, security_, timeout_ms_, last_error_); }

// RFC 3207: EHLO tells whether STARTTLS is offered; after the handshake the
// client knows nothing of the server and asks again with EHLO (section 4.2).
// A failure closes the connection, so nothing follows in plain text.
bool SmtpClient::UpgradeAfterGreeting(const std::string& name) {
  bool upgraded = Execute(kEhlo, name);
  if (upgraded) {
    // The first line's text greets; the extensions follow it.
    const std::string_view keywords = std::string_view(extensions_).substr(extensions_.find('\n') + 1);
    upgraded = ListsCapability(keywords, "STARTTLS") ? Execute(kStartTls) && Upgrade() : Refuse(kStartTls);
  }
  if (!upgraded) {
    connection_.Close();
    return false;
  }
  return Execute(kEhlo, name);
}

// The session ends whatever the reply: the caller is done with it.
bool SmtpClient::Disconnect() {
  const bool quit = Execute(kQuit);
  connection_.Close();
  return quit;
}

bool SmtpClient::Send(std::string_view sender, const std::vector<std::string>& recipients,
                      std::string_view message) {
  // Everything the caller gave is checked before the first command goes out,
  // so a refused argument leaves no half-begun transaction behind.
  if (!Fits(kMail, sender)) return Refuse(kMail);
  for (const std::string& recipient : recipients) {
    if (!Fits(kRcpt, recipient)) return Refuse(kRcpt);
  }
  if (!Execute(kMail, std::string(sender))) return false;
  for (const std::string& recipient : recipients) {
    if (!Execute(kRcpt, recipient)) return false;
  }
  if (!Execute(kData)) return false;
  return SendCommandBytes(DataBlock(message)) && Execute(kEndOfData);
}

namespace {

// Whether a header line begins a Bcc or Resent-Bcc field.
bool BeginsBlindCopyField(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && IsSpaceOrTab(name.back())) name.remove_suffix(1);
  return EqualsIgnoringAsciiCase(name, "bcc") || EqualsIgnoringAsciiCase(name, "resent-bcc");
}

}  // namespace

std::string SmtpClient::DataBlock(std::string_view message) {
  std::string out;
  out.reserve(message.size() + message.size() / 16 + 8);
  bool at_line_start = true;
  bool in_header = true;      // until the first empty line
  bool leaving_out = false;   // inside a Bcc field (its first line or a continuation)
  std::size_t position = 0;
  while (position < message.size()) {
    const std::size_t line_end = message.find_first_of("\r\n", position);
    const std::string_view line =
        message.substr(position, line_end == std::string_view::npos ? std::string_view::npos : line_end - position);
    if (in_header) {
      if (line.empty()) {
        in_header = leaving_out = false;
      } else if (!IsSpaceOrTab(line.front())) {
        leaving_out = BeginsBlindCopyField(line);
      }
    }
    if (leaving_out) {
      if (line_end == std::string_view::npos) break;
      position = line_end + 1;
      if (message[line_end] == '\r' && position < message.size() && message[position] == '\n') ++position;
      continue;
    }
    if (line_end == std::string_view::npos) {
      AppendLineText(out, line, at_line_start);
      break;
    }
    AppendLineText(out, line, at_line_start);
    // CR LF, a CR alone and an LF alone each end one line; all go out as CR LF.
    out.append("\r\n");
    position = line_end + 1;
    if (message[line_end] == '\r' && position < message.size() && message[position] == '\n') {
      ++position;
    }
    at_line_start = true;
  }
  // The end-of-data line (RFC 5321 section 4.1.1.4): the CR LF that ends the
  // message's last line is the first half of CR LF . CR LF, so only a message
  // without a final line end gets one more; otherwise the message would
  // arrive with an empty line added.
  out.append(out.empty() || out.ends_with("\r\n") ? ".\r\n" : "\r\n.\r\n");
  return out;
}

}  // namespace vesk
