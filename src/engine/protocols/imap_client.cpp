#include "engine/protocols/imap_client.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/common/messages.h"
#include "engine/platform/sockets.h"
#include "engine/platform/unique_id.h"
#include "engine/protocols/imap_mailbox_names.h"

namespace vesk {
namespace {

// What the client reads after a successful tagged reply.
enum class Reading {
  kCompletionOnly,
  kMailboxCounters,  // EXISTS, RECENT and the UNSEEN code
  kList,
  kStatus,
  kSearch,
  kFlags,
  kSize,
  kMessageText,
  kNotSent,  // not for ExecuteCommand
};

struct CommandEntry {
  ImapCommand command;
  const char* format;  // "%i" takes a number, "%s" text inserted as given
  Reading reading;
};

// The command table. Each template starts with the blank that follows the tag
// and ends with the line's CR LF. Every FETCH, STORE and COPY names one
// message, so both ends of its range are the same number.
constexpr CommandEntry kCommands[] = {
    {ImapCommand::kLogin, " LOGIN %s %s\r\n", Reading::kCompletionOnly},
    {ImapCommand::kSelect, " SELECT %s\r\n", Reading::kMailboxCounters},
    {ImapCommand::kExamine, " EXAMINE %s\r\n", Reading::kMailboxCounters},
    {ImapCommand::kList, " LIST %s %s\r\n", Reading::kList},
    {ImapCommand::kCreate, " CREATE %s\r\n", Reading::kCompletionOnly},
    {ImapCommand::kDelete, " DELETE %s\r\n", Reading::kCompletionOnly},
    {ImapCommand::kRename, " RENAME %s %s\r\n", Reading::kCompletionOnly},
    // AppendMessage's own: the literal follows only after the go-ahead.
    {ImapCommand::kAppend, " APPEND %s {%i}\r\n", Reading::kNotSent},
    {ImapCommand::kStore, " STORE %i:%i %s (%s)\r\n", Reading::kCompletionOnly},
    {ImapCommand::kExpunge, " EXPUNGE\r\n", Reading::kCompletionOnly},
    {ImapCommand::kCopy, " COPY %i:%i %s\r\n", Reading::kCompletionOnly},
    {ImapCommand::kStatus, " STATUS %s (%s)\r\n", Reading::kStatus},
    {ImapCommand::kSearch, " SEARCH %s\r\n", Reading::kSearch},
    {ImapCommand::kFetchFlags, " FETCH %i:%i FLAGS\r\n", Reading::kFlags},
    {ImapCommand::kFetchSize, " FETCH %i:%i RFC822.SIZE\r\n", Reading::kSize},
    {ImapCommand::kFetchHeader, " FETCH %i:%i RFC822.HEADER\r\n", Reading::kMessageText},
    {ImapCommand::kFetchTextPart, " FETCH %i:%i BODY[TEXT]<0.%i>\r\n", Reading::kMessageText},
    {ImapCommand::kFetchMessage, " FETCH %i:%i RFC822\r\n", Reading::kMessageText},
    {ImapCommand::kLogout, " LOGOUT\r\n", Reading::kCompletionOnly},
    {ImapCommand::kCapability, " CAPABILITY\r\n", Reading::kCompletionOnly},
    {ImapCommand::kStartTls, " STARTTLS\r\n", Reading::kCompletionOnly},
    {ImapCommand::kMove, " MOVE %i:%i %s\r\n", Reading::kCompletionOnly},
    {ImapCommand::kUidExpunge, " UID EXPUNGE %i:%i\r\n", Reading::kCompletionOnly},
    // The selection option asks for the mailboxes with a role only (RFC 6154
    // section 5.3); without it every mailbox is listed with its attributes.
    {ImapCommand::kListAll, " LIST %s\"\" \"*\"\r\n", Reading::kCompletionOnly},
    {ImapCommand::kIdle, " IDLE\r\n", Reading::kNotSent},
    {ImapCommand::kNoop, " NOOP\r\n", Reading::kCompletionOnly},
    {ImapCommand::kFetchUid, " FETCH %i:%i (UID)\r\n", Reading::kCompletionOnly},
    {ImapCommand::kFetchStructure, " FETCH %i:%i (UID BODYSTRUCTURE)\r\n", Reading::kCompletionOnly},
    {ImapCommand::kFetchSection, " FETCH %i:%i (UID BODY.PEEK[%s])\r\n", Reading::kCompletionOnly},
    {ImapCommand::kUidExists, " UID SEARCH UID %i\r\n", Reading::kCompletionOnly},
    {ImapCommand::kFetchNewestUid, " FETCH %i:%i (UID)\r\n", Reading::kCompletionOnly},
};

// The commands that name messages, which have a UID form (RFC 3501 section
// 6.4.8, RFC 6851): sent as "UID FETCH ..." while the client works by UID.
bool HasUidForm(ImapCommand command) {
  switch (command) {
    case ImapCommand::kStore:
    case ImapCommand::kCopy:
    case ImapCommand::kSearch:
    case ImapCommand::kFetchFlags:
    case ImapCommand::kFetchSize:
    case ImapCommand::kFetchHeader:
    case ImapCommand::kFetchTextPart:
    case ImapCommand::kFetchMessage:
    case ImapCommand::kMove:
    case ImapCommand::kFetchUid:
    case ImapCommand::kFetchStructure:
    case ImapCommand::kFetchSection:
      return true;
    default:
      return false;
  }
}

// The fetches that must find their message in the answer: by UID, an
// answer without it means the UID is not (or no longer) in the mailbox.
bool FetchesOneMessage(ImapCommand command) {
  switch (command) {
    case ImapCommand::kFetchFlags:
    case ImapCommand::kFetchSize:
    case ImapCommand::kFetchHeader:
    case ImapCommand::kFetchTextPart:
    case ImapCommand::kFetchMessage:
      return true;
    default:
      return false;
  }
}

// RFC 4959 lets the initial response stand on the AUTHENTICATE line, and
// RFC 7162 section 4 asks clients to keep command lines within 8192 octets:
// a longer one (a large token) goes after the first continuation instead.
constexpr std::size_t kMaxAuthenticateLine = 8192;

constexpr std::string_view kStatusItems = "MESSAGES RECENT UNSEEN";
constexpr std::size_t kChunkSize = 64 * 1024;

const CommandEntry* FindCommand(ImapCommand command) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.command == command) return &entry;
  }
  return nullptr;
}

