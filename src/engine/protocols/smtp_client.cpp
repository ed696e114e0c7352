// SMTP client dialogue (RFC 5321; the transaction of section 3.3, the reply
// format of section 4.2, transparency of section 4.5.2; STARTTLS of RFC 3207;
// AUTH of RFC 4954; command pipelining of RFC 2920).

#include "engine/protocols/smtp_client.h"

#include <cstdint>
#include <algorithm>
#include <cstring>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/platform/sockets.h"
#include "engine/protocols/command_line.h"
#include "engine/protocols/dot_terminated_block.h"

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

// RFC 4954 section 4: the AUTH command stays within SMTP's 512-octet command
// line (RFC 5321 section 4.5.3.1.4); an initial response that would make it
// longer (a large token) is sent after the first 334 instead. Servers take
// response lines of up to 12288 octets.
constexpr SaslRules kSaslRules{"AUTH", 512, 0, 3};

// A MAIL or RCPT line with extension parameters: the 512 octets of RFC 5321
// section 4.5.3.1.4, with room for what the extensions add (SIZE 26, ENVID
// and RET 109, NOTIFY and ORCPT well beyond an address in xtext).
constexpr std::size_t kMaxExtendedCommandLine = 2048;

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

}  // namespace

SmtpClient::SmtpClient() : LineSession(kDefaultPort) {}

bool SmtpClient::Refuse(Command command) { return Fail(EntryOf(command).failure); }

// A command line: the template formatted into the command buffer, with any
// extension parameters before its CR LF.
bool SmtpClient::FormatLine(Command command, const std::string& argument, std::string_view parameters,
                            std::string& line) {
  char buffer[kCommandBufferSize];
  if (!FormatWithCallerText(buffer, EntryOf(command).command_template, argument) || HasLineBreakOrNul(parameters)) {
    return Refuse(command);
  }
  line = buffer;
  if (parameters.empty()) return true;
  line.insert(line.size() - 2, parameters);
  // The limit counts the line without its CR LF.
  return FitsCommandLength(line.size() - 2, kMaxExtendedCommandLine - 2);
}

