// SMTP client dialogue (RFC 5321; the transaction of section 3.3, the reply
// format of section 4.2, transparency of section 4.5.2; STARTTLS of RFC 3207;
// AUTH of RFC 4954).

#include "engine/protocols/smtp_client.h"

#include <cstdint>
#include <algorithm>
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
  kAuth,
  kVrfy,
  kRset,
  kExpn,
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
    // Sent by the SASL exchange, which also takes the 334 challenges.
    /* kAuth      */ {nullptr, 235, 0, kMsgAuthFailed},
    // The mailbox probe's; their failures are verdicts, not errors.
    /* kVrfy      */ {"VRFY %s\r\n", 250, 0, kMsgRcptRejected},
    /* kRset      */ {"RSET\r\n", 250, 0, kMsgRcptRejected},
    /* kExpn      */ {"EXPN %s\r\n", 250, 0, kMsgRcptRejected},
};

// RFC 4954 section 4: a server takes AUTH lines of at least 12288 octets.
constexpr SaslRules kSaslRules{"AUTH", 12288, 0, 3};

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

SmtpClient::SmtpClient() : LineSession(kDefaultPort) {}

bool SmtpClient::Refuse(Command command) { return Fail(EntryOf(command).failure); }

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
    if (!SendBytes(buffer)) return false;
  }
  return ReadReply(command);
}

// Reads all lines of one reply, so that the next command meets its own
// reply, and gives the code of the last line (-1 when the read failed).
int SmtpClient::ReadReplyCode(Command command) {
  char line[kCommandBufferSize];
  if (command == kEhlo) extensions_.clear();
  last_reply_.clear();
  do {
    if (!ReadReplyLine(line, sizeof line, command == kGreeting && last_reply_.empty())) return -1;
    last_reply_.append(last_reply_.empty() ? "" : "\r\n").append(line);
    // Every line after the first names one extension (RFC 5321 section 4.1.1.1).
    if (command == kEhlo) extensions_.append(std::strlen(line) > 4 ? line + 4 : "").append("\n");
  } while (ContinuesReply(line));
  return LeadingInteger(line);
}

// The one place that judges a reply: the code of its last line decides.
bool SmtpClient::ReadReply(Command command) {
  const int code = ReadReplyCode(command);
  if (code < 0) return false;
  const SmtpCommandEntry& entry = EntryOf(command);
  if (code == entry.expected_code || (entry.also_accepted_code != 0 && code == entry.also_accepted_code)) {
    return true;
  }
  return Refuse(command);
}

bool SmtpClient::WantsExtensions() const {
  const Credentials& c = credentials();
  return security().mode != Security::kNone || !c.user.empty() || !c.access_token.empty() ||
         c.method != AuthMethod::kAutomatic;
}

std::string SmtpClient::HeloName() const { return helo_name_.empty() ? LocalHostNameOrFallback() : helo_name_; }

bool SmtpClient::CheckBeforeConnect() {
  if (!Fits(kHelo, HeloName())) return Refuse(kHelo);
  return credentials().AreSafe() || Fail(kMsgUnsafeCredentials);
}

bool SmtpClient::OpenDialogue() {
  const std::string name = HeloName();
  if (!Execute(kGreeting)) return false;
  if (!WantsExtensions()) return Execute(kHelo, name);
  if (security().mode == Security::kStartTls ? !UpgradeAfterGreeting(name) : !Greet(name)) return false;
  return SignIn();
}

// EHLO, or HELO when the server does not know EHLO (RFC 5321 section
// 4.1.4: 500 or 502); a server greeted with HELO offers no extensions.
bool SmtpClient::Greet(const std::string& name) {
  if (Execute(kEhlo, name)) return true;
  const int code = LeadingInteger(last_reply_.c_str() + (last_reply_.rfind('\n') + 1));
  if (code != 500 && code != 502) return false;
  extensions_.clear();
  return Execute(kHelo, name);
}