// Numbers are written as given, or (`unsigned_numbers`) as the unsigned
// 32-bit value of their bits, as UIDs are.
bool FillCommandTemplate(const char* format, std::initializer_list<ImapCommandArg> args, std::string& line,
                   bool unsigned_numbers = false) {
  auto next = args.begin();
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      line.push_back(*p);
      continue;
    }
    ++p;
    if (next == args.end()) return false;
    if (*p == 'i' && next->is_number()) {
      line += unsigned_numbers ? std::to_string(static_cast<std::uint32_t>(next->number()))
                               : std::to_string(next->number());
    } else if (*p == 's' && !next->is_number()) {
      line += next->text();
    } else {
      return false;
    }
    ++next;
  }
  return next == args.end();
}

// "[" and 18 hexadecimal digits from a fresh unique identifier, closed by a
// period: 20 characters. The period stands where a closing bracket would look
// natural because "]", although RFC 3501 allows it in a tag, is refused by
// Dovecot, which then answers with an untagged BAD and never with the tag.
std::string MakeTagPrefix() {
  const UniqueId id = NewUniqueId();
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "[%08X%04X%04X%02X.", static_cast<unsigned>(id.data1),
                static_cast<unsigned>(id.data2), static_cast<unsigned>(id.data3),
                static_cast<unsigned>(id.data4[0]));
  return prefix;
}

// The name of the fetch item that carries the text each fetch asks for.
std::string_view MessageItemName(ImapCommand command) {
  switch (command) {
    case ImapCommand::kFetchHeader: return "RFC822.HEADER";
    case ImapCommand::kFetchTextPart: return "BODY[TEXT]";
    default: return "RFC822";
  }
}

// "BODY[TEXT]" answers as "BODY[TEXT]<0>" to a partial fetch; "RFC822" must
// not match "RFC822.SIZE".
bool IsItem(const ImapFetchItem& item, std::string_view name) {
  if (item.name.size() < name.size() || !EqualsIgnoringAsciiCase(std::string_view(item.name).substr(0, name.size()), name)) {
    return false;
  }
  return item.name.size() == name.size() || item.name[name.size()] == '<';
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool IsText(const ImapFetchItem& item) {
  return item.kind == ImapFetchItem::Kind::kString || item.kind == ImapFetchItem::Kind::kNil;
}

}  // namespace

ImapClient::ImapClient() : LineSession(kDefaultPort, "Unknown error"), tag_prefix_(MakeTagPrefix()), chunk_(kChunkSize) {
  set_user("user");
  set_password("lemonade");
}

ImapClient::~ImapClient() {
  // A session still logged in is ended politely, but a script's last line
  // must not wait for a server that does not answer.
  if (logged_in_ && connected()) {
    set_timeout_ms(std::min(timeout_ms(), kLogoutOnDestructionWaitMs));
    ExecuteCommand(ImapCommand::kLogout);
  }
}

