// What a script needs to work through a mailbox again and again: unique
// identifiers (RFC 3501 section 2.3.1.1), moving (RFC 6851, RFC 4315),
// mailbox roles (RFC 6154), waiting for news (RFC 2177) and parts fetched on
// their own (RFC 3501 section 6.4.5). Members of ImapClient; the commands
// are in its command table.

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/mime/transfer_codec.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/imap_mailbox_names.h"
#include "engine/streams/byte_buffer.h"

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

// Without IDLE the mailbox is asked with NOOP this often.
constexpr auto kPollInterval = std::chrono::seconds(1);

struct Role {
  std::string_view name;
  std::string_view attribute;
};
constexpr std::array<Role, 6> kRoles = {{
    {"Sent", "\\Sent"},
    {"Trash", "\\Trash"},
    {"Junk", "\\Junk"},
    {"Drafts", "\\Drafts"},
    {"Archive", "\\Archive"},
    {"All", "\\All"},
}};

bool ReadUid(std::string_view text, std::uint32_t& uid) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
  return error == std::errc() && end == text.data() + text.size();
}

int MillisecondsUntil(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

}  // namespace

// ---- Unique identifiers ------------------------------------------------------

bool ImapClient::IsFetchFor(const ImapFetch& fetch, std::int32_t number, bool by_uid) const {
  if (!by_uid) return fetch.number == number;
  const ImapFetchItem* item = fetch.Find("UID");
  std::uint32_t uid = 0;
  return item != nullptr && item->name.size() == 3 && ReadUid(item->value, uid) &&
         uid == static_cast<std::uint32_t>(number);
}

bool ImapClient::FailNoSuchMessage(std::int32_t number, bool by_uid) {
  if (!by_uid) return Fail(kMsgMessageNotInAnswer);
  last_error_ = FormatMessageText(kMsgNoSuchUid, std::to_string(static_cast<std::uint32_t>(number)).c_str());
  return false;
}

// UID STORE, COPY and MOVE of a UID the mailbox does not hold succeed
// without doing anything (RFC 3501 section 6.4.8), so the UID is looked for
// first: a script that names a message that has gone learns it.
bool ImapClient::RequireUid(std::int32_t message) {
  const auto uid = static_cast<std::uint32_t>(message);
  if (uid == 0) return FailNoSuchMessage(message, use_uids_);
  if (!ExecuteCommand(ImapCommand::kUidExists, {uid})) return false;
  std::vector<std::uint32_t> found;
  for (const ImapResponse& response : responses_) {
    if (ReadSearchUids(response.text, found)) break;
  }
  return std::find(found.begin(), found.end(), uid) != found.end() || FailNoSuchMessage(message, use_uids_);
}

// The UID of a message given by number (or, by UID, checked to exist).
bool ImapClient::MessageUid(std::int32_t message, std::uint32_t& uid) {
  if (use_uids_) {
    uid = static_cast<std::uint32_t>(message);
    return RequireUid(message);
  }
  if (!ExecuteCommand(ImapCommand::kFetchUid, {message, message})) return false;
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || fetch_.number != message) continue;
    const ImapFetchItem* item = fetch_.Find("UID");
    if (item != nullptr && ReadUid(item->value, uid) && uid != 0) return true;
  }
  return FailNoSuchMessage(message, use_uids_);
}

// ---- Moving ------------------------------------------------------------------

bool ImapClient::MoveMessage(std::int32_t message, std::string_view client_name) {
  std::string name;
  if (!MailboxArgument(client_name, name)) return false;
  const std::string unchanged = last_error_;
  if (ServerLists("MOVE")) {
    return (!use_uids_ || RequireUid(message)) && ExecuteCommand(ImapCommand::kMove, {message, message, name});
  }
  if (!capabilities_after_login_) return false;  // CAPABILITY itself failed
  last_error_ = unchanged;
  // A plain EXPUNGE would also remove every other message marked \Deleted,
  // by this script or anyone else; only UID EXPUNGE can name the one.
  if (!ServerLists("UIDPLUS")) return Fail(kMsgCannotMoveSafely);
  std::uint32_t uid = 0;
  return MessageUid(message, uid) && MoveByCopy(uid, name);
}

// Every step names the message by its UID, whatever use_uids_ says.
bool ImapClient::MoveByCopy(std::uint32_t uid, const std::string& mailbox) {
  const auto as_argument = static_cast<std::int32_t>(uid);
  return ExecuteCommandNaming(true, ImapCommand::kCopy, {as_argument, as_argument, mailbox}) &&
         StoreFlags(as_argument, kImapFlagDeleted, StoreMode::kAdd, true) &&
         ExecuteCommandNaming(true, ImapCommand::kUidExpunge, {uid, uid});
}

