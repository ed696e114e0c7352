// What the IMAP4 client takes from the untagged data of a command that
// succeeded (RFC 3501 section 7): the counters of SELECT and STATUS, the
// names of LIST, the numbers of SEARCH, and the flags, size or text of a
// FETCH. The command table says which a command asks for.

#include <algorithm>
#include <utility>

#include "engine/common/ascii.h"
#include "engine/protocols/imap_client.h"
#include "engine/protocols/imap_mailbox_names.h"

namespace vesk {
namespace {

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

bool IsText(const ImapFetchItem& item) {
  return item.kind == ImapFetchItem::Kind::kString || item.kind == ImapFetchItem::Kind::kNil;
}

}  // namespace

// `number` is the message the command named (a UID when `by_uid`); a fetch
// for it notes in fetch_found_ that the answer held it.
void ImapClient::Interpret(ImapCommand command, std::int32_t number, bool by_uid) {
  switch (FindImapCommand(command)->reading) {
    case ImapReading::kMailboxCounters:
      uid_validity_ = 0;
      uid_next_ = 0;
      for (const ImapResponse& response : responses_) {
        ReadMailboxCounters(response.text, message_count_, recent_count_, first_unseen_);
        ReadUidCode(response.text, uid_validity_, uid_next_);
      }
      // What a wait for changes starts from.
      known_exists_ = static_cast<std::uint32_t>(std::max(message_count_, 0));
      mailbox_changes_ = kNothingChanged;
      break;
    case ImapReading::kList:
      ReadList();
      break;
    case ImapReading::kStatus:
      for (const ImapResponse& response : responses_) {
        if (ReadStatusCounts(response, message_count_, recent_count_)) break;
      }
      break;
    case ImapReading::kSearch:
      search_results_.clear();
      uid_search_results_.clear();
      for (const ImapResponse& response : responses_) {
        if (by_uid ? ReadSearchUids(response.text, uid_search_results_)
                   : ReadSearchNumbers(response.text, search_results_)) {
          break;
        }
      }
      break;
    case ImapReading::kFlags: {
      last_flags_ = 0;
      for (const ImapResponse& response : responses_) {
        if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number, by_uid)) continue;
        if (const ImapFetchItem* flags = fetch_.Find("FLAGS")) {
          fetch_found_ = true;
          last_flags_ = ReadFlagBits(flags->value);
          break;
        }
      }
      break;
    }
    case ImapReading::kSize:
      for (const ImapResponse& response : responses_) {
        if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number, by_uid)) continue;
        if (const ImapFetchItem* size = fetch_.Find("RFC822.SIZE")) {
          fetch_found_ = true;
          std::string_view value = size->value;
          ReadCNumber(value, last_size_);
          break;
        }
      }
      break;
    case ImapReading::kMessageText:
      ReadMessageText(command, number, by_uid);
      break;
    case ImapReading::kCompletionOnly:
    case ImapReading::kNotSent:
      break;
  }
}

// LIST answers (RFC 3501 section 7.2.2): the root line (an empty name) gives
// the server's hierarchy delimiter, every other line a mailbox name, mapped
// to the callers' separator.
void ImapClient::ReadList() {
  mailbox_list_.clear();
  ImapListEntry entry;
  for (const ImapResponse& response : responses_) {
    if (!ReadListEntry(response, entry)) continue;
    if (entry.name.empty()) {
      if (!entry.delimiter.empty()) hierarchy_delimiter_ = entry.delimiter.substr(0, 1);
    } else {
      mailbox_list_.push_back(ClientMailboxName(entry.name, hierarchy_delimiter_, kClientSeparator));
    }
  }
}

// The text a fetch asked for is the value of its item in the FETCH response
// for that message: a literal's bytes exactly, or a quoted string. NIL (what
// Dovecot sends for a message that another session has expunged, with a
// tagged OK [EXPUNGEISSUED]) is no text at all. Other FETCH responses (flag
// changes of other messages) are passed over.
void ImapClient::ReadMessageText(ImapCommand command, std::int32_t number, bool by_uid) {
  message_text_.clear();
  const std::string_view wanted = MessageItemName(command);
  for (const ImapResponse& response : responses_) {
    if (!ReadFetch(response, fetch_) || !IsFetchFor(fetch_, number, by_uid)) continue;
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
      if (found->kind != ImapFetchItem::Kind::kNil) message_text_ = std::move(found->value);
      fetch_found_ = found->kind != ImapFetchItem::Kind::kNil;
      return;
    }
  }
}

}  // namespace vesk