// The one place that sends a command: formats it, hands it to the
// connection and has its reply judged.
bool SmtpClient::Execute(Command command, const std::string& argument, std::string_view parameters) {
  if (EntryOf(command).command_template != nullptr) {
    std::string line;
    if (!FormatLine(command, argument, parameters, line)) return false;
    if (!SendBytes(line)) return false;
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

bool SmtpClient::Accepts(Command command, int code) const {
  const SmtpCommandEntry& entry = EntryOf(command);
  return code == entry.expected_code || (entry.also_accepted_code != 0 && code == entry.also_accepted_code);
}

// The one place that judges a reply: the code of its last line decides.
bool SmtpClient::ReadReply(Command command) {
  const int code = ReadReplyCode(command);
  if (code < 0) return false;
  return Accepts(command, code) || Refuse(command);
}

bool SmtpClient::WantsExtensions() const {
  const Credentials& c = credentials();
  return security().mode != Security::kNone || !c.user.empty() || !c.access_token.empty() ||
         c.method != AuthMethod::kAutomatic || send_options_.WantExtensions();
}

SmtpServerExtensions SmtpClient::server_extensions() const {
  // The first line of the EHLO reply greets; the keywords follow it.
  const std::size_t first = extensions_.find('\n');
  if (first == std::string::npos) return {};
  return SmtpServerExtensions::FromEhloKeywords(std::string_view(extensions_).substr(first + 1));
}

std::string SmtpClient::HeloName() const { return helo_name_.empty() ? LocalHostNameOrFallback() : helo_name_; }

bool SmtpClient::CheckBeforeConnect() {
  std::string line;
  if (!FormatLine(kHelo, HeloName(), {}, line)) return false;
  return credentials().AreSafe() || Fail(kMsgUnsafeCredentials);
}

bool SmtpClient::OpenDialogue() {
  extensions_.clear();  // a new session forgets what an earlier server listed
  const std::string name = HeloName();
  if (!Execute(kGreeting)) return false;
  if (!WantsExtensions()) return Execute(kHelo, name);
  if ((security().mode == Security::kStartTls ? UpgradeAfterGreeting(name) : Greet(name)) &&
      DuringSignIn([this] { return SignIn(); })) {
    return true;
  }
  // RFC 5321 section 4.1.1.10: a session the server still follows ends with
  // QUIT, a refused sign-in too. What went wrong stays the error and the
  // last reply.
  if (ServerStillTalking()) {
    const std::string error = last_error_, reply = last_reply_;
    Execute(kQuit);
    last_error_ = error, last_reply_ = reply;
  }
  return false;
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
  bool listed = false;
  std::size_t position = extensions_.find('\n');  // the first line greets
  while (!listed && position != std::string::npos && position + 1 < extensions_.size()) {
    const std::size_t end = extensions_.find('\n', position + 1);
    const std::string_view line = std::string_view(extensions_).substr(position + 1, end - position - 1);
    // "AUTH=" is the form some servers still send for older clients.
    if (line.size() >= 4 && EqualsIgnoringAsciiCase(line.substr(0, 4), "AUTH") &&
        (line.size() == 4 || line[4] == ' ' || line[4] == '=')) {
      mechanisms = line.substr(std::min<std::size_t>(line.size(), 5));
      listed = true;
    }
    position = end;
  }
  if (!listed) {
    // Servers that keep AUTH back until the connection is protected
    // (RFC 3207 section 4) list STARTTLS instead.
    const bool after_tls = !encrypted() &&
                           ListsCapability(std::string_view(extensions_).substr(extensions_.find('\n') + 1), "STARTTLS");
    return Fail(after_tls ? kMsgAuthOnlyAfterStartTls : kMsgAuthNotOffered);
  }
  AuthMethod method = c.method;
  const OfferedMechanisms offered{true, [&](std::string_view name) { return OffersMechanism(mechanisms, name); }};
  return ChooseOfferedMechanism(c, offered, method, last_error_) && RunSaslExchange(*this, kSaslRules, method, c);
}

// RFC 4954 section 4: the challenges are 334 replies, the final reply 235.
SaslReply SmtpClient::ReadSaslReply() {
  const int code = ReadReplyCode(kAuth);
  if (code < 0) return SaslReply::kBroken;
  if (code == 334) return SaslReply::kChallenge;
  return code == 235 ? SaslReply::kSucceeded : (Refuse(kAuth), SaslReply::kRefused);
}

// RFC 3207: EHLO tells whether STARTTLS is offered; after the handshake the
// client knows nothing of the server and asks again with EHLO (section 4.2).
bool SmtpClient::UpgradeAfterGreeting(const std::string& name) {
  return StartTlsDialogue({
      [&] { return Execute(kEhlo, name); },
      // The first line's text greets; the extensions follow it.
      [&] { return ListsCapability(std::string_view(extensions_).substr(extensions_.find('\n') + 1), "STARTTLS"); },
      [&] { return Refuse(kStartTls); },
      [&] { return Execute(kStartTls); },
      [&] { return Execute(kEhlo, name); },
  });
}

bool SmtpClient::EndDialogue() { return Execute(kQuit); }

bool SmtpClient::Verify(std::string_view mailbox) { return Execute(kVrfy, std::string(mailbox)); }

bool SmtpClient::Expand(std::string_view mailbox) { return Execute(kExpn, std::string(mailbox)); }

void SmtpClient::ResetTransaction() { Execute(kRset); }

bool SmtpClient::Send(std::string_view sender, const std::vector<std::string>& recipients,
                      std::string_view message) {
  refused_.clear();
  // Everything the caller gave is checked before the first command goes out,
  // so a refused argument leaves no half-begun transaction behind.
  std::string line;
  if (!FormatLine(kMail, std::string(sender), {}, line)) return false;
  for (const std::string& recipient : recipients) {
    if (!FormatLine(kRcpt, recipient, {}, line)) return false;
  }
  const SmtpServerExtensions extensions = server_extensions();
  SmtpEnvelope envelope;
  if (!PrepareEnvelope(sender, recipients, message, extensions, send_options_, envelope, last_error_)) return false;
  // The lines as they will go (an A-label is longer than the domain it
  // stands for, parameters lengthen a line): MAIL, the RCPTs, DATA.
  std::vector<std::string> lines(recipients.size() + 2);
  if (!FormatLine(kMail, envelope.sender, envelope.mail_parameters, lines.front())) return false;
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (!FormatLine(kRcpt, envelope.recipients[i], envelope.rcpt_parameters[i], lines[i + 1])) return false;
  }
  if (!FormatLine(kData, std::string(), {}, lines.back())) return false;
  const bool sent = extensions.pipelining && send_options_.pipelining ? SendEnvelopePipelined(lines, recipients)
                                                                      : SendEnvelope(lines, recipients);
  if (!sent) {
    EndFailedTransaction();
    return false;
  }
  const std::uint64_t block_size = DotStuffingStream::BlockSize(message);
  trace().SentBody(block_size);
  DotStuffingStream block([this](std::string_view piece) { return SendBody(piece); });
  return Metered(TransferKind::kSend, block_size, [&](TransferMeter* meter) {
    block.Write(message.data(), message.size());
    if (!meter) return block.EndLastLine(true) && Execute(kEndOfData);
    // The final period goes only after the last report: a transfer stopped
    // there, or anywhere before, delivers nothing.
    if (!block.EndLastLine(false)) return false;
    StopMetering();
    meter->Add(DotStuffingStream::kEndLine.size());
    if (!meter->Finish()) return FailCancelled();
    return SendBody(DotStuffingStream::kEndLine) && Execute(kEndOfData);
  });
}

// RFC 5321 section 4.1.1.5: in the extended dialogue a transaction that
// failed after the server took MAIL is reset, so that the next Send's MAIL
// is not refused as nested. (The plain dialogue sends no RSET.) The
// failure's text and reply stay what the caller reads.
void SmtpClient::EndFailedTransaction() {
  if (!transaction_open_ || extensions_.empty() || !connected()) return;
  const std::string error = last_error_, reply = last_reply_;
  Execute(kRset);
  last_error_ = error;
  last_reply_ = reply;
}

bool SmtpClient::ExecuteLine(Command command, const std::string& line) {
  return SendBytes(line) && ReadReply(command);
}

// MAIL, the RCPTs and DATA one at a time, each reply awaited.
bool SmtpClient::SendEnvelope(const std::vector<std::string>& lines, const std::vector<std::string>& given) {
  transaction_open_ = false;
  if (!ExecuteLine(kMail, lines.front())) return false;
  transaction_open_ = true;
  // A refusal that the transaction goes on after is no failure of Send.
  const std::string earlier_error = last_error_;
  std::size_t taken = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (ExecuteLine(kRcpt, lines[i + 1])) {
      ++taken;
      continue;
    }
    if (!connected()) return false;  // the send or read failed, not the recipient
    refused_.push_back({given[i], last_reply_});
    if (!send_options_.allow_partial_delivery) return FailRecipient(refused_.back());
    last_error_ = earlier_error;
  }
  if (!refused_.empty() && taken == 0) return FailRecipient(refused_.front());
  return ExecuteLine(kData, lines.back());
}

