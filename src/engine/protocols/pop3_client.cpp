// POP3 client dialogue (RFC 1939; status lines and multi-line responses of
// section 3, the commands of sections 5 to 7; CAPA of RFC 2449, STLS of
// RFC 2595).

#include "engine/protocols/pop3_client.h"

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

bool Pop3Client::Refuse(Command command) {
  last_error_ = MessageText(EntryOf(command).failure);
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
    case kRetr:
    case kTop:
    case kCapa:
      if (!connection_.ReadDotTerminated(command == kCapa ? capabilities_ : retrieved_text_, timeout_ms_)) {
        last_error_ = connection_.FailureText();
        return false;
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
  if (!CredentialFits(EntryOf(kUser).command_template, user_)) return Refuse(kUser);
  if (!CredentialFits(EntryOf(kPass).command_template, password_)) return Refuse(kPass);
  if (!connection_.Open(host_, static_cast<std::uint16_t>(port_))) {
    last_error_ = MessageText(kMsgCannotConnect);
    return false;
  }
  // A session that did not open fully is closed (no QUIT), so that Connect
  // can be called again.
  if (!LogIn()) {
    connection_.Close();
    return false;
  }
  return true;
}

bool Pop3Client::LogIn() {
  if (security_.mode == Security::kImplicitTls && !Upgrade()) return false;
  if (!Execute(kGreeting)) return false;
  if (security_.mode == Security::kStartTls && !UpgradeAfterGreeting()) return false;
  return Execute(kUser, user_.c_str()) && Execute(kPass, password_.c_str()) && Execute(kStat);
}

bool Pop3Client::Upgrade() { return UpgradeToTls(connection_, host_, security_, timeout_ms_, last_error_); }

// CAPA must list STLS; a failure closes the connection, so that nothing,
// least of all the password, follows in plain text.
bool Pop3Client::UpgradeAfterGreeting() {
  const bool upgraded = Execute(kCapa) &&
                        (ListsCapability(capabilities_, "STLS") ? Execute(kStls) && Upgrade() : Refuse(kStls));
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

}  // namespace vesk