namespace {

// A name as the server wrote it, with the caller's separator, in UTF-8 when
// it is valid modified UTF-7 and as it came otherwise.
std::string ClientFormOf(std::string_view server_name, std::string_view delimiter, std::string_view separator) {
  const std::string mapped = MapSeparator(server_name, delimiter, separator);
  std::string decoded;
  return DecodeMailboxName(mapped, decoded) ? decoded : mapped;
}

}  // namespace

std::string ImapClient::MailboxNameForClient() const {
  return ClientFormOf(mailbox_name, hierarchy_delimiter, client_separator);
}

void ImapClient::SetMailboxNameFromClient(std::string_view client_name) {
  mailbox_name = EncodeMailboxName(MapSeparator(client_name, client_separator, hierarchy_delimiter));
}

bool ImapClient::RefuseLineBreaks(std::string_view text) {
  if (!HasLineBreakOrNul(text)) return true;
  return Fail(kMsgLineBreakInCommand);
}

// A caller's mailbox name as a command argument: checked, mapped to the
// server's delimiter and quoted when it is not an atom.
bool ImapClient::MailboxArgument(std::string_view client_name, std::string& argument) {
  if (client_name.size() > static_cast<std::size_t>(kMaxMailboxNameLength)) {
    last_error_ = FormatMessageText(kMsgMailboxNameTooLong, kMaxMailboxNameLength);
    return false;
  }
  if (!RefuseLineBreaks(client_name)) return false;
  argument = ImapAstring(EncodeMailboxName(MapSeparator(client_name, client_separator, hierarchy_delimiter)));
  return true;
}

// The stored MailboxName (already in server form) must be fit to be sent.
bool ImapClient::CheckStoredMailboxName() {
  if (mailbox_name.size() > static_cast<std::size_t>(kMaxMailboxNameLength)) {
    last_error_ = FormatMessageText(kMsgMailboxNameTooLong, kMaxMailboxNameLength);
    return false;
  }
  return RefuseLineBreaks(mailbox_name);
}

// A command begins: its own tag, and no responses gathered yet.
void ImapClient::BeginCommand() {
  current_tag_ = tag_prefix_ + std::to_string(command_counter_++);
  responses_.clear();
}

bool ImapClient::SendCommandLine(std::string_view command, std::string_view shown) {
  std::string line;
  line.reserve(current_tag_.size() + command.size());
  line.append(current_tag_).append(command);
  const bool sent = SendBytes(line, shown.empty() ? std::string_view() : current_tag_ + std::string(shown));
  if (!shown.empty()) WipeText(line);
  return sent;
}

bool ImapClient::ExecuteCommand(ImapCommand command, std::initializer_list<ImapCommandArg> args) {
  const CommandEntry* entry = FindCommand(command);
  std::string line;
  const bool by_uid = use_uids && HasUidForm(command);
  if (entry == nullptr || entry->reading == Reading::kNotSent || !FillCommandTemplate(entry->format, args, line, by_uid)) {
    return Fail(kMsgInvalidCommandArguments);
  }
  if (by_uid) line.insert(0, " UID");
  // Only the template's own CR LF may end the line.
  if (!RefuseLineBreaks(std::string_view(line).substr(0, line.size() - 2))) return false;
  if (!FitsCommandLength(line.size(), kMaxCommandLength)) return false;

  // The password of LOGIN never reaches the trace().
  std::string shown;
  if (command == ImapCommand::kLogin && args.size() == 2) FillCommandTemplate(entry->format, {*args.begin(), "***"}, shown);
  BeginCommand();
  const bool sent = SendCommandLine(line, shown);
  if (command == ImapCommand::kLogin) WipeText(line);
  if (!sent || !CollectResponses(command == ImapCommand::kLogout)) return false;
  if (entry->reading == Reading::kCompletionOnly) return CheckCompletion();
  if (!CheckCompletion()) return false;
  std::int32_t number = 0;
  for (const ImapCommandArg& arg : args) {
    if (arg.is_number()) {
      number = static_cast<std::int32_t>(arg.number());
      break;
    }
  }
  fetch_found_ = false;
  Interpret(command, number);
  if (by_uid && FetchesOneMessage(command) && !fetch_found_) return FailNoSuchMessage(number);
  return true;
}