// ---- Mailbox roles -------------------------------------------------------------

bool ImapClient::FindSpecialMailbox(std::string_view role, std::string& client_name) {
  client_name.clear();
  const Role* wanted = nullptr;
  for (const Role& known : kRoles) {
    if (EqualsIgnoringAsciiCase(known.name, role)) wanted = &known;
  }
  if (wanted == nullptr || HasLineBreakOrNul(role)) {
    last_error_ = FormatMessageText(kMsgUnknownMailboxRole, std::string(role).c_str());
    return false;
  }
  // LIST-EXTENDED lets the server list only the mailboxes that have a role;
  // otherwise every mailbox comes with its attributes (RFC 6154 section 2).
  const std::string unchanged = last_error_;
  const bool selective = ServerLists("SPECIAL-USE") && ListsCapability(capabilities_, "LIST-EXTENDED");
  if (!capabilities_after_login_) return false;
  last_error_ = unchanged;
  if (!ExecuteCommand(ImapCommand::kListAll, {selective ? "(SPECIAL-USE) " : ""})) return false;
  ImapListEntry entry;
  for (const ImapResponse& response : responses_) {
    if (!ReadListEntry(response, entry) || entry.name.empty() || !ListsCapability(entry.attributes, wanted->attribute)) {
      continue;
    }
    const std::string delimiter = entry.delimiter.empty() ? hierarchy_delimiter_ : entry.delimiter;
    client_name = ClientMailboxName(entry.name, delimiter, kClientSeparator);
    return true;
  }
  return true;
}

// ---- Waiting for news ------------------------------------------------------------

// EXISTS and EXPUNGE may come with the answer to any command (RFC 3501
// section 7): new messages are remembered until the next wait.
void ImapClient::NoteMailboxEvent(const ImapResponse& response) {
  std::uint32_t number = 0;
  switch (ReadMailboxEvent(response.text, number)) {
    case MailboxEvent::kExists:
      if (number > known_exists_) mailbox_changes_ |= kMessagesArrived;
      known_exists_ = number;
      break;
    case MailboxEvent::kExpunge:
      if (known_exists_ > 0) --known_exists_;
      mailbox_changes_ |= kMessagesExpunged;
      break;
    case MailboxEvent::kNone:
      break;
  }
}

bool ImapClient::WaitForChange(int seconds, bool& changed) {
  changed = false;
  const Clock::time_point until = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
  // Messages that arrived while the script was busy count now; its own
  // expunges do not.
  if ((mailbox_changes_ & kMessagesArrived) != 0) {
    mailbox_changes_ = kNothingChanged;
    changed = true;
    message_count_ = static_cast<std::int32_t>(std::min<std::uint32_t>(known_exists_, INT32_MAX));
    if (mailbox_news_) mailbox_news_(message_count_);
    return !uid_next_wanted_ || RefreshUidNext();
  }
  mailbox_changes_ = kNothingChanged;
  const std::string unchanged = last_error_;
  const bool idle = ServerLists("IDLE");
  if (!capabilities_after_login_) return false;
  last_error_ = unchanged;
  bool succeeded = true;
  while (succeeded && !changed) {
    succeeded = idle ? Idle(std::min(until, Clock::now() + idle_renewal_), changed) : Poll(until, changed);
    if (MillisecondsUntil(until) == 0) break;
  }
  const bool arrived = (mailbox_changes_ & kMessagesArrived) != 0;
  mailbox_changes_ = kNothingChanged;
  // The count the server's EXISTS and EXPUNGE responses have given.
  if (changed) {
    message_count_ = static_cast<std::int32_t>(std::min<std::uint32_t>(known_exists_, INT32_MAX));
    if (mailbox_news_) mailbox_news_(message_count_);
  }
  return succeeded && (!arrived || !uid_next_wanted_ || RefreshUidNext());
}

bool ImapClient::RefreshUidNext() {
  if (message_count_ <= 0) return true;
  if (!ExecuteCommand(ImapCommand::kFetchNewestUid, {message_count_, message_count_})) return false;
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || fetch_.number != message_count_) continue;
    const ImapFetchItem* item = fetch_.Find("UID");
    std::uint32_t uid = 0;
    if (item != nullptr && ReadUid(item->value, uid) && uid != 0 && uid + 1 > uid_next_) uid_next_ = uid + 1;
  }
  return true;
}