// RFC 2920 section 3.1: MAIL, the RCPTs and DATA (the last command of a
// group) in one send; then the replies, in order, each judged as above.
bool SmtpClient::SendEnvelopePipelined(const std::vector<std::string>& lines, const std::vector<std::string>& given) {
  std::string group;
  for (const std::string& line : lines) group += line;
  if (!SendBytes(group)) return false;  // traced line by line

  const int mail_code = ReadReplyCode(kMail);
  if (mail_code < 0) return false;
  transaction_open_ = Accepts(kMail, mail_code);
  Command failed = transaction_open_ ? kGreeting : kMail;  // kGreeting: nothing failed
  std::string failed_reply = last_reply_;
  std::size_t taken = 0;
  for (const std::string& recipient : given) {
    const int code = ReadReplyCode(kRcpt);
    if (code < 0) return false;
    if (Accepts(kRcpt, code)) {
      ++taken;
    } else if (failed == kGreeting) {  // after a refused MAIL every RCPT fails; that says nothing
      refused_.push_back({recipient, last_reply_});
    }
  }
  const int data_code = ReadReplyCode(kData);
  if (data_code < 0) return false;
  if (failed == kGreeting && !refused_.empty() && (!send_options_.allow_partial_delivery || taken == 0)) {
    failed = kRcpt;
    failed_reply = refused_.front().reply;
  }
  if (failed == kGreeting && !Accepts(kData, data_code)) {
    failed = kData;
    failed_reply = last_reply_;
  }
  if (failed == kGreeting) return true;
  if (Accepts(kData, data_code)) {
    trace().Note("transaction abandoned after DATA: the connection is closed so that nothing is delivered");
    CloseConnection();
  }
  last_reply_ = failed_reply;
  return failed == kRcpt ? FailRecipient(refused_.front()) : Refuse(failed);
}

// The specified words, then which address the server refused and its reply.
bool SmtpClient::FailRecipient(const RefusedRecipient& refused) {
  return FailWith(FormatMessageText(kMsgRecipientRefused, refused.address.c_str(), refused.reply.c_str()));
}

}  // namespace vesk