// Reads responses, appending them to responses_, up to and including the one
// that carries the current tag.
bool ImapClient::CollectResponses(bool logging_out) {
  for (;;) {
    ImapResponse response;
    if (!ReadResponse(response)) return false;
    const bool tagged = IsTagged(response);
    if (!tagged) NoteMailboxEvent(response);
    responses_.push_back(std::move(response));
    if (tagged) return true;
    if (!logging_out && IsGoodbye(responses_.back())) return false;
  }
}

// "* BYE text" outside LOGOUT: the server is closing the connection (RFC 3501
// section 7.1.5), for instance after the selected mailbox was deleted, and
// the tagged reply may never come. The command fails at once with the
// server's text rather than after the time-out, and the session is over.
bool ImapClient::IsGoodbye(const ImapResponse& response) {
  const std::string& text = response.text;
  if (text.size() < 5 || !EqualsIgnoringAsciiCase(std::string_view(text).substr(0, 5), "* BYE")) return false;
  if (text.size() > 5 && text[5] != ' ') return false;
  last_error_ = text.size() > 6 ? text.substr(6) : std::string();
  last_reply_ = text;
  logged_in_ = false;
  CloseConnection();
  return true;
}

bool ImapClient::IsTagged(const ImapResponse& response) const {
  return StartsWithTag(response.text, current_tag_);
}

// One response: a line, and when it is untagged data that ends in a literal
// announcement, the literal's bytes and the rest of the response after them
// (RFC 3501 section 4.3). Only untagged data carries literals; a tagged or a
// continuation line is always one line.
bool ImapClient::ReadResponse(ImapResponse& response) {
  response = ImapResponse();
  std::uint64_t literal_total = 0;
  std::string line;
  for (;;) {
    if (!ReadWholeLine(line)) return false;
    if (response.text.size() + line.size() > max_line_bytes) {
      last_error_ = FormatMessageText(kMsgResponseLineTooLong, static_cast<int>(max_line_bytes));
      return false;
    }
    response.text += line;
    if (response.text.empty() || response.text.front() != '*') return true;
    std::uint64_t count = 0;
    switch (FindLiteralAnnouncement(line, count)) {
      case LiteralAnnouncement::kNone:
        return true;
      case LiteralAnnouncement::kInvalid:
        return Fail(kMsgInvalidLiteral);
      case LiteralAnnouncement::kValid:
        break;
    }
    literal_total += count;
    if (count > kMaxLiteralBytes || literal_total > kMaxLiteralBytes) return Fail(kMsgInvalidLiteral);
    std::string& bytes = response.literals.emplace_back();
    bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunkSize * 16)));
    if (!ReadLiteral(bytes, static_cast<std::size_t>(count))) return false;
    trace().ReceivedBody(bytes.size());
    response.literal_ends.push_back(response.text.size());
  }
}

// One line of any length up to max_line_bytes, without its CR LF.
bool ImapClient::ReadWholeLine(std::string& line) {
  line.clear();
  for (;;) {
    bool complete = false;
    const int length = ReadLinePiece(chunk_.data(), chunk_.size(), complete);
    if (length < 0) return false;
    // A CR that ended the previous piece belongs to the CR LF just found.
    if (complete && length == 0 && !line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() + static_cast<std::size_t>(length) > max_line_bytes) {
      last_error_ = FormatMessageText(kMsgResponseLineTooLong, static_cast<int>(max_line_bytes));
      return false;
    }
    line.append(chunk_.data(), static_cast<std::size_t>(length));
    if (complete) {
      trace().Received(line);
      return true;
    }
  }
}

// The command succeeded when the tagged line says OK. On success that line is
// dropped, so that only the untagged data remains; otherwise last_error_ takes
// the server's text after the status word ("NO text" gives "text", and "BAD
// text" gives " text").
bool ImapClient::CheckCompletion() {
  if (responses_.empty()) {
    last_error_.clear();
    return false;
  }
  const std::string& line = responses_.back().text;
  if (IsTagged(responses_.back())) last_reply_ = line;
  if (line.compare(0, current_tag_.size(), current_tag_) == 0 &&
      line.compare(current_tag_.size(), 3, " OK") == 0) {
    responses_.pop_back();
    return true;
  }
  last_error_.clear();
  // Tags hold only "[", ".", digits and the letters A to F, so the first
  // "N", "O" or blank is the blank after the tag.
  std::size_t found = line.find_first_of("NO ");
  if (found == std::string::npos) found = line.find_first_of("BAD");
  if (found != std::string::npos && found + 4 <= line.size()) last_error_ = ServerText(std::string_view(line).substr(found + 4));
  return false;
}