// One IDLE up to `until` or the first change: IDLE, the server's go-ahead,
// its news, then DONE and the tagged reply (RFC 2177 section 3). Every read
// of an answer is bounded by the time-out; only the wait for news is not.
bool ImapClient::Idle(Clock::time_point until, bool& changed) {
  BeginCommand();
  if (!SendCommandLine(FindImapCommand(ImapCommand::kIdle)->format)) return false;
  switch (AwaitGoAhead()) {
    case GoAhead::kGiven:
      break;
    case GoAhead::kCompleted:  // refused, or over before it began
      return CheckCompletion();
    case GoAhead::kFailed:
      return false;
  }
  while (mailbox_changes_ == kNothingChanged) {
    const int left = MillisecondsUntil(until);
    if (left == 0) break;
    const int ready = WaitForServer(left);
    if (ready < 0) return false;
    if (ready > 0 && ReadNextResponse(false) == Arrival::kFailed) return false;
  }
  if (!SendBytes("DONE\r\n")) return false;
  const bool done = CollectResponses() && CheckCompletion();
  changed = mailbox_changes_ != kNothingChanged;
  return done;
}

// NOOP is the way to ask for news without IDLE (RFC 3501 section 6.1.2).
bool ImapClient::Poll(Clock::time_point until, bool& changed) {
  for (;;) {
    if (!ExecuteCommand(ImapCommand::kNoop)) return false;
    if (mailbox_changes_ != kNothingChanged) {
      changed = true;
      return true;
    }
    const int left = MillisecondsUntil(std::min(until, Clock::now() + kPollInterval));
    if (MillisecondsUntil(until) == 0) return true;
    // News that comes by itself is read by the next NOOP.
    if (WaitForServer(left) < 0) return false;
  }
}

// ---- Parts on demand -----------------------------------------------------------

bool ImapClient::FetchStructure(std::int32_t message) {
  message_parts_.clear();
  parts_message_ = 0;
  if (!ExecuteCommand(ImapCommand::kFetchStructure, {message, message})) return false;
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, message, use_uids_)) continue;
    if (ReadBodyStructure(response, message_parts_)) {
      parts_message_ = message;
      parts_by_uid_ = use_uids_;
      return true;
    }
  }
  message_parts_.clear();
  return FailNoSuchMessage(message, use_uids_);
}

bool ImapClient::FetchPart(std::int32_t message, std::string_view section, std::string& content, ImapBodyPart& part) {
  content.clear();
  if (!IsPartSection(section) || section.size() > 64) {
    last_error_ = FormatMessageText(kMsgInvalidPartNumber, std::string(section.substr(0, 64)).c_str());
    return false;
  }
  // The structure tells how the part is encoded; it is asked for once.
  if (parts_message_ != message || parts_by_uid_ != use_uids_ || message_parts_.empty()) {
    if (!FetchStructure(message)) return false;
  }
  const auto found = std::find_if(message_parts_.begin(), message_parts_.end(),
                                  [&](const ImapBodyPart& candidate) { return candidate.section == section; });
  if (found == message_parts_.end()) {
    last_error_ = FormatMessageText(kMsgNoSuchPart, std::string(section).c_str());
    return false;
  }
  part = *found;
  if (!Metered(TransferKind::kSavePart, part.size, [&](TransferMeter*) {
        return ExecuteCommand(ImapCommand::kFetchSection, {message, message, section});
      })) {
    return false;
  }
  const std::string wanted = "BODY[" + std::string(section) + "]";
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, message, use_uids_)) continue;
    for (ImapFetchItem& item : fetch_.items) {
      // "BODY[2]" or, from a server that says where it began, "BODY[2]<0>".
      if (!EqualsIgnoringAsciiCase(std::string_view(item.name).substr(0, wanted.size()), wanted)) continue;
      if (item.kind == ImapFetchItem::Kind::kList || item.kind == ImapFetchItem::Kind::kAtom) continue;
      // The part's bytes (IMAP gives them with CR LF line ends and without
      // the line end that belongs to the boundary after them), decoded and
      // with nothing added or dropped: text keeps its CR LF line breaks.
      ByteBuffer decoded;
      DecodeTransferText(TransferEncodingFromValue(part.encoding), item.value, decoded, LineBreaks::kAsSent);
      content.assign(reinterpret_cast<const char*>(decoded.data()), decoded.size());
      return true;
    }
  }
  return FailNoSuchMessage(message, use_uids_);
}

}  // namespace vesk
