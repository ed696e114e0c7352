#pragma once

// The IMAP4 command table (RFC 3501 section 6): every command the client
// sends, as a template with its arguments marked, and what the client reads
// from the answer once the tagged reply says OK. A command line is the tag,
// then the template filled in; ImapClient::ExecuteCommand sends it.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vesk {

// Command numbers of the command table.
enum class ImapCommand : int {
  kLogin = 1,
  kSelect = 2,
  kExamine = 3,
  kList = 4,
  kCreate = 5,
  kDelete = 6,
  kRename = 7,
  kAppend = 8,  // composed by AppendMessage, never sent through ExecuteCommand
  kStore = 9,
  kExpunge = 10,
  kCopy = 11,
  kStatus = 12,
  kSearch = 13,
  kFetchFlags = 14,
  kFetchSize = 15,
  kFetchHeader = 16,
  kFetchTextPart = 17,
  kFetchMessage = 18,
  kLogout = 19,
  kCapability = 20,
  kStartTls = 21,
  // Working through a mailbox (imap_mailbox_work.cpp).
  kMove = 22,
  kUidExpunge = 23,
  kListAll = 24,
  kIdle = 25,  // composed by WaitForChange, never sent through ExecuteCommand
  kNoop = 26,
  kFetchUid = 27,
  kFetchStructure = 28,
  kFetchSection = 29,
  kUidExists = 30,
  kFetchNewestUid = 31,  // by number whatever use_uids says
};

// One argument of a command template: a number for "%i", text for "%s".
class ImapCommandArg {
 public:
  ImapCommandArg(std::int32_t number) : is_number_(true), number_(number) {}
  ImapCommandArg(std::uint32_t number) : is_number_(true), number_(number) {}
  ImapCommandArg(std::string_view text) : text_(text) {}
  ImapCommandArg(const char* text) : text_(text) {}
  ImapCommandArg(const std::string& text) : text_(text) {}

  bool is_number() const { return is_number_; }
  std::int64_t number() const { return number_; }
  std::string_view text() const { return text_; }

 private:
  bool is_number_ = false;
  std::int64_t number_ = 0;
  std::string_view text_;
};

// What the client reads after a successful tagged reply.
enum class ImapReading {
  kCompletionOnly,
  kMailboxCounters,  // EXISTS, RECENT and the UNSEEN code
  kList,
  kStatus,
  kSearch,
  kFlags,
  kSize,
  kMessageText,
  kNotSent,  // composed by its member, not sent through ExecuteCommand
};

struct ImapCommandEntry {
  ImapCommand command;
  const char* format;  // "%i" takes a number, "%s" text inserted as given
  ImapReading reading;
  bool uid_form = false;     // see HasUidForm
  bool one_message = false;  // see FetchesOneMessage
};

// The command's row of the table; nullptr for a number it does not hold.
const ImapCommandEntry* FindImapCommand(ImapCommand command);

// Whether the command names messages and has a UID form (RFC 3501 section
// 6.4.8, RFC 6851): sent as "UID FETCH ..." while the client works by UID.
bool HasUidForm(ImapCommand command);

// Whether the command fetches one message that must be in its answer: by
// UID, an answer without it means the UID is not (or no longer) in the
// mailbox.
bool FetchesOneMessage(ImapCommand command);

// Appends `format` to `line` with each "%i" and "%s" replaced by the next
// argument, which must be a number or text respectively. Numbers are written
// as given, or (`unsigned_numbers`) as the unsigned 32-bit value of their
// bits, as UIDs are. False when the arguments do not match the marks.
bool FillCommandTemplate(const char* format, std::initializer_list<ImapCommandArg> args, std::string& line,
                         bool unsigned_numbers = false);

}  // namespace vesk