void ImapClient::Interpret(ImapCommand command, std::int32_t number) {
  switch (FindCommand(command)->reading) {
    case Reading::kMailboxCounters:
      uid_validity = 0;
      uid_next = 0;
      for (const ImapResponse& response : responses_) {
        ReadMailboxCounters(response.text, message_count, recent_count, first_unseen);
        ReadUidCode(response.text, uid_validity, uid_next);
      }
      // What a wait for changes starts from.
      known_exists_ = static_cast<std::uint32_t>(std::max(message_count, 0));
      mailbox_changes_ = kNothingChanged;
      break;
    case Reading::kList:
      ReadList();
      break;
    case Reading::kStatus:
      for (const ImapResponse& response : responses_) {
        if (ReadStatusCounts(response, message_count, recent_count)) break;
      }
      break;
    case Reading::kSearch:
      search_results.clear();
      uid_search_results.clear();
      for (const ImapResponse& response : responses_) {
        if (use_uids ? ReadSearchUids(response.text, uid_search_results)
                     : ReadSearchNumbers(response.text, search_results)) {
          break;
        }
      }
      break;
    case Reading::kFlags: {
      last_flags = 0;
      for (const ImapResponse& response : responses_) {
        if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number)) continue;
        if (const ImapFetchItem* flags = fetch_.Find("FLAGS")) {
          fetch_found_ = true;
          last_flags = ReadFlagBits(flags->value);
          break;
        }
      }
      break;
    }
    case Reading::kSize:
      for (const ImapResponse& response : responses_) {
        if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number)) continue;
        if (const ImapFetchItem* size = fetch_.Find("RFC822.SIZE")) {
          fetch_found_ = true;
          std::string_view value = size->value;
          ReadCNumber(value, last_size);
          break;
        }
      }
      break;
    case Reading::kMessageText:
      ReadMessageText(command, number);
      break;
    case Reading::kCompletionOnly:
    case Reading::kNotSent:
      break;
  }
}

// LIST answers (RFC 3501 section 7.2.2): the root line (an empty name) gives
// the server's hierarchy delimiter, every other line a mailbox name, mapped
// to the callers' separator.
void ImapClient::ReadList() {
  mailbox_list.clear();
  ImapListEntry entry;
  for (const ImapResponse& response : responses_) {
    if (!ReadListEntry(response, entry)) continue;
    if (entry.name.empty()) {
      if (!entry.delimiter.empty()) hierarchy_delimiter = entry.delimiter.substr(0, 1);
    } else {
      mailbox_list.push_back(ClientFormOf(entry.name, hierarchy_delimiter, client_separator));
    }
  }
}

// The text a fetch asked for is the value of its item in the FETCH response
// for that message: a literal's bytes exactly, or a quoted string. NIL (what
// Dovecot sends for a message that another session has expunged, with a
// tagged OK [EXPUNGEISSUED]) is no text at all. Other FETCH responses (flag
// changes of other messages) are passed over.
void ImapClient::ReadMessageText(ImapCommand command, std::int32_t number) {
  message_text.clear();
  const std::string_view wanted = MessageItemName(command);
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number)) continue;
    ImapFetchItem* found = nullptr;
    for (ImapFetchItem& item : fetch_.items) {
      if (IsText(item) && IsItem(item, wanted)) {
        found = &item;
        break;
      }
    }
    if (found == nullptr) {
      for (ImapFetchItem& item : fetch_.items) {
        if (item.kind == ImapFetchItem::Kind::kString) {
          found = &item;
          break;
        }
      }
    }
    if (found != nullptr) {
      if (found->kind != ImapFetchItem::Kind::kNil) message_text = std::move(found->value);
      fetch_found_ = found->kind != ImapFetchItem::Kind::kNil;
      return;
    }
  }
}

bool ImapClient::CheckBeforeConnect() {
  // Refused before the connection is even made: nothing of it may be sent.
  if (!RefuseLineBreaks(user()) || !RefuseLineBreaks(password())) return false;
  return !HasLineBreakOrNul(credentials().access_token) || Fail(kMsgUnsafeCredentials);
}

bool ImapClient::OpenDialogue() {
  if (LogIn()) return true;
  logged_in_ = false;
  return false;
}

