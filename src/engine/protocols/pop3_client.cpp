// POP3 client dialogue (RFC 1939; status lines and multi-line responses of
// section 3, the commands of sections 5 to 7; CAPA of RFC 2449, STLS of
// RFC 2595; AUTH of RFC 5034).

#include "engine/protocols/pop3_client.h"

#include <algorithm>
#include <cstring>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/platform/sockets.h"
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

bool IsPositiveStatus(const char* line) {
  return std::strlen(line) >= 3 && EqualsIgnoringAsciiCase(std::string_view(line, 3), "+OK");
}

// The text after the n-th space or tab of a line (n from 1), or nullptr when
// the line has fewer.
const char* AfterBlank(const char* line, int n) {
  for (; *line != '\0'; ++line) {
    if (IsSpaceOrTab(*line) && --n == 0) return line + 1;
  }
  return nullptr;
}

// RFC 5034 section 4: an AUTH line with its initial response stays within
// 255 octets; a continuation is "+" and a blank, or "+" alone.
constexpr SaslRules kSaslRules{"AUTH", 255, 0, 3};

}  // namespace

Pop3Client::Pop3Client() : LineSession(kDefaultPort) {}

bool Pop3Client::Refuse(Command command) { return Fail(EntryOf(command).failure); }

// The one place that sends a command: formats it into the command buffer,
// hands it to the connection and has its status line judged.
template <typename... Args>
bool Pop3Client::Execute(Command command, Args... args) {
  const Pop3CommandEntry& entry = EntryOf(command);
  if (entry.command_template != nullptr) {
    char buffer[kCommandBufferSize];
    if (!FormatIntoCommandBuffer(buffer, entry.command_template, args...)) return Refuse(command);
    if (!SendBytes(buffer, command == kPass ? "PASS ***" : "")) return false;
  }
  return ReadStatus(command);
}

// The one place that judges a status line, and reads what a positive one
// announces: the numbers of STAT and LIST, the data of RETR and TOP.
bool Pop3Client::ReadStatus(Command command) {
  char line[kCommandBufferSize];
  if (!ReadReplyLine(line, sizeof line, command == kGreeting)) return false;
  last_reply_ = line;
  if (IsNegativeStatus(line)) return Refuse(command);
  // RFC 1939 section 4: the greeting is a positive status line; an SMTP or
  // IMAP4 server reached on the wrong port greets otherwise.
  if (command == kGreeting && !IsPositiveStatus(line)) return Refuse(command);
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
      if (!ReadDotTerminatedBlock(uid_listing_)) return false;
      trace().ReceivedBody(uid_listing_.size());
      break;
    case kRetr:
    case kTop:
    case kCapa: {
      std::string& text = command == kCapa ? capabilities_ : retrieved_text_;
      const auto read = [&](TransferMeter*) { return ReadDotTerminatedBlock(text); };
      // Servers commonly say the size in the reply: "+OK 1234 octets".
      const char* size = command == kRetr ? AfterBlank(line, 1) : nullptr;
      const bool read_all = command == kCapa ? read(nullptr)
                                             : Metered(command == kRetr ? TransferKind::kRetrieve : TransferKind::kRetrieveTop,
                                                       size ? static_cast<std::uint64_t>(std::max(LeadingInteger(size), 0)) : 0,
                                                       read);
      if (!read_all) return false;
      if (command == kCapa) {
        trace().Received(capabilities_.ends_with('\n') ? capabilities_ + "." : capabilities_ + "\n.");
        capabilities_known_ = true;
      } else {
        trace().ReceivedBody(retrieved_text_.size());
      }
      break;
    }
    default:
      break;
  }
  return true;
}

bool Pop3Client::CheckBeforeConnect() {
  // "USER name" and "PASS secret" take the caller's text whole: it must not
  // be able to end the line, and the line must fit the command buffer.
  char line[kCommandBufferSize];
  if (!FormatWithCallerText(line, EntryOf(kUser).command_template, user())) return Refuse(kUser);
  if (!FormatWithCallerText(line, EntryOf(kPass).command_template, password())) return Refuse(kPass);
  return credentials().AreSafe() || Fail(kMsgUnsafeCredentials);
}

