// The IMAP4 commands a caller reaches (RFC 3501 section 6.3 and 6.4): the
// mailboxes, appending, searching, fetching and flags, with the caller's
// mailbox names and search text made into arguments.

#include "engine/protocols/imap_client.h"

#include <algorithm>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/common/error_texts.h"
#include "engine/protocols/imap_mailbox_names.h"

namespace vesk {
namespace {

constexpr std::string_view kStatusItems = "MESSAGES RECENT UNSEEN";

}  // namespace

ImapClient::ImapClient() : LineSession(kDefaultPort, "Unknown error"), tag_prefix_(NewTagPrefix()), chunk_(kChunkSize) {
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

std::string ImapClient::MailboxNameForClient() const {
  return ClientMailboxName(mailbox_name_, hierarchy_delimiter_, kClientSeparator);
}

void ImapClient::SetMailboxNameFromClient(std::string_view client_name) {
  mailbox_name_ = ServerMailboxName(client_name, kClientSeparator, hierarchy_delimiter_);
}

bool ImapClient::RefuseLineBreaks(std::string_view text) {
  if (!HasLineBreakOrNul(text)) return true;
  return Fail(kMsgLineBreakInCommand);
}

// A mailbox name a caller gave, in either form, must be fit to be sent: no
// longer than a caller may give, and without line breaks.
bool ImapClient::CheckMailboxName(std::string_view name) {
  if (name.size() > static_cast<std::size_t>(kMaxMailboxNameLength)) {
    last_error_ = FormatMessageText(kMsgMailboxNameTooLong, kMaxMailboxNameLength);
    return false;
  }
  return RefuseLineBreaks(name);
}

// A caller's mailbox name as a command argument: checked, mapped to the
// server's delimiter and quoted when it is not an atom.
bool ImapClient::MailboxArgument(std::string_view client_name, std::string& argument) {
  if (!CheckMailboxName(client_name)) return false;
  argument = ImapAstring(ServerMailboxName(client_name, kClientSeparator, hierarchy_delimiter_));
  return true;
}

bool ImapClient::SelectMailbox(bool read_only) {
  selected_mailbox_.clear();
  if (!CheckMailboxName(mailbox_name_) ||
      !ExecuteCommand(read_only ? ImapCommand::kExamine : ImapCommand::kSelect, {ImapAstring(mailbox_name_)})) {
    return false;
  }
  selected_mailbox_ = mailbox_name_;
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
  if (!CheckMailboxName(mailbox_name_)) return false;
  // The mailbox's children: the reference is the name with the delimiter.
  // Without a name every mailbox is listed from the top (an empty reference,
  // RFC 3501 section 6.3.8).
  std::string reference = mailbox_name_;
  if (!reference.empty() && !hierarchy_delimiter_.empty()) reference.push_back(hierarchy_delimiter_.front());
  return ExecuteCommand(ImapCommand::kList, {ImapAstring(reference), "\"*\""});
}

bool ImapClient::AppendMessage(std::string_view client_name, std::string_view message) {
  std::string name;
  if (!MailboxArgument(client_name, name)) return false;
  if (message.size() > kMaxLiteralBytes) return Fail(kMsgInvalidCommandArguments);
  // The literal's length is its count of bytes (RFC 3501 section 4.3).
  std::string line;
  FillCommandTemplate(FindImapCommand(ImapCommand::kAppend)->format, {name, static_cast<std::int32_t>(message.size())}, line);
  if (!FitsCommandLength(line.size(), kMaxCommandLength)) return false;

  BeginCommand();
  if (!SendCommandLine(line)) return false;
  if (const GoAhead answer = AwaitGoAhead(); answer != GoAhead::kGiven) {
    return answer == GoAhead::kCompleted && CheckCompletion();
  }
  trace().SentBody(message.size());
  // Stopped before its end, the literal is never completed: the session
  // ends and nothing is appended.
  return Metered(TransferKind::kAppend, message.size() + 2, [&](TransferMeter*) {
    return SendBodyEndingWith(message, "\r\n");
  }) && CollectResponses() && CheckCompletion();
}

bool ImapClient::DeleteMessage(std::int32_t number) {
  if (use_uids_ && !RequireUid(number)) return false;
  return StoreFlags(number, kImapFlagDeleted, StoreMode::kAdd, use_uids_);
}

bool ImapClient::Expunge() { return ExecuteCommand(ImapCommand::kExpunge); }

bool ImapClient::CopyMessage(std::int32_t number, std::string_view client_name) {
  std::string name;
  return MailboxArgument(client_name, name) && (!use_uids_ || RequireUid(number)) &&
         ExecuteCommand(ImapCommand::kCopy, {number, number, name});
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
  if (!SendCommandLine((use_uids_ ? " UID SEARCH " : " SEARCH ") + pieces.front() + "\r\n")) return false;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    if (const GoAhead answer = AwaitGoAhead(); answer != GoAhead::kGiven) {
      return answer == GoAhead::kCompleted && CheckCompletion() && Fail(kMsgInvalidCommandArguments);
    }
    if (!SendBytes(pieces[i] + "\r\n")) return false;
  }
  if (!CollectResponses() || !CheckCompletion()) return false;
  Interpret(ImapCommand::kSearch, 0, use_uids_);
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
  std::string header = message_text_;
  if (!ExecuteCommand(ImapCommand::kFetchTextPart, {number, number, bytes})) return false;
  header += message_text_;
  header += "\r\n\r\n";
  message_text_ = std::move(header);
  return true;
}

bool ImapClient::GetMessageSize(std::int32_t number) {
  return ExecuteCommand(ImapCommand::kFetchSize, {number, number});
}

bool ImapClient::GetMessageFlags(std::int32_t number, std::int32_t& flags) {
  flags = 0;
  if (!ExecuteCommand(ImapCommand::kFetchFlags, {number, number})) return false;
  flags = last_flags_ & kImapAllFlags;
  return true;
}

bool ImapClient::PutMessageFlags(std::int32_t number, std::int32_t flags) {
  if (use_uids_ && !RequireUid(number)) return false;
  return StoreFlags(number, ~flags, StoreMode::kRemove, use_uids_) &&
         StoreFlags(number, flags, StoreMode::kAdd, use_uids_);
}

bool ImapClient::StoreFlags(std::int32_t number, std::int32_t bits, StoreMode mode, bool by_uid) {
  const char* store_mode = mode == StoreMode::kAdd ? "+FLAGS.SILENT" : "-FLAGS.SILENT";
  return ExecuteCommandNaming(by_uid, ImapCommand::kStore, {number, number, store_mode, StoreFlagList(bits)});
}

bool ImapClient::UpdateStatus() {
  const std::string items = std::string(kStatusItems) + (uid_next_wanted_ ? " UIDNEXT" : "");
  if (!CheckMailboxName(mailbox_name_) || !ExecuteCommand(ImapCommand::kStatus, {ImapAstring(mailbox_name_), items})) {
    return false;
  }
  // UIDNEXT belongs to the selected mailbox only.
  if (uid_next_wanted_ && mailbox_name_ == selected_mailbox_) {
    for (const ImapResponse& response : responses_) {
      std::uint32_t next = 0;
      if (ReadStatusUidNext(response, next) && next != 0) uid_next_ = next;
    }
  }
  return true;
}

}  // namespace vesk