// Chooses the mechanism and runs it. Automatic takes XOAUTH2 when a token is
// given, else PLAIN before LOGIN (the same secret, in one round trip).
bool SmtpClient::SignIn() {
  const Credentials& c = credentials();
  if (c.user.empty() && c.access_token.empty() && c.method == AuthMethod::kAutomatic) return true;
  std::string_view mechanisms;
  bool offered = false;
  std::size_t position = extensions_.find('\n');  // the first line greets
  while (!offered && position != std::string::npos && position + 1 < extensions_.size()) {
    const std::size_t end = extensions_.find('\n', position + 1);
    const std::string_view line = std::string_view(extensions_).substr(position + 1, end - position - 1);
    // "AUTH=" is the form some servers still send for older clients.
    if (line.size() >= 4 && EqualsIgnoringAsciiCase(line.substr(0, 4), "AUTH") &&
        (line.size() == 4 || line[4] == ' ' || line[4] == '=')) {
      mechanisms = line.substr(std::min<std::size_t>(line.size(), 5));
      offered = true;
    }
    position = end;
  }
  if (!offered) {
    // Servers that keep AUTH back until the connection is protected
    // (RFC 3207 section 4) list STARTTLS instead.
    const bool after_tls = !connection_.encrypted() &&
                           ListsCapability(std::string_view(extensions_).substr(extensions_.find('\n') + 1), "STARTTLS");
    return Fail(after_tls ? kMsgAuthOnlyAfterStartTls : kMsgAuthNotOffered);
  }
  AuthMethod method = TokenMechanismOffered(
      c, EffectiveMethod(c), [&](std::string_view name) { return OffersMechanism(mechanisms, name); });
  if (method == AuthMethod::kAutomatic) {
    method = OffersMechanism(mechanisms, "PLAIN")   ? AuthMethod::kPlain
             : OffersMechanism(mechanisms, "LOGIN") ? AuthMethod::kLogin
                                                    : AuthMethod::kPlain;
  }
  if (!OffersMechanism(mechanisms, MechanismName(method))) {
    return FailWith(FormatMessageText(kMsgMechanismNotOffered, MechanismName(method)));
  }
  return HasWhatTheMechanismNeeds(method, c, last_error_) && RunSaslExchange(*this, kSaslRules, method, c);
}

// RFC 4954 section 4: the challenges are 334 replies, the final reply 235.
bool SmtpClient::SendSaslCommand(std::string_view line, std::string_view shown) {
  return SendSecretLine(line, shown);
}

bool SmtpClient::SendSaslResponse(std::string_view line, std::string_view shown) {
  return SendSecretLine(line, shown);
}

SaslReply SmtpClient::ReadSaslReply() {
  const int code = ReadReplyCode(kAuth);
  if (code < 0) return SaslReply::kBroken;
  if (code == 334) return SaslReply::kChallenge;
  return code == 235 ? SaslReply::kSucceeded : (Refuse(kAuth), SaslReply::kRefused);
}

// RFC 3207: EHLO tells whether STARTTLS is offered; after the handshake the
// client knows nothing of the server and asks again with EHLO (section 4.2).
bool SmtpClient::UpgradeAfterGreeting(const std::string& name) {
  if (!Execute(kEhlo, name)) return false;
  // The first line's text greets; the extensions follow it.
  const std::string_view keywords = std::string_view(extensions_).substr(extensions_.find('\n') + 1);
  if (!ListsCapability(keywords, "STARTTLS")) return Refuse(kStartTls);
  return Execute(kStartTls) && Upgrade() && Execute(kEhlo, name);
}

bool SmtpClient::EndDialogue() { return Execute(kQuit); }

bool SmtpClient::Verify(std::string_view mailbox) { return Execute(kVrfy, std::string(mailbox)); }

bool SmtpClient::Expand(std::string_view mailbox) { return Execute(kExpn, std::string(mailbox)); }

void SmtpClient::ResetTransaction() { Execute(kRset); }

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
  const std::string block = DataBlock(message);
  trace().SentBody(block.size());
  return connection_.SendWithin(block, timeout_ms()) >= 0 ? Execute(kEndOfData) : FailWithSocketError();
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
