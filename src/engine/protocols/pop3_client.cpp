// POP3 client dialogue (RFC 1939; status lines and multi-line responses of
// section 3, the commands of sections 5 to 7; CAPA of RFC 2449, STLS of
// RFC 2595; AUTH of RFC 5034).

#include "engine/protocols/pop3_client.h"

#include <algorithm>
#include <cstring>

#include "engine/common/ascii.h"
#include "engine/common/messages.h"
#include "engine/protocols/command_line.h"

namespace vesk {

enum Pop3Client::Command : int {
  kGreeting,
  kUser,
  kPass,
  kQuit,
  kDele,
  kRset,
  kStat,
  kNoop,
  kList,
  kRetr,
  kTop,
  kCapa,
  kStls,
  kUidl,
  kUidlAll,
};

namespace {

// One step of the dialogue: what is sent (nothing for a null template) and
// the message that describes a negative status line.
struct Pop3CommandEntry {
  const char* command_template;
  MessageId failure;
};

constexpr Pop3CommandEntry kPop3CommandTable[] = {
    /* kGreeting */ {nullptr, kMsgBadConnection},
    /* kUser     */ {"USER %s\r\n", kMsgBadUserNameOnUser},
    /* kPass     */ {"PASS %s\r\n", kMsgBadPassword},
    /* kQuit     */ {"QUIT\r\n", kMsgQuitFailed},
    /* kDele     */ {"DELE %d\r\n", kMsgDeleFailed},
    /* kRset     */ {"RSET\r\n", kMsgRsetFailed},
    /* kStat     */ {"STAT\r\n", kMsgStatFailed},
    /* kNoop     */ {"NOOP\r\n", kMsgNoopFailed},
    /* kList     */ {"LIST %d\r\n", kMsgListFailed},
    /* kRetr     */ {"RETR %d\r\n", kMsgRetrFailed},
    /* kTop      */ {"TOP %d %d\r\n", kMsgTopFailed},
    /* kCapa     */ {"CAPA\r\n", kMsgStartTlsNotOffered},
    /* kStls     */ {"STLS\r\n", kMsgStartTlsNotOffered},
    /* kUidl     */ {"UIDL %d\r\n", kMsgUidlFailed},
    /* kUidlAll  */ {"UIDL\r\n", kMsgUidlFailed},
};

const Pop3CommandEntry& EntryOf(int command) { return kPop3CommandTable[command]; }

bool IsNegativeStatus(const char* line) {
  return std::strlen(line) >= 4 && EqualsIgnoringAsciiCase(std::string_view(line, 4), "-ERR");
}

// The text after the n-th space or tab of a line (n from 1), or nullptr when
// the line has fewer.
const char* AfterBlank(const char* line, int n) {
  for (; *line != '\0'; ++line) {
    if (IsSpaceOrTab(*line) && --n == 0) return line + 1;
  }
  return nullptr;
}

// "USER name" and "PASS secret" take the caller's text whole: it must not be
// able to end the line, and the line must fit the command buffer.
bool CredentialFits(const char* command_template, const std::string& text) {
  char buffer[kCommandBufferSize];
  return IsSafeCommandText(text) && FormatCommand(buffer, command_template, text.c_str());
}

}  // namespace

Pop3Client::Pop3Client() { connection_.Create(); }

bool Pop3Client::Refuse(Command command) { return Fail(EntryOf(command).failure); }

bool Pop3Client::Fail(MessageId message) {
  last_error_ = MessageText(message);
  return false;
}

// The one place that sends a command: formats it into the command buffer,
// hands it to the connection and has its status line judged.
template <typename... Args>
bool Pop3Client::Execute(Command command, Args... args) {
  const Pop3CommandEntry& entry = EntryOf(command);
  if (entry.command_template != nullptr) {
    char buffer[kCommandBufferSize];
    if (!FormatCommand(buffer, entry.command_template, args...)) return Refuse(command);
    trace_.Sent(command == kPass ? "PASS ***" : buffer);
    // A failed send is reported at once: the session has ended then.
    if (connection_.SendWithin(buffer, timeout_ms_) < 0) {
      last_error_ = connection_.FailureText();
      return false;
    }
  }
  return ReadStatus(command);
}

// The one place that judges a status line, and reads what a positive one
// announces: the numbers of STAT and LIST, the data of RETR and TOP.
bool Pop3Client::ReadStatus(Command command) {
  char line[kCommandBufferSize];
  if (connection_.ReadResponseLine(line, sizeof line, timeout_ms_) < 0) {
    last_error_ = connection_.FailureText();
    return false;
  }
  trace_.Received(line);
  last_reply_ = line;
  if (IsNegativeStatus(line)) return Refuse(command);
  switch (command) {
    case kStat:
      // "+OK count size": the count follows the first blank.
      if (const char* count = AfterBlank(line, 1)) {
        message_count_ = static_cast<std::int16_t>(LeadingInteger(count));
      }
      break;
    case kList:
      // "+OK number size": the size follows the second blank.
      if (const char* size = AfterBlank(line, 2)) last_size_ = LeadingInteger(size);
      break;
    case kUidl: {
      // "+OK number identifier" (RFC 1939 section 7): the identifier is the
      // rest after the second blank, 1 to 70 printable characters.
      const char* uid = AfterBlank(line, 2);
      last_uid_ = uid ? std::string(uid) : std::string();
      while (!last_uid_.empty() && IsSpaceOrTab(last_uid_.back())) last_uid_.pop_back();
      if (last_uid_.empty()) return Refuse(command);
      break;
    }
    case kUidlAll:
      if (!connection_.ReadDotTerminated(uid_listing_, timeout_ms_)) {
        last_error_ = connection_.FailureText();
        return false;
      }
      trace_.ReceivedBody(uid_listing_.size());
      break;
    case kRetr:
    case kTop:
    case kCapa:
      if (!connection_.ReadDotTerminated(command == kCapa ? capabilities_ : retrieved_text_, timeout_ms_)) {
        last_error_ = connection_.FailureText();
        return false;
      }
      if (command == kCapa) {
        trace_.Received(capabilities_.ends_with('\n') ? capabilities_ + "." : capabilities_ + "\n.");
        capabilities_known_ = true;
      } else {
        trace_.ReceivedBody(retrieved_text_.size());
      }
      break;
    default:
      break;
  }
  return true;
}

bool Pop3Client::Connect() {
  // Checked before connecting, so that a refused log-in leaves the client
  // unconnected and usable.
  if (!CredentialFits(EntryOf(kUser).command_template, credentials_.user)) return Refuse(kUser);
  if (!CredentialFits(EntryOf(kPass).command_template, credentials_.password)) return Refuse(kPass);
  if (!credentials_.AreSafe()) return Fail(kMsgUnsafeCredentials);
  last_reply_.clear();
  const std::string address = host_ + ":" + std::to_string(static_cast<std::uint16_t>(port_));
  if (!connection_.Open(host_, static_cast<std::uint16_t>(port_))) {
    trace_.Note("cannot connect to " + address);
    last_error_ = MessageText(kMsgCannotConnect);
    return false;
  }
  trace_.Note("connected to " + address);
  // A session that did not open fully is closed (no QUIT), so that Connect
  // can be called again.
  if (!LogIn()) {
    connection_.Close();
    return false;
  }
  return true;
}

bool Pop3Client::LogIn() {
  capabilities_known_ = false;  // an earlier session's server may have been another
  if (security_.mode == Security::kImplicitTls && !Upgrade()) return false;
  if (!Execute(kGreeting)) return false;
  if (security_.mode == Security::kStartTls && !UpgradeAfterGreeting()) return false;
  return SignIn() && Execute(kStat);
}

bool Pop3Client::SignIn() {
  const Credentials& c = credentials_;
  AuthMethod method = c.method;
  if (method == AuthMethod::kAutomatic && !c.access_token.empty()) method = AuthMethod::kXOAuth2;
  if (method == AuthMethod::kAutomatic || method == AuthMethod::kLogin) {
    if (Execute(kUser, c.user.c_str())) return Execute(kPass, c.password.c_str());
    // Refused (not lost): some servers take only SASL. Should AUTH PLAIN
    // fail as well, the failure of USER is the one reported.
    if (method == AuthMethod::kLogin || !IsNegativeStatus(last_reply_.c_str()) || c.password.empty()) return false;
    const std::string refusal = last_error_;
    if (Authenticate(AuthMethod::kPlain)) return true;
    last_error_ = refusal;
    return false;
  }
  if (method == AuthMethod::kXOAuth2 && (c.user.empty() || c.access_token.empty())) return Fail(kMsgAccessTokenNeeded);
  if (method == AuthMethod::kPlain && (c.user.empty() || c.password.empty())) {
    last_error_ = FormatMessageText(kMsgPasswordNeeded, "PLAIN");
    return false;
  }
  // CAPA names the mechanisms on its SASL line (RFC 5034 section 6); a
  // server that answers CAPA with -ERR is tried without knowing them.
  if (!capabilities_known_ && !Execute(kCapa) && !IsNegativeStatus(last_reply_.c_str())) return false;
  if (capabilities_known_) {
    std::string_view mechanisms;
    std::string_view rest = capabilities_;
    while (!rest.empty()) {
      const std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(std::min(rest.size(), line.size() + 1));
      if (line.size() > 5 && EqualsIgnoringAsciiCase(line.substr(0, 5), "SASL ")) mechanisms = line.substr(5);
    }
    if (!OffersMechanism(mechanisms, MechanismName(method))) {
      last_error_ = FormatMessageText(kMsgMechanismNotOffered, MechanismName(method));
      return false;
    }
  }
  return Authenticate(method);
}

// RFC 5034 section 4: the initial response goes with AUTH when the line stays
// within 255 octets, else after the first "+" continuation. A further
// continuation is answered "*" (cancel), or for XOAUTH2, whose continuation
// carries the server's error, with the empty line it waits for.
bool Pop3Client::Authenticate(AuthMethod method) {
  const std::string mechanism = MechanismName(method);
  std::string response = method == AuthMethod::kXOAuth2 ? XOAuth2Response(credentials_) : PlainResponse(credentials_);
  std::string command = "AUTH " + mechanism;
  const bool initial = command.size() + 1 + response.size() + 2 <= 255;
  if (initial) command += " " + response;
  trace_.Sent(initial ? "AUTH " + mechanism + " ***" : command);
  bool sent = SendSecretLine(connection_, command, timeout_ms_) >= 0;
  WipeText(command);
  bool succeeded = false;
  bool answered = initial;
  for (int round = 0; round < 3; ++round) {
    char line[kCommandBufferSize];
    if (!sent || connection_.ReadResponseLine(line, sizeof line, timeout_ms_) < 0) {
      last_error_ = connection_.FailureText();
      break;
    }
    trace_.Received(line);
    last_reply_ = line;
    if (line[0] != '+' || (line[1] != ' ' && line[1] != '\0')) {
      succeeded = !IsNegativeStatus(line) || Fail(kMsgAuthFailed);
      break;
    }
    const std::string_view answer = !answered                        ? std::string_view(response)
                                    : method == AuthMethod::kXOAuth2 ? ""
                                                                     : "*";
    trace_.Sent(answered ? answer : ProtocolTrace::kHidden);
    sent = SendSecretLine(connection_, answer, timeout_ms_) >= 0;
    answered = true;
    if (round == 2) Fail(kMsgAuthFailed);
  }
  WipeText(response);
  return succeeded;
}

bool Pop3Client::Upgrade() {
  const bool upgraded = UpgradeToTls(connection_, host_, security_, timeout_ms_, last_error_);
  trace_.Note(upgraded ? "TLS: " + connection_.TlsDescription() : last_error_);
  return upgraded;
}

// CAPA must list STLS; a failure closes the connection, so that nothing,
// least of all the password, follows in plain text.
bool Pop3Client::UpgradeAfterGreeting() {
  const bool upgraded = Execute(kCapa) &&
                        (ListsCapability(capabilities_, "STLS") ? Execute(kStls) && Upgrade() : Refuse(kStls));
  // What the server offered in plain text no longer counts (RFC 2595 section 4).
  capabilities_known_ = false;
  if (!upgraded) connection_.Close();
  return upgraded;
}

// The session ends whatever the reply: the caller is done with it.
bool Pop3Client::Disconnect() {
  const bool quit = Execute(kQuit);
  connection_.Close();
  return quit;
}

bool Pop3Client::GetMessageSize(std::int16_t number, std::int32_t& size) {
  const bool listed = Execute(kList, static_cast<int>(number));
  size = listed ? last_size_ : 0;
  return listed;
}

bool Pop3Client::Retrieve(std::int16_t number) { return Execute(kRetr, static_cast<int>(number)); }

bool Pop3Client::RetrieveTop(std::int16_t number, std::int16_t lines) {
  return Execute(kTop, static_cast<int>(number), static_cast<int>(lines));
}

bool Pop3Client::Delete(std::int16_t number) { return Execute(kDele, static_cast<int>(number)); }

bool Pop3Client::Reset() { return Execute(kRset); }

bool Pop3Client::GetMessageUid(std::int16_t number, std::string& uid) {
  uid.clear();
  if (!Execute(kUidl, static_cast<int>(number))) return false;
  uid = last_uid_;
  return true;
}

// The listing names every message not marked for deletion, one "number
// identifier" line each; identifiers are compared exactly (they are case
// sensitive, RFC 1939 section 7).
bool Pop3Client::FindMessageByUid(std::string_view uid, std::int16_t& number) {
  number = 0;
  uid_listing_.clear();
  if (uid.empty() || !IsSafeCommandText(std::string(uid))) return true;  // no message has such an identifier
  if (!Execute(kUidlAll)) return false;
  std::string_view rest = uid_listing_;
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    std::string_view listed = line.substr(blank + 1);
    while (!listed.empty() && IsSpaceOrTab(listed.back())) listed.remove_suffix(1);
    if (listed != uid) continue;
    const int found = LeadingInteger(std::string(line.substr(0, blank)).c_str());
    if (found > 0 && found <= 32767) number = static_cast<std::int16_t>(found);
    return true;
  }
  return true;
}

}  // namespace vesk