bool ImapClient::LogIn() {
  // What an earlier session's server said of itself no longer counts.
  capabilities_known_ = false;
  capabilities_after_login_ = false;
  capabilities_.clear();
  // The greeting must be "* OK" (RFC 3501 section 7.1.1).
  std::string greeting;
  if (!ReadWholeLine(greeting)) return FailReadingGreeting(greeting.empty());
  if (greeting.size() < 4 || !EqualsIgnoringAsciiCase(std::string_view(greeting).substr(0, 4), "* OK")) {
    last_reply_ = greeting;
    return Fail(kMsgBadConnection);
  }
  // "* OK [CAPABILITY ...] text" saves asking (RFC 3501 section 7.1).
  const std::size_t listed = greeting.find("[CAPABILITY ");
  if (listed != std::string::npos) NoteCapabilities(std::string_view(greeting).substr(listed + 12));
  if (security().mode == Security::kStartTls && !UpgradeAfterGreeting()) return false;
  if (!DuringSignIn([this] { return SignIn(); })) return false;
  logged_in_ = true;
  NoteSignedInCapabilities();
  // The root line of LIST "" "" tells the hierarchy delimiter.
  return ExecuteCommand(ImapCommand::kList, {"\"\"", "\"\""});
}

// The server must list STARTTLS in its capabilities; after the handshake
// they are asked again, as the plain answer may have been tampered with.
bool ImapClient::UpgradeAfterGreeting() {
  const bool upgraded = StartTlsDialogue({
      [&] { return ExecuteCommand(ImapCommand::kCapability); },
      [&] {
        return std::any_of(responses_.begin(), responses_.end(),
                           [](const ImapResponse& response) { return ListsCapability(response.text, "STARTTLS"); });
      },
      [&] { return Fail(kMsgStartTlsNotOffered); },
      [&] { return ExecuteCommand(ImapCommand::kStartTls); },
      [&] {
        capabilities_known_ = false;  // what was said in plain text no longer counts
        return AskCapabilities();
      },
  });
  capabilities_known_ = capabilities_known_ && upgraded;
  return upgraded;
}

bool ImapClient::AskCapabilities() {
  if (!ExecuteCommand(ImapCommand::kCapability)) return false;
  for (const ImapResponse& response : responses_) {
    if (StartsWithIgnoringCase(response.text, "* CAPABILITY ")) NoteCapabilities(std::string_view(response.text).substr(13));
  }
  return true;
}

// The words up to a closing bracket (the greeting's response code) or the
// end of the line.
void ImapClient::NoteCapabilities(std::string_view text) {
  capabilities_ = std::string(text.substr(0, text.find(']')));
  capabilities_known_ = true;
}

bool ImapClient::SignIn() {
  AuthMethod method = EffectiveMethod(credentials());
  if (!capabilities_known_ && (method != AuthMethod::kAutomatic || security().mode != Security::kNone) &&
      !AskCapabilities()) {
    return false;
  }
  const bool login_disabled = capabilities_known_ && ListsCapability(capabilities_, "LOGINDISABLED");
  if (method == AuthMethod::kAutomatic) {
    method = !login_disabled ? AuthMethod::kLogin
             : ListsCapability(capabilities_, "AUTH=PLAIN") ? AuthMethod::kPlain
                                                            : AuthMethod::kLogin;
  }
  if (method == AuthMethod::kLogin) {
    if (login_disabled) return Fail(kMsgLoginDisabled);
    return ExecuteCommand(ImapCommand::kLogin, {ImapAstring(user()), ImapAstring(password())});
  }
  const OfferedMechanisms offered{capabilities_known_, [&](std::string_view name) {
                                    return ListsCapability(capabilities_, "AUTH=" + std::string(name));
                                  }};
  if (!ChooseOfferedMechanism(credentials(), offered, method, last_error_)) return false;
  // RFC 4959: the initial response goes on the command line when the server
  // lists SASL-IR, else after the first "+" continuation.
  const bool initial = capabilities_known_ && ListsCapability(capabilities_, "SASL-IR");
  BeginCommand();
  const SaslRules rules{"AUTHENTICATE", initial ? kMaxAuthenticateLine : 0, current_tag_.size() + 1, 2};
  return RunSaslExchange(*this, rules, method, credentials());
}

bool ImapClient::SendSaslCommand(std::string_view line, std::string_view shown) {
  std::string command = " " + std::string(line) + "\r\n";
  const bool sent = SendCommandLine(command, " " + std::string(shown) + "\r\n");
  WipeText(command);
  return sent;
}

bool ImapClient::SendSaslResponse(std::string_view line, std::string_view shown) {
  return SendSecretLine(line, shown);
}

// A continuation is a challenge; the tagged reply ends the exchange.
SaslReply ImapClient::ReadSaslReply() {
  switch (AwaitGoAhead()) {
    case GoAhead::kGiven:
      return SaslReply::kChallenge;
    case GoAhead::kCompleted:
      return CheckCompletion() || Fail(kMsgAuthFailed) ? SaslReply::kSucceeded : SaslReply::kRefused;
    case GoAhead::kFailed:
      break;
  }
  return SaslReply::kBroken;
}

