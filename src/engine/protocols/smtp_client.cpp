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
    // Sent by Authenticate, which also takes the 334 challenges.
    /* kAuth      */ {nullptr, 235, 0, kMsgAuthFailed},
};

// RFC 4954 section 4: a server takes AUTH lines of at least 12288 octets.
constexpr std::size_t kMaxAuthLine = 12288;

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

bool SmtpClient::Refuse(Command command) { return Fail(EntryOf(command).failure); }

bool SmtpClient::Fail(MessageId message) {
  last_error_ = MessageText(message);
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
    trace_.Sent(buffer);
    if (!SendCommandBytes(buffer)) return false;
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
    if (connection_.ReadResponseLine(line, sizeof line, timeout_ms_) < 0) {
      last_error_ = connection_.FailureText();
      return -1;
    }
    trace_.Received(line);
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
  return security_.mode != Security::kNone || !credentials_.user.empty() || !credentials_.access_token.empty() ||
         credentials_.method != AuthMethod::kAutomatic;
}

bool SmtpClient::Connect() {
  const std::string name = helo_name_.empty() ? LocalHostNameOrFallback() : helo_name_;
  if (!Fits(kHelo, name)) return Refuse(kHelo);
  if (!credentials_.AreSafe()) return Fail(kMsgUnsafeCredentials);
  last_reply_.clear();
  if (!connection_.Open(host_, static_cast<std::uint16_t>(port_))) {
    last_error_ = MessageText(kMsgCannotConnect);
    trace_.Note("cannot connect to " + host_ + ":" + std::to_string(static_cast<std::uint16_t>(port_)));
    return false;
  }
  trace_.Note("connected to " + host_ + ":" + std::to_string(static_cast<std::uint16_t>(port_)));
  // A session that did not open fully is closed, so that Connect can be
  // called again.
  if (!OpenSession(name)) {
    connection_.Close();
    return false;
  }
  return true;
}

bool SmtpClient::OpenSession(const std::string& name) {
  if (security_.mode == Security::kImplicitTls && !Upgrade()) return false;
  if (!Execute(kGreeting)) return false;
  if (!WantsExtensions()) return Execute(kHelo, name);
  if (security_.mode == Security::kStartTls ? !UpgradeAfterGreeting(name) : !Greet(name)) return false;
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
  const Credentials& c = credentials_;
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
  if (!offered) return Fail(kMsgAuthNotOffered);
  AuthMethod method = c.method;
  if (method == AuthMethod::kAutomatic) {
    method = !c.access_token.empty()                ? AuthMethod::kXOAuth2
             : OffersMechanism(mechanisms, "PLAIN") ? AuthMethod::kPlain
             : OffersMechanism(mechanisms, "LOGIN") ? AuthMethod::kLogin
                                                    : AuthMethod::kPlain;
  }
  if (!OffersMechanism(mechanisms, MechanismName(method))) {
    last_error_ = FormatMessageText(kMsgMechanismNotOffered, MechanismName(method));
    return false;
  }
  if (method == AuthMethod::kXOAuth2 ? c.user.empty() || c.access_token.empty() : c.user.empty() || c.password.empty()) {
    if (method == AuthMethod::kXOAuth2) return Fail(kMsgAccessTokenNeeded);
    last_error_ = FormatMessageText(kMsgPasswordNeeded, MechanismName(method));
    return false;
  }
  return Authenticate(method);
}

// RFC 4954 section 4: AUTH with the initial response where the mechanism
// has one, then one response per 334 challenge. A challenge beyond the
// prepared responses is answered "*" (cancel), or with an empty line for
// XOAUTH2, whose challenge carries the server's error and waits for that.
bool SmtpClient::Authenticate(AuthMethod method) {
  std::string command = std::string("AUTH ") + MechanismName(method);
  std::vector<std::string> responses;
  if (method == AuthMethod::kPlain) command += " " + PlainResponse(credentials_);
  if (method == AuthMethod::kXOAuth2) command += " " + XOAuth2Response(credentials_);
  if (method == AuthMethod::kLogin) {
    responses.push_back(Base64Text(credentials_.user));
    responses.push_back(Base64Text(credentials_.password));
  }
  bool succeeded = false;
  if (command.size() + 2 > kMaxAuthLine) {
    last_error_ = FormatMessageText(kMsgCommandTooLong, static_cast<int>(kMaxAuthLine - 2));
  } else {
    trace_.Sent(method == AuthMethod::kLogin ? command : std::string("AUTH ") + MechanismName(method) + " ***");
    // A failed send has ended the session: its error stands.
    bool settled = SendSecretLine(connection_, command, timeout_ms_) < 0;
    std::size_t next = 0;
    for (int round = 0; round < 4 && !settled; ++round) {
      const int code = ReadReplyCode(kAuth);
      settled = code != 334;
      if (settled) {
        succeeded = code == 235 || (code >= 0 && Refuse(kAuth));
        break;
      }
      const bool secret = next < responses.size();
      const std::string_view answer = secret                           ? std::string_view(responses[next++])
                                      : method == AuthMethod::kXOAuth2 ? ""
                                                                       : "*";
      trace_.Sent(secret ? ProtocolTrace::kHidden : answer);
      settled = SendSecretLine(connection_, answer, timeout_ms_) < 0;
    }
    if (settled && !connection_.connected()) last_error_ = connection_.FailureText();
    if (!settled) Refuse(kAuth);
  }
  WipeText(command);
  for (std::string& response : responses) WipeText(response);
  return succeeded;
}

bool SmtpClient::Upgrade() {
  const bool upgraded = UpgradeToTls(connection_, host_, security_, timeout_ms_, last_error_);
  trace_.Note(upgraded ? "TLS: " + connection_.TlsDescription() : last_error_);
  return upgraded;
}

// A send that fails (the server reset the connection, or stopped reading for
// the whole time-out) is reported at once; the session has ended then.
bool SmtpClient::SendCommandBytes(std::string_view bytes) {
  if (connection_.SendWithin(bytes, timeout_ms_) >= 0) return true;
  last_error_ = connection_.FailureText();
  return false;
}

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
                      std::string_view message, MessageForm form) {
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
  const std::string block = form == MessageForm::kWireReady ? DotStuffedBlock(message) : DataBlock(message);
  trace_.SentBody(block.size());
  return SendCommandBytes(block) && Execute(kEndOfData);
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

std::string SmtpClient::DotStuffedBlock(std::string_view message) {
  std::string out;
  out.reserve(message.size() + message.size() / 64 + 8);
  // RFC 5321 section 4.5.2: a line that starts with a period gets one more.
  std::size_t position = 0;
  while (position < message.size()) {
    if (message[position] == '.') out += '.';
    const std::size_t line_end = message.find("\r\n", position);
    const std::size_t next = line_end == std::string_view::npos ? message.size() : line_end + 2;
    out.append(message.substr(position, next - position));
    position = next;
  }
  out.append(out.empty() || out.ends_with("\r\n") ? ".\r\n" : "\r\n.\r\n");
  return out;
}

}  // namespace vesk