bool Pop3Client::OpenDialogue() {
  capabilities_known_ = false;  // an earlier session's server may have been another
  if (!Execute(kGreeting)) return false;
  if (security().mode == Security::kStartTls && !UpgradeAfterGreeting()) return false;
  return DuringSignIn([this] { return SignIn() || ExplainRefusal(); }) && Execute(kStat);
}

// A server that takes no password on a connection without TLS says so in
// its refusal: its words and the setting that changes it say more than the
// refusal of the step ("Bad User Name").
bool Pop3Client::ExplainRefusal() {
  if (encrypted() || !ServerStillTalking() || !IsNegativeStatus(last_reply_.c_str())) return false;
  const std::string_view reply = last_reply_;
  for (const std::string_view word : {"plaintext", "plain text", "tls", "ssl", "secure", "encrypt"}) {
    for (std::size_t at = 0; at + word.size() <= reply.size(); ++at) {
      if (EqualsIgnoringAsciiCase(reply.substr(at, word.size()), word)) {
        const std::size_t text = std::min(reply.size(), reply.find_first_of(' ') + 1);
        FailWith(FormatMessageText(kMsgPlainSignInRefused, std::string(reply.substr(text)).c_str()));
        return false;
      }
    }
  }
  return false;
}

bool Pop3Client::SignIn() {
  const Credentials& c = credentials();
  AuthMethod method = EffectiveMethod(c);
  if (method == AuthMethod::kAutomatic || method == AuthMethod::kLogin) {
    if (Execute(kUser, c.user.c_str())) return Execute(kPass, c.password.c_str());
    // Refused (not lost): some servers take only SASL. Should AUTH PLAIN
    // fail as well, the failure of USER is the one reported.
    if (method == AuthMethod::kLogin || !IsNegativeStatus(last_reply_.c_str()) || c.password.empty()) return false;
    const std::string refusal = last_error_;
    if (RunSaslExchange(*this, kSaslRules, AuthMethod::kPlain, c)) return true;
    return FailWith(refusal);
  }
  // Refused before CAPA when the credentials cannot serve the mechanism.
  if (!HasWhatTheMechanismNeeds(method, c, last_error_)) return false;
  // CAPA names the mechanisms on its SASL line (RFC 5034 section 6); a
  // server that answers CAPA with -ERR is tried without knowing them.
  if (!capabilities_known_ && !Execute(kCapa) && !IsNegativeStatus(last_reply_.c_str())) return false;
  std::string_view mechanisms;
  for (std::string_view rest = capabilities_; !rest.empty();) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (line.size() > 5 && EqualsIgnoringAsciiCase(line.substr(0, 5), "SASL ")) mechanisms = line.substr(5);
  }
  const OfferedMechanisms offered{capabilities_known_,
                                  [&](std::string_view name) { return OffersMechanism(mechanisms, name); }};
  return ChooseOfferedMechanism(c, offered, method, last_error_) && RunSaslExchange(*this, kSaslRules, method, c);
}

SaslReply Pop3Client::ReadSaslReply() {
  char line[kCommandBufferSize];
  if (!ReadReplyLine(line, sizeof line)) return SaslReply::kBroken;
  last_reply_ = line;
  if (line[0] == '+' && (line[1] == ' ' || line[1] == '\0')) return SaslReply::kChallenge;
  return !IsNegativeStatus(line) ? SaslReply::kSucceeded : (Fail(kMsgAuthFailed), SaslReply::kRefused);
}

// CAPA must list STLS; a failure closes the connection, so that nothing,
// least of all the password, follows in plain text.
bool Pop3Client::UpgradeAfterGreeting() {
  const bool upgraded = StartTlsDialogue({
      [&] { return Execute(kCapa); },
      [&] { return ListsCapability(capabilities_, "STLS"); },
      [&] { return Refuse(kStls); },
      [&] { return Execute(kStls); },
      [] { return true; },
  });
  // What the server offered in plain text no longer counts (RFC 2595 section 4).
  capabilities_known_ = false;
  return upgraded;
}

bool Pop3Client::EndDialogue() { return Execute(kQuit); }

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
  if (uid.empty() || HasLineBreakOrNul(uid)) return true;  // no message has such an identifier
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