bool ImapClient::EndDialogue() {
  const bool logged_out = ExecuteCommand(ImapCommand::kLogout);
  logged_in_ = false;
  return logged_out;
}

bool ImapClient::SelectMailbox(bool read_only) {
  selected_mailbox_.clear();
  if (!CheckStoredMailboxName() ||
      !ExecuteCommand(read_only ? ImapCommand::kExamine : ImapCommand::kSelect, {ImapAstring(mailbox_name)})) {
    return false;
  }
  selected_mailbox_ = mailbox_name;
  return true;
}

bool ImapClient::CreateMailbox(std::string_view client_name) {
  std::string name;
  return MailboxArgument(client_name, name) && ExecuteCommand(ImapCommand::kCreate, {name});
}

bool ImapClient::DeleteMailbox(std::string_view client_name) {
  std::string name;
  return MailboxArgument(client_name, name) && ExecuteCommand(ImapCommand::kDelete, {name});
}

bool ImapClient::RenameMailbox(std::string_view old_client_name, std::string_view new_client_name) {
  std::string old_name;
  std::string new_name;
  return MailboxArgument(old_client_name, old_name) && MailboxArgument(new_client_name, new_name) &&
         ExecuteCommand(ImapCommand::kRename, {old_name, new_name});
}

bool ImapClient::GetMailboxesList() {
  if (!CheckStoredMailboxName()) return false;
  // The mailbox's children: the reference is the name with the delimiter.
  // Without a name every mailbox is listed from the top (an empty reference,
  // RFC 3501 section 6.3.8).
  std::string reference = mailbox_name;
  if (!reference.empty() && !hierarchy_delimiter.empty()) reference.push_back(hierarchy_delimiter.front());
  return ExecuteCommand(ImapCommand::kList, {ImapAstring(reference), "\"*\""});
}

bool ImapClient::AppendMessage(std::string_view client_name, std::string_view message) {
  std::string name;
  if (!MailboxArgument(client_name, name)) return false;
  if (message.size() > kMaxLiteralBytes) return Fail(kMsgInvalidCommandArguments);
  // The literal's length is its count of bytes (RFC 3501 section 4.3).
  std::string line;
  FillCommandTemplate(FindCommand(ImapCommand::kAppend)->format, {name, static_cast<std::int32_t>(message.size())}, line);
  if (!FitsCommandLength(line.size(), kMaxCommandLength)) return false;

  BeginCommand();
  if (!SendCommandLine(line)) return false;
  if (const GoAhead answer = AwaitGoAhead(); answer != GoAhead::kGiven) {
    return answer == GoAhead::kCompleted && CheckCompletion();
  }
  // One send, so that the final CR LF does not wait behind the message.
  std::string literal;
  literal.reserve(message.size() + 2);
  literal.append(message).append("\r\n");
  trace().SentBody(message.size());
  // Stopped before its end, the literal is never completed: the session
  // ends and nothing is appended.
  return Metered(TransferKind::kAppend, literal.size(), [&](TransferMeter*) {
    return SendBody(literal);
  }) && CollectResponses() && CheckCompletion();
}

bool ImapClient::DeleteMessage(std::int32_t number) {
  if (use_uids && !RequireUid(number)) return false;
  return StoreFlags(number, kImapFlagDeleted, StoreMode::kAdd);
}

bool ImapClient::Expunge() { return ExecuteCommand(ImapCommand::kExpunge); }

bool ImapClient::CopyMessage(std::int32_t number, std::string_view client_name) {
  std::string name;
  return MailboxArgument(client_name, name) && (!use_uids || RequireUid(number)) &&
         ExecuteCommand(ImapCommand::kCopy, {number, number, name});
}

// The one wait for a continuation (RFC 3501 section 7.5: a literal, a SASL
// challenge, IDLE's go-ahead): the responses up to the server's "+" or the
// tagged reply (which means the server will not go on), gathered with their
// mailbox news noted, as every other read does; a BYE ends the wait.
ImapClient::GoAhead ImapClient::AwaitGoAhead() {
  for (;;) {
    ImapResponse response;
    if (!ReadResponse(response)) return GoAhead::kFailed;
    const bool tagged = IsTagged(response);
    const bool go_ahead = !tagged && !response.text.empty() && response.text.front() == '+';
    if (!tagged && !go_ahead) NoteMailboxEvent(response);
    responses_.push_back(std::move(response));
    if (tagged) return GoAhead::kCompleted;
    if (go_ahead) return GoAhead::kGiven;
    if (IsGoodbye(responses_.back())) return GoAhead::kFailed;
  }
}

bool ImapClient::Search(std::string_view criteria) {
  if (!RefuseLineBreaks(criteria)) return false;
  const std::vector<std::string> pieces = SearchCommandPieces(criteria);
  if (pieces.size() == 1) return ExecuteCommand(ImapCommand::kSearch, {pieces.front()});
  // Text beyond ASCII: the criteria in pieces, each literal after its go-ahead.
  std::size_t length = 0;
  for (const std::string& piece : pieces) length += piece.size();
  if (!FitsCommandLength(length, kMaxCommandLength)) return false;
  BeginCommand();
  if (!SendCommandLine((use_uids ? " UID SEARCH " : " SEARCH ") + pieces.front() + "\r\n")) return false;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    if (const GoAhead answer = AwaitGoAhead(); answer != GoAhead::kGiven) {
      return answer == GoAhead::kCompleted && CheckCompletion() && Fail(kMsgInvalidCommandArguments);
    }
    if (!SendBytes(pieces[i] + "\r\n")) return false;
  }
  if (!CollectResponses() || !CheckCompletion()) return false;
  Interpret(ImapCommand::kSearch, 0);
  return true;
}

bool ImapClient::SearchByFlags(std::int32_t flags) { return Search(SearchFlagCriteria(flags)); }

bool ImapClient::SearchSentDate(std::string_view keyword, int year, int month, int day) {
  std::string date;
  if (!FormatImapDate(year, month, day, date)) return Fail(kMsgInvalidDate);
  std::string criteria(keyword);
  criteria += date;
  return Search(criteria);
}

bool ImapClient::SearchSentOn(int year, int month, int day) {
  return SearchSentDate("SENTON ", year, month, day);
}

bool ImapClient::SearchSentBefore(int year, int month, int day) {
  return SearchSentDate("SENTBEFORE ", year, month, day);
}

bool ImapClient::SearchSentSince(int year, int month, int day) {
  return SearchSentDate("SENTSINCE ", year, month, day);
}

bool ImapClient::Retrieve(std::int32_t number) {
  return Metered(TransferKind::kRetrieve, 0, [&](TransferMeter*) {
    return ExecuteCommand(ImapCommand::kFetchMessage, {number, number});
  });
}

bool ImapClient::RetrieveHeader(std::int32_t number) {
  return ExecuteCommand(ImapCommand::kFetchHeader, {number, number});
}

bool ImapClient::RetrieveTop(std::int32_t number, std::int32_t bytes) {
  if (!ExecuteCommand(ImapCommand::kFetchHeader, {number, number})) return false;
  std::string header = message_text;
  if (!ExecuteCommand(ImapCommand::kFetchTextPart, {number, number, bytes})) return false;
  header += message_text;
  header += "\r\n\r\n";
  message_text = std::move(header);
  return true;
}

bool ImapClient::GetMessageSize(std::int32_t number) {
  return ExecuteCommand(ImapCommand::kFetchSize, {number, number});
}

bool ImapClient::GetMessageFlags(std::int32_t number, std::int32_t& flags) {
  flags = 0;
  if (!ExecuteCommand(ImapCommand::kFetchFlags, {number, number})) return false;
  flags = last_flags & kImapAllFlags;
  return true;
}

bool ImapClient::PutMessageFlags(std::int32_t number, std::int32_t flags) {
  if (use_uids && !RequireUid(number)) return false;
  return StoreFlags(number, ~flags, StoreMode::kRemove) && StoreFlags(number, flags, StoreMode::kAdd);
}

bool ImapClient::StoreFlags(std::int32_t number, std::int32_t bits, StoreMode mode) {
  const char* store_mode = mode == StoreMode::kAdd ? "+FLAGS.SILENT" : "-FLAGS.SILENT";
  return ExecuteCommand(ImapCommand::kStore, {number, number, store_mode, StoreFlagList(bits)});
}

bool ImapClient::UpdateStatus() {
  const std::string items = std::string(kStatusItems) + (uid_next_wanted ? " UIDNEXT" : "");
  if (!CheckStoredMailboxName() || !ExecuteCommand(ImapCommand::kStatus, {ImapAstring(mailbox_name), items})) {
    return false;
  }
  // UIDNEXT belongs to the selected mailbox only.
  if (uid_next_wanted && mailbox_name == selected_mailbox_) {
    for (const ImapResponse& response : responses_) {
      std::uint32_t next = 0;
      if (ReadStatusUidNext(response, next) && next != 0) uid_next = next;
    }
  }
  return true;
}

}  // namespace vesk
